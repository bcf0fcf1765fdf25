#include "cli/CliProcess.h"
#include "cli/SetValidation.h"
#include "cli/UsageError.h"
#include "support/TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sys/mount.h>

namespace kelvo::test {
namespace {

using namespace Qt::StringLiterals;

class SetCommands : public ::testing::Test
{
protected:
    SetCommands()
    {
        std::filesystem::create_directories(m_home.dir() / "docs");
        std::filesystem::create_directories(m_home.dir() / "music");
    }

    QString path(const std::string& name) const { return QString::fromStdString(m_home.dir() / name); }

    // Arguments split at blanks; a trailing "{name}" stands for path("name"), "{}" for nothing.
    QStringList args(const QString& line) const
    {
        QStringList arguments = line.split(u' ', Qt::SkipEmptyParts);
        for (QString& argument : arguments) {
            const qsizetype open = argument.indexOf(u'{');
            if (open < 0 || !argument.endsWith(u'}'))
                continue;
            const QString name = argument.sliced(open + 1, argument.size() - open - 2);
            argument = argument.left(open) + (name.isEmpty() ? QString() : path(name.toStdString()));
        }
        return arguments;
    }

    void expectOk(const QString& line) const
    {
        const CliResult result = RunCli(args(line));
        EXPECT_EQ(result.status, 0) << line.toStdString() << ": " << result.err.toStdString();
        EXPECT_TRUE(result.err.isEmpty());
    }

    // Each listed set on one line: its name and the values of its fields joined by "|".
    QStringList listed() const
    {
        QStringList sets;
        for (const QString& line : Lines(RunCli({u"list"_s}).out)) {
            if (line.startsWith(u"  "_s))
                sets.last() += u'|' + line.section(u": "_s, 1);
            else
                sets << line;
        }
        return sets;
    }

