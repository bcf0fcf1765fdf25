#include "cli/CliObserver.h"
#include "config/GeneralSettingKeys.h"
#include "platform/SettingsStore.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <ranges>
#include <sys/mount.h>
#include <sys/wait.h>
#include <tuple>

namespace kelvo::test {
namespace {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;
using Files = std::map<std::string, QByteArray>;

const QString Cli = QStringLiteral(KELVO_BIN_DIR "/kelvo-cli");
// What another account can put in a file name in a shared destination: a new terminal title, a
// cleared screen, the clipboard written (OSC 52), and the same through a C1 control (U+009D).
const QString Hostile = u"x\x1b]0;owned\x07\x1b[2J\x1b]52;c;b3duZWQ=\x07\u009d0;owned\u009c"_s;
const QString HostileEscaped =
    u"x\\x1b]0;owned\\x07\\x1b[2J\\x1b]52;c;b3duZWQ=\\x07\\xc2\\x9d0;owned\\xc2\\x9c"_s;
// Every control character but the line feed.
const QRegularExpression ControlCharacter(u"[\\x00-\\x09\\x0b-\\x1f\\x7f-\\x9f]"_s);

// Every file below directory, by its relative name, to prove what a command wrote or left alone.
Files Snapshot(const std::string& directory)
{
    Files files;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), directory)] = ReadFile(entry.path());
    }
    return files;
}

struct CliResult
{
    int status = -1;
    QString out, err;
};

// A home of its own with the folder docs, in which the built kelvo-cli runs.
class KelvoCli : public ::testing::Test
{
protected:
    KelvoCli() { fs::create_directories(at("docs")); }

    static CliResult run(const QStringList& arguments, const QString& standardOutput = {})
    {
        QProcess process;
        if (!standardOutput.isEmpty())
            process.setStandardOutputFile(standardOutput);
        process.start(Cli, arguments);
        EXPECT_TRUE(process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit);
        return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }
    static QStringList lines(const QString& text) { return text.split(u'\n', Qt::SkipEmptyParts); }
    // Each listed set on one line: its name and the values of its fields joined by "|".
    static QStringList listed()
    {
        QStringList sets;
        for (const QString& line : lines(run({u"list"_s}).out)) {
            if (line.startsWith(u"  "_s))
                sets.last() += u'|' + line.section(u": "_s, 1);
            else
                sets << line;
        }
        return sets;
    }

    std::string at(const std::string& name) const { return m_home.dir() / name; }
    QString path(const std::string& name) const { return QString::fromStdString(at(name)); }
    void write(const std::string& name, const QByteArray& contents) const
    {
        fs::create_directories(fs::path(at(name)).parent_path());
        WriteFile(at(name), contents);
    }
    // Arguments split at blanks; "~/" stands for the home of the test.
    QStringList args(QString line) const
    {
        return line.replace(u"~/"_s, path({})).split(u' ', Qt::SkipEmptyParts);
    }
    void expectOk(const QStringList& arguments) const
    {
        const CliResult result = run(arguments);
        EXPECT_EQ(result.status, 0) << arguments.join(u' ').toStdString() << ": " << result.err.toStdString();
        EXPECT_TRUE(result.err.isEmpty());
    }
    void expectOk(const QString& line) const { expectOk(args(line)); }
    void addSet(const QString& name, const std::string& source, const std::string& dest) const
    {
        expectOk({u"add"_s, name, u"--source"_s, path(source), u"--dest"_s, path(dest), u"--force"_s});
    }

    IsolatedHome m_home;
};

