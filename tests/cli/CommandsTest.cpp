#include "cli/CliObserver.h"
#include "cli/SetValidation.h"
#include "cli/UsageError.h"
#include "config/GeneralSettingKeys.h"
#include "platform/SettingsStore.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <sys/mount.h>
#include <thread>
#include <tuple>

namespace kelvo::test {
namespace {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;
using Files = std::map<std::string, QByteArray>;

// What another account can put in a file name in a shared destination: a new terminal title, a
// cleared screen, the clipboard written (OSC 52), and the same through a C1 control (U+009D).
const QString Hostile = u"x\x1b]0;owned\x07\x1b[2J\x1b]52;c;b3duZWQ=\x07\u009d0;owned\u009c"_s;
const QString HostileEscaped =
    u"x\\x1b]0;owned\\x07\\x1b[2J\\x1b]52;c;b3duZWQ=\\x07\\xc2\\x9d0;owned\\xc2\\x9c"_s;

bool HasControlCharacter(const QString& text)
{
    return text.contains(QRegularExpression(u"[\\x00-\\x09\\x0b-\\x1f\\x7f-\\x9f]"_s));
}

QStringList Counters(int directories, int examined, int copied, int errors)
{
    return {u"Directories searched: %1"_s.arg(directories), u"Files examined: %1"_s.arg(examined),
            u"Files copied: %1"_s.arg(copied), u"Errors: %1"_s.arg(errors)};
}

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
    QString out;
    QString err;
};

// A home of its own with the folder docs, in which the built kelvo-cli runs.
class SetCommands : public ::testing::Test
{
protected:
    SetCommands() { fs::create_directories(at("docs")); }