    IsolatedHome m_home;
};

TEST_F(SetCommands, AddListEditEnableRemoveRoundTrip)
{
    expectOk(u"add Docs --source {docs} --dest {backup/docs}"_s);
    expectOk(
        u"add Music --source={music} --dest {backup/music} --criterion size --sync two-way --no-overwrite "
        u"--no-subdirs --delete-removed --keep name --keep-subdir old --disabled --filters *.mp3;*.ogg "
        u"--keep-max 5 --keep-days=9999"_s);
    const QString docs = u"|"_s + path("docs") + u'|' + path("backup/docs") + u'|';
    const QString music = u"|"_s + path("music") + u'|' + path("backup/music") + u'|';
    EXPECT_EQ(
        listed(),
        (QStringList{u"Docs|yes"_s + docs +
                         u"*.*|date|one-way|yes|yes|no|no|no|no limit|no limit|Never run|unknown|unknown"_s,
                     u"Music|no"_s + music +
                         u"*.mp3;*.ogg|size|two-way|no|no|yes|name|old|5|9999|Never run|unknown|unknown"_s}));

    // Edit changes only what it is given; names are found without regard to case. Dropping the kept
    // copies drops their sub directory too.
    expectOk(u"edit docs --sync reverse --keep date --keep-days 30"_s);
    expectOk(u"enable MUSIC"_s);
    expectOk(u"edit Music --no-keep"_s);
    expectOk(u"disable Docs"_s);
    EXPECT_EQ(
        listed(),
        (QStringList{u"Docs|no"_s + docs +
                         u"*.*|date|reverse|yes|yes|no|date|no|no limit|30|Never run|unknown|unknown"_s,
                     u"Music|yes"_s + music +
                         u"*.mp3;*.ogg|size|two-way|no|no|yes|no|no|5|9999|Never run|unknown|unknown"_s}));

    expectOk(u"remove DOCS"_s);
    expectOk(u"remove Music"_s);
    EXPECT_TRUE(RunCli({u"list"_s}).out.isEmpty());
}

// A name in any script goes through the store, the listing, a lookup in another letter case and a run
// into a destination whose folders do not exist yet.
TEST_F(SetCommands, NamesOfAnyScriptRoundTrip)
{
    const QString name = u"Müller Фото"_s;
    const QString destination = path("new/backup ü");
    WriteFile(m_home.dir() / "docs/a.txt", "a");
    ASSERT_EQ(RunCli({u"add"_s, name, u"--source"_s, path("docs"), u"--dest"_s, destination}).status, 0);
    EXPECT_EQ(RunCli({u"run"_s, u"MÜLLER фото"_s}).status, 0);
    EXPECT_TRUE(std::filesystem::exists(m_home.dir() / "new/backup ü/a.txt"));
    const QStringList sets = listed();
    ASSERT_EQ(sets.size(), 1);
    EXPECT_EQ(sets[0].section(u'|', 0, -4), // all but the dates and result of the run
              name + u"|yes|"_s + path("docs") + u'|' + destination +
                  u"|*.*|date|one-way|yes|yes|no|no|no|no limit|no limit"_s);
    EXPECT_EQ(sets[0].section(u'|', -2, -2), u"completed"_s);
    EXPECT_EQ(sets[0].section(u'|', -1), sets[0].section(u'|', -3, -3)) << "completed at its last run";
}

TEST_F(SetCommands, RefusedInputLeavesTheStoreUntouched)
{
    WriteFile(m_home.dir() / "a-file", "x");
    expectOk(u"add Docs --source {docs} --dest {backup}"_s);
    const char* const refused[] = {"",
                                   "frobnicate",
                                   "list extra",
                                   "add",
                                   "add New --source {docs} --dest {x} --colour",
                                   "add New --source {docs} --dest {x} --criterion age",
                                   "add New --source {docs} --dest {x} --keep seq --no-keep",
                                   "add New --source {docs} --dest {x} --keep-max -1",
                                   "add New --source {docs} --dest {x} --keep-max=10000",
                                   "add New --source {docs} --dest {x} --keep-max",
                                   "edit Docs --keep-days 2.5",
                                   "edit Docs --keep-days 10000",
                                   "edit Docs --keep-days 1 --keep-days 2",
                                   "add {} --source {docs} --dest {x}",
                                   "add DOCS --source {docs} --dest {x}",
                                   "add New --source {missing} --dest {x}",
                                   "add New --source {a-file} --dest {x} --force",
                                   "add New --source {docs} --dest {docs}",
                                   "add New --source {docs} --dest {docs/backup}",
                                   "add New --source {docs} --dest {x} --keep-subdir a/b",
                                   "add New --source {docs} --dest {x} --keep-subdir old",
                                   "edit Nope --filters *.txt",
                                   "edit Docs --keep name",
                                   "remove Nope",
                                   "run Nope",
                                   "settings flReRun maybe",
                                   "settings StrLogFileDir logs",
                                   "settings StrLogFileDir {missing}",
                                   "settings StrLogFileDir {a-file}",
                                   "add New --source {docs} --dest {link-to-docs/backup}",
                                   "add New --source {docs} --dest {link-to-docs}"};
    std::filesystem::create_symlink(m_home.dir() / "docs", m_home.dir() / "link-to-docs");
    std::filesystem::create_directories(m_home.dir() / "docs/old");
    const auto before = Snapshot(m_home.configDir());
    for (const char* line : refused) {
        SCOPED_TRACE(line);
        const CliResult result = RunCli(args(QString::fromUtf8(line)));
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.out.isEmpty());
        ASSERT_EQ(Lines(result.err).size(), 1) << result.err.toStdString();
        EXPECT_TRUE(result.err.startsWith(u"kelvo-cli: "_s)) << result.err.toStdString();
        EXPECT_EQ(Snapshot(m_home.configDir()), before);
    }
    // Arguments that the blank-splitting table cannot hold.
    for (const QString& name : {u" "_s, u" Docs2"_s, u"Docs2 "_s}) {
        EXPECT_EQ(RunCli({u"add"_s, name, u"--source"_s, path("docs"), u"--dest"_s, path("x")}).status, 2);
        EXPECT_EQ(Snapshot(m_home.configDir()), before);
    }
    EXPECT_EQ(RunCli({u"settings"_s, u"StrLogFileDir"_s, u""_s}).status, 2);
    EXPECT_EQ(Snapshot(m_home.configDir()), before);
}

// Every command loads, checks and saves under one lock: of many adds of one name exactly one wins,
// and the losers say so.
TEST_F(SetCommands, ConcurrentAddsOfOneNameLetExactlyOneWin)
{
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int n = 0; n < 6; ++n) {
        auto process = std::make_unique<QProcess>();
        process->start(
            QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"),
            {u"add"_s, u"Same"_s, u"--source"_s, path("docs"), u"--dest"_s, path("d") + QString::number(n)});
        processes.push_back(std::move(process));
    }
    int won = 0;
    for (auto& process : processes) {
        ASSERT_TRUE(process->waitForFinished(60000));
        const int status = process->exitCode();
        won += status == 0;
        EXPECT_TRUE(status == 0 || status == 2) << status;
    }
    EXPECT_EQ(won, 1);
    EXPECT_EQ(listed().size(), 1);
}

// A bind mount hides from the paths what device and inode show.
TEST_F(SetCommands, RefusesADestinationInsideTheSourceThroughABindMount)
{
    std::filesystem::create_directories(m_home.dir() / "mnt");
    const std::string docs = m_home.dir() / "docs";
    const std::string mount = m_home.dir() / "mnt";
    const std::optional<int> code = InPrivateTmpfs(mount, 1 << 20, [&] {
        if (::mount(docs.c_str(), mount.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 77;
        BackupSets sets(1);
        sets[0].SetName = u"Docs"_s;
        sets[0].SourceDirFile = QString::fromStdString(docs);
        sets[0].DestDir = QString::fromStdString(mount + "/backup");
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

} // namespace
} // namespace kelvo::test
