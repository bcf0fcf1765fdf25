#include "cli/CliObserver.h"
#include "cli/CliProcess.h"
#include "platform/SettingsStore.h"
#include "support/TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace kelvo::test {
namespace {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

// What another account can put in a file name in a shared destination: a new terminal title, a
// cleared screen, the clipboard written (OSC 52), and the same through a C1 control (U+009D).
const QString Hostile = u"x\x1b]0;owned\x07\x1b[2J\x1b]52;c;b3duZWQ=\x07\u009d0;owned\u009c"_s;
const QString HostileEscaped =
    u"x\\x1b]0;owned\\x07\\x1b[2J\\x1b]52;c;b3duZWQ=\\x07\\xc2\\x9d0;owned\\xc2\\x9c"_s;

bool HasControlCharacter(const QString& text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c != u'\n' && (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0));
    });
}

QStringList Counters(qint64 directories, qint64 examined, qint64 copied, qint64 errors)
{
    return {u"Directories searched: %1"_s.arg(directories), u"Files examined: %1"_s.arg(examined),
            u"Files copied: %1"_s.arg(copied), u"Errors: %1"_s.arg(errors)};
}

// Writes each file below root, with the folders it needs.
void WriteTree(const std::string& root, const std::map<std::string, QByteArray>& files)
{
    for (const auto& [name, contents] : files) {
        fs::create_directories(fs::path(root + "/" + name).parent_path());
        WriteFile(root + "/" + name, contents);
    }
}

// Shows text with every control character escaped and the hostile name among it.
void ExpectEscaped(const QString& text)
{
    EXPECT_FALSE(HasControlCharacter(text)) << text.toStdString();
    EXPECT_TRUE(text.contains(HostileEscaped)) << text.toStdString();
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
    const std::map<std::string, QByteArray> tree{
        {"a.txt", "alpha"}, {"sub/deeper/c", QByteArray(100000, 'c')}, {"sub/empty", ""}};
    WriteTree(m_home.dir() / "src", tree);
    WriteFile(m_home.dir() / "blocker", "a file where a directory should be");
    addSet(u"Tree"_s, "src", "dst");
    addSet(u"Blocked"_s, "src", "blocker/dst");

    CliResult result = RunCli({u"run"_s, u"tree"_s});
    EXPECT_EQ(result.status, 0) << result.err.toStdString();
    EXPECT_EQ(Lines(result.out), Counters(3, 3, 3, 0));
    std::map<std::string, QByteArray> copied;
    for (const auto& [file, contents] : Snapshot(m_home.dir() / "dst"))
        copied[fs::relative(file, m_home.dir() / "dst").string()] = contents;
    EXPECT_EQ(copied, tree);
    EXPECT_EQ(Lines(RunCli({u"list"_s}).out).filter(u"last run:"_s).last(), u"  last run: Never run"_s)
        << "Blocked did not run";

    EXPECT_EQ(Lines(RunCli({u"run"_s, u"Tree"_s}).out), Counters(3, 3, 0, 0));
    result = RunCli({u"run"_s});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(Lines(result.out).last(), u"Errors: 1"_s);
    // The file in the way of the destination's folders is named.
    EXPECT_TRUE(result.err.contains(u"Error : Path/File access error. Cannot access "_s + path("blocker")))
        << result.err.toStdString();
    const QStringList listing = Lines(RunCli({u"list"_s}).out);
    EXPECT_EQ(listing.filter(u"last result:"_s),
              (QStringList{u"  last result: completed"_s, u"  last result: failed (1 error)"_s}));
    EXPECT_EQ(listing.filter(u"last completed:"_s).last(), u"  last completed: unknown"_s)
        << "Blocked never completed";
}