TEST_F(KelvoCli, AddListEditEnableRemoveRoundTrip)
{
    fs::create_directories(at("music"));
    expectOk(u"add Docs --source ~/docs --dest ~/backup/docs"_s);
    expectOk(u"add Music --source=~/music --dest ~/backup/music --criterion size --sync two-way "
             u"--no-overwrite --no-subdirs --delete-removed --keep name --keep-subdir old --disabled "
             u"--filters *.mp3;*.ogg --keep-max 3 --keep-days 30"_s);
    const QString docs = u"Docs|%1|"_s + path("docs") + u'|' + path("backup/docs") + u"|*.*|date|"_s;
    const QString music = u"Music|%1|"_s + path("music") + u'|' + path("backup/music") +
                          u"|*.mp3;*.ogg|size|two-way|no|no|yes|"_s;
    const QString neverRun = u"|Never run|unknown|unknown"_s;
    EXPECT_EQ(listed(),
              (QStringList{docs.arg(u"yes"_s) + u"one-way|yes|yes|no|no|no|no limit|no limit"_s + neverRun,
                           music.arg(u"no"_s) + u"name|old|3|30"_s + neverRun}));
    const CliResult full = run({u"list"_s}, u"/dev/full"_s); // a listing cut short is no listing
    EXPECT_TRUE(full.status == 1 && full.err.contains(u"cannot write the output"_s)) << full.status;

    // Edit changes only what it is given; names are found without regard to case. Dropping the kept
    // copies drops their sub directory too.
    for (const QString& line : {u"edit docs --sync reverse --keep date"_s, u"enable MUSIC"_s,
                                u"edit Music --no-keep"_s, u"disable Docs"_s})
        expectOk(line);
    EXPECT_EQ(listed(),
              (QStringList{docs.arg(u"no"_s) + u"reverse|yes|yes|no|date|no|no limit|no limit"_s + neverRun,
                           music.arg(u"yes"_s) + u"no|no|3|30"_s + neverRun}));

    // Keys and values in any letter case are stored in the table's spelling; the set watched in real
    // time is one that exists, and goes with its removal.
    const auto setting = [](const QString& key) { return run({u"settings"_s, key}).out.trimmed(); };
    for (const QString& line :
         {u"settings flrerun TRUE"_s, u"settings IntReRunTime 9999"_s, u"settings StrStatusBarPos tl"_s,
          u"settings StrLogFileDir ~/docs/./"_s, u"settings StrRealTime music"_s})
        expectOk(line);
    EXPECT_EQ(QStringList({setting(u"flReRun"_s), setting(u"INTRERUNTIME"_s), setting(u"StrStatusBarPos"_s),
                           setting(u"StrLogFileDir"_s), setting(u"StrRealTime"_s)}),
              QStringList({u"True"_s, u"9999"_s, u"TL"_s, path("docs/"), u"Music"_s}));
    expectOk(u"remove DOCS"_s);
    expectOk(u"remove Music"_s);
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_EQ(setting(u"StrRealTime"_s), u"None"_s);
}

TEST_F(KelvoCli, RefusedInputLeavesTheStoreUntouched)
{
    write("a-file", "x");
    fs::create_symlink(at("docs"), at("link-to-docs"));
    fs::create_directories(at("docs/old"));
    expectOk(u"add Docs --source ~/docs --dest ~/backup"_s);
    // One command a line, "|" between them, the first no command at all; "+" adds New from ~/docs to ~/x.
    const QString commands =
        u"|frobnicate|list extra|add|+ --colour|+ --criterion age|+ --keep seq --no-keep|"
        u"add DOCS --source ~/docs --dest ~/x|add New --source ~/missing --dest ~/x|"
        u"add New --source ~/a-file --dest ~/x --force|add New --source ~/docs --dest ~/docs|"
        u"add New --source ~/docs --dest ~/docs/backup|+ --keep-subdir a/b|+ --keep-subdir old|"
        u"+ --keep-max 10000|+ --keep-days=-1|edit Docs --keep-max=-1|edit Docs --keep-days 10000|"
        u"edit Nope --filters *.txt|edit Docs --keep name|remove Nope|run Nope|settings flReRun maybe|"
        u"settings StrLogFileDir logs|settings StrLogFileDir ~/missing|settings StrLogFileDir ~/a-file|"
        u"add New --source ~/docs --dest ~/link-to-docs/backup|"
        u"add New --source ~/docs --dest ~/link-to-docs"_s;
    std::vector<QStringList> refused;
    for (const QString& line : commands.split(u'|'))
        refused.push_back(args(QString(line).replace(u"+"_s, u"add New --source ~/docs --dest ~/x"_s)));
    for (const QString& name : {QString(), u" "_s, u" Docs2"_s, u"Docs2 "_s})
        refused.push_back(QStringList{u"add"_s, name} + args(u"--source ~/docs --dest ~/x"_s));
    refused.push_back({u"settings"_s, u"StrLogFileDir"_s, QString()});
    for (const GeneralSettingKey& key : GeneralSettingKeys()) {
        if (std::holds_alternative<GeneralSettingKey::NumberField>(key.field)) {
            for (const int outside : {key.minimum - 1, key.maximum + 1})
                refused.push_back({u"settings"_s, QLatin1StringView(key.name), QString::number(outside)});
        }
    }
    const Files before = Snapshot(m_home.configDir());
    for (const QStringList& arguments : refused) {
        const CliResult result = run(arguments);
        SCOPED_TRACE(arguments.join(u' ').toStdString() + ": " + result.err.toStdString());
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.out.isEmpty());
        EXPECT_EQ(lines(result.err).size(), 1);
        EXPECT_TRUE(result.err.startsWith(u"kelvo-cli: "_s));
        EXPECT_EQ(Snapshot(m_home.configDir()), before);
    }
}