    static CliResult run(const QStringList& arguments)
    {
        QProcess process;
        process.start(QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"), arguments);
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
            throw std::runtime_error("kelvo-cli did not finish normally");
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

using RunCommand = SetCommands;

TEST_F(SetCommands, AddListEditEnableRemoveRoundTrip)
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

    // Edit changes only what it is given; names are found without regard to case. Dropping the kept
    // copies drops their sub directory too.
    for (const QString& line : {u"edit docs --sync reverse --keep date"_s, u"enable MUSIC"_s,
                                u"edit Music --no-keep"_s, u"disable Docs"_s})
        expectOk(line);
    EXPECT_EQ(listed(),
              (QStringList{docs.arg(u"no"_s) + u"reverse|yes|yes|no|date|no|no limit|no limit"_s + neverRun,
                           music.arg(u"yes"_s) + u"no|no|3|30"_s + neverRun}));
    expectOk(u"remove DOCS"_s);
    expectOk(u"remove Music"_s);
    EXPECT_TRUE(listed().isEmpty());
}

TEST_F(SetCommands, RefusedInputLeavesTheStoreUntouched)
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

// Keys and values in any letter case are stored in the table's spelling; the set watched in real time
// is one that exists, and goes with its removal.
TEST_F(SetCommands, SettingsAreStoredInTheirOwnSpelling)
{
    const auto changed = [](const QString& key, const QString& value) {
        EXPECT_EQ(run({u"settings"_s, key, value}).status, 0) << key.toStdString();
        return run({u"settings"_s, key}).out.trimmed();
    };
    EXPECT_EQ(changed(u"flrerun"_s, u"TRUE"_s), u"True"_s);
    EXPECT_EQ(changed(u"IntReRunTime"_s, u"9999"_s), u"9999"_s);
    EXPECT_EQ(changed(u"StrStatusBarPos"_s, u"tl"_s), u"TL"_s);
    EXPECT_EQ(changed(u"StrLogFileDir"_s, path("docs/./")), path("docs/"));
    addSet(u"Work Files"_s, "docs", "dst");
    EXPECT_EQ(changed(u"StrRealTime"_s, u"work files"_s), u"Work Files"_s);
    ASSERT_EQ(run({u"remove"_s, u"Work Files"_s}).status, 0);
    EXPECT_EQ(run({u"settings"_s, u"StrRealTime"_s}).out.trimmed(), u"None"_s);
}

// Every command loads, checks and saves under one lock: of many adds of one name exactly one wins,
// and the losers say so.
TEST_F(SetCommands, ConcurrentAddsOfOneNameLetExactlyOneWin)
{
    std::vector<std::unique_ptr<QProcess>> adds;
    for (int n = 0; n < 6; ++n) {
        adds.push_back(std::make_unique<QProcess>());
        adds.back()->start(QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"),
                           args(u"add Same --source ~/docs --dest ~/d%1"_s.arg(n)));
    }
    int won = 0;
    for (auto& add : adds) {
        ASSERT_TRUE(add->waitForFinished(60000));
        won += add->exitCode() == 0;
        EXPECT_TRUE(add->exitCode() == 0 || add->exitCode() == 2) << add->exitCode();
    }
    EXPECT_EQ(won, 1);
    EXPECT_EQ(listed().size(), 1);
}

// A bind mount hides from the paths what device and inode show.
TEST_F(SetCommands, RefusesADestinationInsideTheSourceThroughABindMount)
{
    fs::create_directories(at("mnt"));
    const std::optional<int> code = InPrivateTmpfs(at("mnt"), 1 << 20, [&] {
        if (::mount(at("docs").c_str(), at("mnt").c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 77;
        BackupSets sets(1);
        sets[0].SetName = u"Docs"_s;
        sets[0].SourceDirFile = path("docs");
        sets[0].DestDir = path("mnt/backup");
        sets[0].flSubDirectories = true;
        try {
            cli::ValidateSet(sets, 0, false);
            return 1;
        } catch (const cli::UsageError&) {
            return 0;
        }
    });
    if (!code || *code == 77)
        GTEST_SKIP() << "no private mounts here";
    EXPECT_EQ(*code, 0);
}

// A name in any script goes through the store, the listing and a lookup in another letter case; the run
// makes the destination's folders.
TEST_F(RunCommand, BacksUpOnlyTheNamedSetAndExitsWithOneWhenAnErrorWasCounted)
{
    const Files tree{{"a.txt", "alpha"}, {"sub/deeper/c", QByteArray(100000, 'c')}, {"sub/empty", ""}};
    for (const auto& [name, contents] : tree)
        write("src/" + name, contents);
    write("blocker", "a file where a directory should be");
    addSet(u"Müller Фото"_s, "src", "new/backup ü");
    addSet(u"Blocked"_s, "src", "blocker/dst");

    CliResult result = run({u"run"_s, u"MÜLLER фото"_s});
    EXPECT_EQ(result.status, 0) << result.err.toStdString();
    EXPECT_EQ(lines(result.out), Counters(3, 3, 3, 0));
    EXPECT_EQ(Snapshot(at("new/backup ü")), tree);
    EXPECT_TRUE(listed()[1].endsWith(u"|Never run|unknown|unknown"_s)) << "Blocked did not run";
    EXPECT_EQ(lines(run({u"run"_s, u"Müller Фото"_s}).out), Counters(3, 3, 0, 0));

    result = run({u"run"_s});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lines(result.out).last(), u"Errors: 1"_s);
    EXPECT_TRUE(result.err.contains(u"Error : Path/File access error. Cannot access "_s + path("blocker")))
        << result.err.toStdString();
    const QStringList sets = listed();
    EXPECT_EQ(sets[0].section(u'|', 0, -4), // all but the dates and result of the run
              u"Müller Фото|yes|"_s + path("src") + u'|' + path("new/backup ü") +
                  u"|*.*|date|one-way|yes|yes|no|no|no|no limit|no limit"_s);
    EXPECT_EQ(sets[0].section(u'|', -2, -2), u"completed"_s);
    EXPECT_EQ(sets[0].section(u'|', -1), sets[0].section(u'|', -3, -3)) << "completed at its last run";
    EXPECT_TRUE(sets[1].endsWith(u"|failed (1 error)|unknown"_s)) << "Blocked never completed";

    const auto drive = [] {
        return SettingsStore().GetSetting(u"Kelvo"_s, u"Sets\\Müller Фото"_s, u"DestDrive"_s);
    };
    // What the next run finds when the drive that held the destination is not plugged in, until the user
    // gives a destination anew.
    EXPECT_TRUE(drive().startsWith(u'/')) << "the drive is stored";
    SettingsStore().SaveSetting(u"Kelvo"_s, u"Sets\\Müller Фото"_s, u"DestDrive"_s, u"/media/backup ext4"_s);
    write("src/b.txt", "beta");
    result = run({u"run"_s, u"Müller Фото"_s});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.err.contains(u"Error : The destination "_s + path("new/backup ü/") +
                                    u" is not on the drive it was on at the last run."_s))
        << result.err.toStdString();
    EXPECT_EQ(Snapshot(at("new/backup ü")), tree);
    EXPECT_EQ(drive(), u"/media/backup ext4"_s) << "kept until it is found";
    expectOk({u"edit"_s, u"Müller Фото"_s, u"--dest"_s, path("dst2")});
    EXPECT_EQ(drive(), QString());
    EXPECT_EQ(run({u"run"_s, u"Müller Фото"_s}).status, 0);
    EXPECT_EQ(Snapshot(at("dst2")).size(), 4u);
}

// Ctrl-C, and a terminal that closes under the run.
TEST_F(RunCommand, InterruptionStopsBetweenChunksAndLeavesNoPartialFile)
{
    const QByteArray contents(4 * 1024 * 1024, 'x');
    for (int i = 0; i < 40; ++i)
        write("src/f" + std::to_string(100 + i), contents);
    addSet(u"Big"_s, "src", "dst");
    for (const int signal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        fs::remove_all(at("dst"));
        QProcess cli;
        cli.start(QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"), {u"run"_s});
        ASSERT_TRUE(cli.waitForStarted());
        for (int ms = 0; ms < 60000 && !fs::exists(at("dst/f100")) && cli.state() == QProcess::Running; ++ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

// Names, paths, settings and arguments reach the terminal with their control characters escaped; a set
// with an option this version does not know is named and not run.
TEST_F(RunCommand, EscapesControlCharactersAndRunsNoSetWithAnUnknownOption)
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
        EXPECT_FALSE(HasControlCharacter(text));
        EXPECT_TRUE(text.contains(says) && text.contains(HostileEscaped));
    }
    EXPECT_FALSE(fs::exists(at("dst")));
}

// On a terminal the progress line writes its own escape sequence (return, clear the line) and no other.
TEST(CliProgressLine, ShowsTheFileNameEscaped)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* terminal = open_memstream(&buffer, &size);
    ASSERT_NE(terminal, nullptr);
    cli::CliObserver(terminal).currentFileChanged(u"/s/"_s + Hostile);
    std::fclose(terminal);
    const QString line = QString::fromLocal8Bit(QByteArray(buffer, qsizetype(size)));
    std::free(buffer);
    ASSERT_TRUE(line.startsWith(u"\r\x1b[K"_s)) << line.toStdString();
    EXPECT_FALSE(HasControlCharacter(line.mid(4))) << line.toStdString();
    EXPECT_TRUE(line.contains(HostileEscaped.right(30))) << line.toStdString();
}

TEST(CliHelp, FailsWhenItCannotBeWritten)
{
    IsolatedHome home;
    QProcess process;
    process.setStandardOutputFile(u"/dev/full"_s);
    process.start(QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"), {u"help"_s});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_NE(process.exitCode(), 0);
    EXPECT_TRUE(process.readAllStandardError().contains("cannot write the output"));
}

// A set whose backup holds three versions of report.doc, made by real runs.
class RestoreCommand : public SetCommands
{
protected:
    void SetUp() override
    {
        expectOk({u"add"_s, u"S"_s, u"--source"_s, path("docs"), u"--dest"_s, path("backup"), u"--keep"_s,
                  u"seq"_s});
        for (const auto& [text, second] : {std::pair{"first", 1000}, {"second!", 2000}, {"third!!!", 3000}}) {
            writeAt("docs/report.doc", text, second);
            ASSERT_EQ(run({u"run"_s, u"S"_s}).status, 0);
        }
    }
    void writeAt(const std::string& name, const QByteArray& text, qint64 second) const
    {
        write(name, text);
        const timespec times[2] = {{second, 0}, {second, 0}};
        ::utimensat(AT_FDCWD, at(name).c_str(), times, 0);
    }
};

TEST_F(RestoreCommand, ListsVersionsAndRestoresOneWithoutLosingTheCurrentFile)
{
    const CliResult listed = run({u"versions"_s, u"S"_s, u"report.doc"_s});
    EXPECT_EQ(listed.status, 0);
    const QStringList shown = lines(listed.out);
    ASSERT_EQ(shown.size(), 3);
    const QRegularExpression line(u"^(\\d)  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  (\\d+)  (.+)$"_s);
    const std::pair<const char*, const char*> expected[] = {
        {"8", "backup/report.doc"}, {"7", "backup/report.doc.2"}, {"5", "backup/report.doc.1"}};
    for (int i = 0; i < 3; ++i) {
        const QRegularExpressionMatch match = line.match(shown[i]);
        ASSERT_TRUE(match.hasMatch()) << shown[i].toStdString();
        EXPECT_EQ(match.captured(1).toInt(), i + 1);
        EXPECT_EQ(match.captured(2), QLatin1StringView(expected[i].first));
        EXPECT_EQ(match.captured(3), path(expected[i].second));
    }

    writeAt("docs/report.doc", "edited", 4000);
    const CliResult restored = run({u"restore"_s, u"S"_s, path("docs/report.doc"), u"--version"_s, u"3"_s});
    EXPECT_EQ(restored.status, 0) << restored.err.toStdString();
    EXPECT_EQ(ReadFile(at("docs/report.doc")), "first");
    EXPECT_TRUE(restored.out.contains(u"Restored: 1\nUnchanged: 0\nKept aside: 1\nErrors: 0"_s));
    int edits = 0;
    for (const auto& entry : fs::directory_iterator(at("docs")))
        edits += ReadFile(entry.path()) == "edited";
    EXPECT_EQ(edits, 1);

    EXPECT_EQ(run({u"restore"_s, u"S"_s, u"."_s, u"--to"_s, path("elsewhere")}).status, 0);
    EXPECT_EQ(ReadFile(at("elsewhere/report.doc")), "third!!!");

    const std::pair<const char*, int> refused[] = {{"versions Nope report.doc", 2},
                                                   {"versions S ../outside", 2},
                                                   {"versions S /etc/passwd", 2},
                                                   {"versions S never.txt", 1},
                                                   {"restore S report.doc --version 9", 2},
                                                   {"restore S report.doc --version x", 2},
                                                   {"restore S never.txt", 1},
                                                   {"restore S", 2}};
    for (const auto& [command, status] : refused)
        EXPECT_EQ(run(args(QString::fromLatin1(command))).status, status) << command;
    EXPECT_EQ(ReadFile(at("docs/report.doc")), "first");
}

} // namespace
} // namespace kelvo::test