// Ctrl-C, and a terminal that closes under the run.
TEST_F(RunCommand, InterruptionStopsBetweenChunksAndLeavesNoPartialFile)
{
    const QByteArray contents(4 * 1024 * 1024, 'x');
    fs::create_directories(m_home.dir() / "src");
    for (int i = 0; i < 40; ++i)
        WriteFile(m_home.dir() / ("src/f" + std::to_string(100 + i)), contents);
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

TEST_F(RunCommand, PrintsNamesPathsSettingsAndArgumentsWithTheirControlCharactersEscaped)
{
    WriteTree(m_home.dir() / "src", {{"a.txt", "alpha"}});
    addSet(u"Odd"_s, "src", "dst");
    ASSERT_EQ(RunCli({u"edit"_s, u"Odd"_s, u"--filters"_s, Hostile}).status, 0);
    ASSERT_EQ(RunCli({u"settings"_s, u"StrAltScreenSaver"_s, Hostile}).status, 0);

    const std::vector<std::pair<QStringList, int>> commands{
        {{Hostile}, 2},                      // unknown command
        {{u"run"_s, Hostile}, 2},            // no set named
        {{u"edit"_s, u"Odd"_s, Hostile}, 2}, // unexpected argument
        {{u"settings"_s, Hostile}, 2},       // unknown setting
        {{u"list"_s}, 0},                    // the filters
        {{u"settings"_s}, 0},                // StrAltScreenSaver
        {{u"settings"_s, u"StrAltScreenSaver"_s}, 0},
    };
    for (const auto& [arguments, status] : commands) {
        SCOPED_TRACE(arguments.first().toStdString());
        const CliResult result = RunCli(arguments);
        EXPECT_EQ(result.status, status) << result.err.toStdString();
        ExpectEscaped(result.out + result.err);
    }
}

QString StoredSetting(const QString& set, const QString& key)
{
    return SettingsStore().GetSetting(u"Kelvo"_s, u"Sets\\"_s + set, key);
}

void StoreSetting(const QString& set, const QString& key, const QString& value)
{
    SettingsStore().SaveSetting(u"Kelvo"_s, u"Sets\\"_s + set, key, value);
}

TEST_F(RunCommand, ASetWithAnOptionItDoesNotKnowIsNamedByListAndNotRun)
{
    WriteTree(m_home.dir() / "src", {{"a.txt", "alpha"}});
    addSet(u"Docs"_s, "src", "dst");
    StoreSetting(u"Docs"_s, u"CopyOptions"_s, u"op"_s + Hostile);

    const CliResult listed = RunCli({u"list"_s});
    EXPECT_EQ(listed.status, 0);
    EXPECT_TRUE(listed.err.contains(u"unknown value op"_s + HostileEscaped + u" for CopyOptions"_s));
    ExpectEscaped(listed.err);

    const CliResult run = RunCli({u"run"_s});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.contains(u"Error : Set Docs : unknown value op"_s + HostileEscaped));
    EXPECT_FALSE(fs::exists(m_home.dir() / "dst"));
}

TEST_F(RunCommand, ADestinationOffItsDriveOfTheLastRunFailsTheRunUntilTheUserChangesIt)
{
    WriteTree(m_home.dir() / "src", {{"a.txt", "alpha"}});
    addSet(u"Docs"_s, "src", "dst");
    ASSERT_EQ(RunCli({u"run"_s}).status, 0);
    EXPECT_TRUE(StoredSetting(u"Docs"_s, u"DestDrive"_s).startsWith(u'/')) << "the drive is stored";

    // What the next run finds when the drive that held the destination is not plugged in.
    StoreSetting(u"Docs"_s, u"DestDrive"_s, u"/media/backup ext4"_s);
    WriteFile(m_home.dir() / "src/b.txt", "beta");
    const CliResult refused = RunCli({u"run"_s});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(
        refused.err.contains(u"Error : The destination "_s + path("dst/") +
                             u" is not on the drive it was on at the last run. Is the drive plugged in?"_s))
        << refused.err.toStdString();
    EXPECT_EQ(Snapshot(m_home.dir() / "dst").size(), 1u);
    EXPECT_EQ(StoredSetting(u"Docs"_s, u"DestDrive"_s), u"/media/backup ext4"_s) << "kept until it is found";

    // A destination the user gives anew starts afresh.
    ASSERT_EQ(RunCli({u"edit"_s, u"Docs"_s, u"--dest"_s, path("dst2")}).status, 0);
    EXPECT_EQ(StoredSetting(u"Docs"_s, u"DestDrive"_s), QString());
    EXPECT_EQ(RunCli({u"run"_s}).status, 0);
    EXPECT_EQ(Snapshot(m_home.dir() / "dst2").size(), 2u);
}

// The progress line shows only on a terminal; its own escape sequence (return, clear the line) is the
// only one it writes.
TEST(CliProgressLine, ShowsTheFileNameEscaped)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* terminal = open_memstream(&buffer, &size);
    ASSERT_NE(terminal, nullptr);
    cli::CliObserver observer(terminal);
    observer.currentFileChanged(u"/s/"_s + Hostile);
    std::fclose(terminal);
    const QString line = QString::fromLocal8Bit(QByteArray(buffer, qsizetype(size)));
    std::free(buffer);

    ASSERT_TRUE(line.startsWith(u"\r\x1b[K"_s)) << line.toStdString();
    EXPECT_FALSE(HasControlCharacter(line.mid(4))) << line.toStdString();
    EXPECT_TRUE(line.contains(HostileEscaped.right(30))) << line.toStdString();
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