// A bind mount hides from the paths what device and inode show.
TEST_F(KelvoCli, RefusesADestinationInsideTheSourceThroughABindMount)
{
    fs::create_directories(at("mnt"));
    const std::optional<int> status = InPrivateTmpfs(at("mnt"), 1 << 20, [&] {
        if (::mount(at("docs").c_str(), at("mnt").c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 77;
        const std::string add = KELVO_BIN_DIR "/kelvo-cli add New --source " + at("docs") + " --dest " +
                                at("mnt/backup") + " 2>/dev/null";
        return WEXITSTATUS(std::system(add.c_str()));
    });
    if (!status || *status == 77)
        GTEST_SKIP() << "no private mounts here";
    EXPECT_EQ(*status, 2);
}

// Every command loads, checks and saves under one lock: of many adds of one name exactly one wins,
// and the losers say so.
TEST_F(KelvoCli, ConcurrentAddsOfOneNameLetExactlyOneWin)
{
    QProcess adds[6];
    for (int n = 0; n < 6; ++n)
        adds[n].start(Cli, args(u"add Same --source ~/docs --dest ~/d%1"_s.arg(n)));
    int won = 0;
    for (QProcess& add : adds) {
        ASSERT_TRUE(add.waitForFinished(60000));
        won += add.exitCode() == 0;
        EXPECT_TRUE(add.exitCode() == 0 || add.exitCode() == 2) << add.exitCode();
    }
    EXPECT_EQ(won, 1);
    EXPECT_EQ(listed().size(), 1);
}

// A name in any script goes through the store, the listing and a lookup in another letter case; the run
// makes the destination's folders.
TEST_F(KelvoCli, BacksUpOnlyTheNamedSetAndExitsWithOneWhenAnErrorWasCounted)
{
    const Files tree{{"a.txt", "alpha"}, {"sub/deeper/c", QByteArray(100000, 'c')}, {"sub/empty", ""}};
    for (const auto& [name, contents] : tree)
        write("src/" + name, contents);
    write("blocker", "a file where a directory should be");
    addSet(u"Müller Фото"_s, "src", "new/backup ü");
    addSet(u"Blocked"_s, "src", "blocker/dst");

    CliResult result = run({u"run"_s, u"MÜLLER фото"_s});
    EXPECT_EQ(result.status, 0) << result.err.toStdString();
    EXPECT_EQ(result.out, u"Directories searched: 3\nFiles examined: 3\nFiles copied: 3\nErrors: 0\n"_s);
    EXPECT_EQ(Snapshot(at("new/backup ü")), tree);
    EXPECT_TRUE(listed()[1].endsWith(u"|Never run|unknown|unknown"_s)) << "Blocked did not run";
    EXPECT_TRUE(run({u"run"_s, u"Müller Фото"_s}).out.contains(u"\nFiles copied: 0\n"_s));

    result = run({u"run"_s});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lines(result.out).last(), u"Errors: 1"_s);
    EXPECT_TRUE(result.err.contains(u"Error : Path/File access error. Cannot access "_s + path("blocker")))
        << result.err.toStdString();
    const QStringList sets = listed();
    EXPECT_TRUE(sets[0].endsWith(u"|completed|"_s + sets[0].section(u'|', -3, -3))) << "at its last run";
    EXPECT_TRUE(sets[1].endsWith(u"|failed (1 error)|unknown"_s)) << "Blocked never completed";
}

// Ctrl-C, and a terminal that closes under the run.
TEST_F(KelvoCli, InterruptionStopsBetweenChunksAndLeavesNoPartialFile)
{
    const QByteArray contents(4 * 1024 * 1024, 'x');
    for (int i = 0; i < 40; ++i)
        write("src/f" + std::to_string(100 + i), contents);
    addSet(u"Big"_s, "src", "dst");
    for (const int signal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        fs::remove_all(at("dst"));
        QProcess cli;
        cli.start(Cli, {u"run"_s});
        ASSERT_TRUE(cli.waitForStarted());
        for (int ms = 0; ms < 60000 && !fs::exists(at("dst/f100")) && cli.state() == QProcess::Running; ++ms)
            QThread::msleep(1);
        ::kill(pid_t(cli.processId()), signal);
        ASSERT_TRUE(cli.waitForFinished(60000));
        if (cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0)
            continue; // the run ended before the signal arrived
        EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(cli.exitCode(), 130);
        const Files copies = Snapshot(at("dst"));
        EXPECT_LT(copies.size(), 40u);
        for (const auto& [file, copy] : copies)
            EXPECT_EQ(copy, contents) << file; // a partial copy or a left temporary file would differ
    }
}

// Names, paths, settings, arguments and the progress line reach the terminal with their control characters
// escaped; a set with an option this version does not know is named and not run.
TEST_F(KelvoCli, EscapesControlCharactersAndRunsNoSetWithAnUnknownOption)
{
    write("src/a.txt", "alpha");
    addSet(u"Odd"_s, "src", "odd");
    addSet(u"Docs"_s, "src", "dst");
    expectOk({u"edit"_s, u"Odd"_s, u"--filters"_s, Hostile});
    ASSERT_EQ(run({u"settings"_s, u"StrAltScreenSaver"_s, Hostile}).status, 0);
    SettingsStore().SaveSetting(u"Kelvo"_s, u"Sets\\Docs"_s, u"CopyOptions"_s, u"op"_s + Hostile);

    const QString unknown = u"unknown value op"_s + HostileEscaped;
    const std::tuple<QStringList, int, QString> commands[] = {
        {{Hostile}, 2, {}},
        {{u"list"_s}, 0, unknown + u" for CopyOptions"_s},
        {{u"settings"_s}, 0, {}},
        {{u"run"_s}, 1, u"Error : Set Docs : "_s + unknown}};
    for (const auto& [arguments, status, says] : commands) {
        const CliResult result = run(arguments);
        const QString text = result.out + result.err;
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(result.status, status);
        EXPECT_FALSE(text.contains(ControlCharacter));
        EXPECT_TRUE(text.contains(says) && text.contains(HostileEscaped));
    }
    EXPECT_FALSE(fs::exists(at("dst")));

    // On a terminal the progress line writes its own escape sequence (return, clear the line) and no other.
    char terminal[1024] = {};
    std::FILE* stream = fmemopen(terminal, sizeof terminal - 1, "w");
    cli::CliObserver(stream).currentFileChanged(u"/s/"_s + Hostile);
    std::fclose(stream);
    ASSERT_TRUE(QByteArray(terminal).startsWith("\r\x1b[K")) << terminal;
    EXPECT_FALSE(QString::fromLocal8Bit(terminal + 4).contains(ControlCharacter)) << terminal;
    EXPECT_TRUE(QString::fromLocal8Bit(terminal).contains(HostileEscaped.right(30))) << terminal;
}

// Three versions of report.doc, made by real runs.
TEST_F(KelvoCli, VersionsAreListedAndRestoreKeepsTheCurrentFileAside)
{
    const auto writeReport = [this](const QByteArray& text, qint64 second) {
        write("docs/report.doc", text);
        const timespec times[2] = {{second, 0}, {second, 0}};
        ::utimensat(AT_FDCWD, at("docs/report.doc").c_str(), times, 0);
    };
    expectOk(u"add S --source ~/docs --dest ~/backup --keep seq"_s);
    fs::create_directories(at("docs/empty"));
    for (const auto& [text, second] : {std::pair{"first", 1000}, {"second!", 2000}, {"third!!!", 3000}}) {
        writeReport(text, second);
        ASSERT_EQ(run({u"run"_s, u"S"_s}).status, 0);
    }
    // Newest first: number, date, size and where the version lies.
    QString shown = run(args(u"versions S report.doc"_s)).out;
    shown.replace(QRegularExpression(u"\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d"_s), u"date"_s);
    EXPECT_EQ(shown,
              u"1  date  8  %1\n2  date  7  %1.2\n3  date  5  %1.1\n"_s.arg(path("backup/report.doc")));

    writeReport("edited", 4000);
    const CliResult restored = run(args(u"restore S ~/docs/report.doc --version 3"_s));
    EXPECT_EQ(restored.status, 0) << restored.err.toStdString();
    EXPECT_EQ(ReadFile(at("docs/report.doc")), "first");
    EXPECT_TRUE(restored.out.contains(u"Restored: 1\nUnchanged: 0\nKept aside: 1\nErrors: 0"_s));
    EXPECT_EQ(std::ranges::count(Snapshot(at("docs")) | std::views::values, QByteArray("edited")), 1);

    EXPECT_EQ(run(args(u"restore S . --to ~/elsewhere"_s)).status, 0);
    EXPECT_EQ(ReadFile(at("elsewhere/report.doc")), "third!!!");

    // Each command and the status it ends with; status 1 always says why.
    const QString statuses =
        u"versions S report.doc:0|versions Nope report.doc:2|versions S ../outside:2|"
        u"versions S /etc/passwd:2|versions S never.txt:1|versions S empty:1|restore S:2|"
        u"restore S never.txt:1|restore S empty:1|restore S report.doc --version 9:2|"
        u"restore S report.doc --version x:2"_s;
    for (const QString& command : statuses.split(u'|')) {
        const CliResult result = run(args(command.section(u':', 0, 0)));
        EXPECT_EQ(result.status, command.section(u':', 1).toInt()) << command.toStdString();
        EXPECT_EQ(result.status == 1, result.err.contains(u"holds no version"_s)) << command.toStdString();
    }
    EXPECT_EQ(ReadFile(at("docs/report.doc")), "first");
}

} // namespace
} // namespace kelvo::test
