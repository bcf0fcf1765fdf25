#include "cli/CliProcess.h"
#include "support/TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace kelvo::test {
namespace {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

QStringList Counters(qint64 directories, qint64 examined, qint64 copied, qint64 errors)
{
    return {u"Directories searched: %1"_s.arg(directories), u"Files examined: %1"_s.arg(examined),
            u"Files copied: %1"_s.arg(copied), u"Errors: %1"_s.arg(errors)};
}

void WriteTreeFile(const std::string& path, const QByteArray& contents)
{
    fs::create_directories(fs::path(path).parent_path());
    WriteFile(path, contents);
}

class RunCommand : public ::testing::Test
{
protected:
    QString path(const std::string& name) const { return QString::fromStdString(m_home.dir() / name); }

    void addSet(const QString& name, const std::string& source, const std::string& dest)
    {
        const CliResult result =
            RunCli({u"add"_s, name, u"--source"_s, path(source), u"--dest"_s, path(dest), u"--force"_s});
        ASSERT_EQ(result.status, 0) << result.err.toStdString();
    }

    IsolatedHome m_home;
};

TEST_F(RunCommand, BacksUpOnlyTheNamedSetAndExitsWithOneWhenAnErrorWasCounted)
{
    WriteTreeFile(m_home.dir() / "src/a.txt", "alpha");
    WriteTreeFile(m_home.dir() / "src/sub/deeper/c", QByteArray(100000, 'c'));
    WriteTreeFile(m_home.dir() / "src/sub/empty", "");
    WriteTreeFile(m_home.dir() / "blocker", "a file where a directory should be");
    addSet(u"Tree"_s, "src", "dst");
    addSet(u"Blocked"_s, "src", "blocker/dst");

    CliResult result = RunCli({u"run"_s, u"tree"_s});
    EXPECT_EQ(result.status, 0) << result.err.toStdString();
    EXPECT_EQ(Lines(result.out), Counters(3, 3, 3, 0));
    std::map<std::string, QByteArray> copied;
    for (const auto& [file, contents] : Snapshot(m_home.dir() / "dst"))
        copied[fs::relative(file, m_home.dir() / "dst").string()] = contents;
    EXPECT_EQ(copied, (std::map<std::string, QByteArray>{
                          {"a.txt", "alpha"}, {"sub/deeper/c", QByteArray(100000, 'c')}, {"sub/empty", ""}}));
    EXPECT_EQ(Lines(RunCli({u"list"_s}).out).last(), u"  last run: Never run"_s) << "Blocked did not run";

    EXPECT_EQ(Lines(RunCli({u"run"_s, u"Tree"_s}).out), Counters(3, 3, 0, 0));
    result = RunCli({u"run"_s});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(Lines(result.out).last(), u"Errors: 1"_s);
    EXPECT_TRUE(result.err.contains(u"Error : Path not found. Cannot access "_s + path("blocker/dst/")))
        << result.err.toStdString();
}

// Ctrl-C, and a terminal that closes under the run.
TEST_F(RunCommand, InterruptionStopsBetweenChunksAndLeavesNoPartialFile)
{
    const QByteArray contents(4 * 1024 * 1024, 'x');
    for (int i = 0; i < 40; ++i)
        WriteTreeFile(m_home.dir() / ("src/f" + std::to_string(100 + i)), contents);
    addSet(u"Big"_s, "src", "dst");

    for (const int signal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        fs::remove_all(m_home.dir() / "dst");
        QProcess process;
        process.start(QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"), {u"run"_s});
        ASSERT_TRUE(process.waitForStarted());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!fs::exists(m_home.dir() / "dst/f100") && std::chrono::steady_clock::now() < deadline &&
               process.state() == QProcess::Running)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(static_cast<pid_t>(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(60000));
        if (process.exitCode() == 0)
            continue; // the run ended before the signal arrived

        EXPECT_EQ(process.exitCode(), 130);
        const auto copies = Snapshot(m_home.dir() / "dst");
        EXPECT_LT(copies.size(), 40u);
        for (const auto& [file, copy] : copies)
            EXPECT_EQ(copy, contents) << file; // a partial copy or a left temporary file would differ
    }
}

TEST(CliHelp, DescribesEveryCommandAndFailsWhenItCannotBeShown)
{
    IsolatedHome home;
    const CliResult result = RunCli({u"--help"_s});
    EXPECT_EQ(result.status, 0);
    for (const char* command : {"list", "settings", "add", "edit", "remove", "enable", "disable", "run"})
        EXPECT_TRUE(result.out.contains(u"\n  "_s + QLatin1StringView(command) + u' ')) << command;

    // Output that cannot be written fails the command.
    QProcess process;
    process.setStandardOutputFile(u"/dev/full"_s);
    process.start(QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"), {u"help"_s});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_NE(process.exitCode(), 0);
    EXPECT_TRUE(process.readAllStandardError().contains("cannot write the output"));
}

} // namespace
} // namespace kelvo::test
