#include "cli/CliProcess.h"
#include "support/TestSupport.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace kelvo::test {
namespace {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

void WriteAt(const fs::path& path, const std::string& text, qint64 second)
{
    std::ofstream(path, std::ios::trunc) << text;
    const timespec times[2] = {{second, 0}, {second, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string Read(const fs::path& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A set whose backup holds three versions of report.doc, made by real runs.
class RestoreCommand : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(m_source);
        ASSERT_EQ(RunCli({u"add"_s, u"S"_s, u"--source"_s, path(m_source), u"--dest"_s, path(m_backup),
                          u"--keep"_s, u"seq"_s})
                      .status,
                  0);
        for (const auto& [text, second] : {std::pair{"first", 1000}, {"second!", 2000}, {"third!!!", 3000}}) {
            WriteAt(m_source / "report.doc", text, second);
            ASSERT_EQ(RunCli({u"run"_s, u"S"_s}).status, 0);
        }
    }

    static QString path(const fs::path& p) { return QString::fromStdString(p.string()); }

    IsolatedHome m_home;
    fs::path m_source = fs::path(m_home.dir() / "source");
    fs::path m_backup = fs::path(m_home.dir() / "backup");
};

TEST_F(RestoreCommand, ListsVersionsAndRestoresOneWithoutLosingTheCurrentFile)
{
    const CliResult listed = RunCli({u"versions"_s, u"S"_s, u"report.doc"_s});
    EXPECT_EQ(listed.status, 0);
    const QStringList lines = Lines(listed.out);
    ASSERT_EQ(lines.size(), 3);
    const QRegularExpression line(u"^(\\d)  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  (\\d+)  (.+)$"_s);
    const std::pair<const char*, const char*> expected[] = {
        {"8", "report.doc"}, {"7", "report.doc.2"}, {"5", "report.doc.1"}};
    for (int i = 0; i < 3; ++i) {
        const QRegularExpressionMatch match = line.match(lines[i]);
        ASSERT_TRUE(match.hasMatch()) << lines[i].toStdString();
        EXPECT_EQ(match.captured(1).toInt(), i + 1);
        EXPECT_EQ(match.captured(2), QLatin1StringView(expected[i].first));
        EXPECT_EQ(match.captured(3), path(m_backup / expected[i].second));
    }

    WriteAt(m_source / "report.doc", "edited", 4000);
    const CliResult restored =
        RunCli({u"restore"_s, u"S"_s, path(m_source / "report.doc"), u"--version"_s, u"3"_s});
    EXPECT_EQ(restored.status, 0) << restored.err.toStdString();
    EXPECT_EQ(Read(m_source / "report.doc"), "first");
    EXPECT_TRUE(restored.out.contains(u"Kept : "_s)) << restored.out.toStdString();
    EXPECT_TRUE(restored.out.contains(u"Restored: 1\nUnchanged: 0\nKept aside: 1\nErrors: 0"_s));
    int edits = 0;
    for (const auto& entry : fs::directory_iterator(m_source))
        edits += Read(entry.path()) == "edited";
    EXPECT_EQ(edits, 1);

    const fs::path to = m_home.dir() / "elsewhere";
    EXPECT_EQ(RunCli({u"restore"_s, u"S"_s, u"."_s, u"--to"_s, path(to)}).status, 0);
    EXPECT_EQ(Read(to / "report.doc"), "third!!!");
}

TEST_F(RestoreCommand, RefusesWhatItCannotActOn)
{
    struct Case
    {
        QStringList arguments;
        int status;
    };
    const Case cases[] = {
        {{u"versions"_s, u"Nope"_s, u"report.doc"_s}, 2},
        {{u"versions"_s, u"S"_s, u"../outside"_s}, 2},
        {{u"versions"_s, u"S"_s, u"/etc/passwd"_s}, 2},
        {{u"versions"_s, u"S"_s, u"never-backed-up.txt"_s}, 1},
        {{u"restore"_s, u"S"_s, u"report.doc"_s, u"--version"_s, u"9"_s}, 2},
        {{u"restore"_s, u"S"_s, u"report.doc"_s, u"--version"_s, u"x"_s}, 2},
        {{u"restore"_s, u"S"_s, u"never-backed-up.txt"_s}, 1},
        {{u"restore"_s, u"S"_s}, 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RunCli(c.arguments).status, c.status) << c.arguments.join(u' ').toStdString();
    EXPECT_EQ(Read(m_source / "report.doc"), "third!!!");
}

} // namespace
} // namespace kelvo::test
