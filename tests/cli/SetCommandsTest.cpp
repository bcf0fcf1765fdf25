#include "cli/CliProcess.h"
#include "support/TestSupport.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <filesystem>

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

    // Arguments split at blanks; "{name}" stands for path("name"), "{}" for an empty argument.
    QStringList args(const QString& line) const
    {
        QStringList arguments = line.split(u' ', Qt::SkipEmptyParts);
        for (QString& argument : arguments) {
            if (argument.startsWith(u'{') && argument.endsWith(u'}'))
                argument = argument == u"{}"_s ? QString()
                                               : path(argument.mid(1, argument.size() - 2).toStdString());
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
    ASSERT_EQ(RunCli({u"add"_s, u"Music 2"_s, u"--source="_s + path("music"), u"--dest"_s,
                      path("backup/music"), u"--criterion"_s, u"size"_s, u"--sync"_s, u"two-way"_s,
                      u"--no-overwrite"_s, u"--no-subdirs"_s, u"--delete-removed"_s, u"--keep"_s, u"name"_s,
                      u"--keep-subdir"_s, u"old"_s, u"--disabled"_s, u"--filters"_s, u"*.mp3;*.ogg"_s})
                  .status,
              0);
    const QString docs = u"|"_s + path("docs") + u'|' + path("backup/docs") + u'|';
    const QString music = u"|"_s + path("music") + u'|' + path("backup/music") + u'|';
    EXPECT_EQ(listed(), (QStringList{u"Docs|yes"_s + docs + u"*.*|date|one-way|yes|yes|no|no|no|Never run"_s,
                                     u"Music 2|no"_s + music +
                                         u"*.mp3;*.ogg|size|two-way|no|no|yes|name|old|Never run"_s}));

    // Edit changes only what it is given; names are found without regard to case. Dropping the kept
    // copies drops their sub directory too.
    expectOk(u"edit docs --sync reverse --keep date"_s);
    EXPECT_EQ(RunCli({u"enable"_s, u"MUSIC 2"_s}).status, 0);
    EXPECT_EQ(RunCli({u"edit"_s, u"Music 2"_s, u"--no-keep"_s}).status, 0);
    expectOk(u"disable Docs"_s);
    EXPECT_EQ(listed(), (QStringList{u"Docs|no"_s + docs + u"*.*|date|reverse|yes|yes|no|date|no|Never run"_s,
                                     u"Music 2|yes"_s + music +
                                         u"*.mp3;*.ogg|size|two-way|no|no|yes|no|no|Never run"_s}));

    // A removed name is free again, and the last removal leaves an empty list.
    expectOk(u"remove DOCS"_s);
    EXPECT_EQ(listed().size(), 1);
    expectOk(u"add docs --source {docs} --dest {backup/docs}"_s);
    ASSERT_EQ(RunCli({u"remove"_s, u"Music 2"_s}).status, 0);
    expectOk(u"remove docs"_s);
    EXPECT_TRUE(RunCli({u"list"_s}).out.isEmpty());
}

TEST_F(SetCommands, RelativePathsAreStoredAbsoluteAndForceAcceptsAMissingSource)
{
    QProcess process;
    process.setWorkingDirectory(path(""));
    process.start(QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"),
                  args(u"add Docs --source docs/ --dest ./backup/../copy"_s));
    ASSERT_TRUE(process.waitForFinished());
    ASSERT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(listed()[0].startsWith(u"Docs|yes|"_s + path("docs") + u'|' + path("copy") + u'|'));

    EXPECT_EQ(RunCli(args(u"add Later --source {not-yet} --dest {b}"_s)).status, 2);
    expectOk(u"add Later --source {not-yet} --dest {b} --force"_s);
    // An edit of a set whose source is still missing needs --force again.
    EXPECT_EQ(RunCli(args(u"edit Later --filters *.txt"_s)).status, 2);
    expectOk(u"edit Later --filters *.txt --force"_s);
}

TEST_F(SetCommands, RefusedInputLeavesTheStoreUntouched)
{
    WriteFile(m_home.dir() / "a-file", "x");
    expectOk(u"add Docs --source {docs} --dest {backup}"_s);
    const char* const refused[] = {"",
                                   "frobnicate",
                                   "--verbose",
                                   "list extra",
                                   "add",
                                   "add --source {docs}",
                                   "add New --source {docs} --dest {x} --colour",
                                   "add New --source {docs} --dest",
                                   "add New --source {docs} --dest {x} --criterion age",
                                   "add New --source {docs} --dest {x} --sync both",
                                   "add New --source {docs} --dest {x} --keep all",
                                   "add New --source {docs} --dest {x} --overwrite=yes",
                                   "add New --source {docs} --dest {x} --dest {x}",
                                   "add New --source {docs} --dest {x} --keep seq --no-keep",
                                   "add New --source {docs} --dest {x} --no-keep --keep-subdir k",
                                   "add my-set --source {docs} --dest {x}",
                                   "add caf\u00e9 --source {docs} --dest {x}",
                                   "add {} --source {docs} --dest {x}",
                                   "add DOCS --source {docs} --dest {x}",
                                   "add New --dest {x}",
                                   "add New --source {missing} --dest {x}",
                                   "add New --source {a-file} --dest {x} --force",
                                   "add New --source {docs}",
                                   "add New --source {docs} --dest {docs}",
                                   "add New --source {docs} --dest {docs/backup}",
                                   "add New --source {docs} --dest {}",
                                   "add New --source {docs} --dest {x} --keep name",
                                   "add New --source {docs} --dest {x} --keep-subdir a/b",
                                   "edit Nope --filters *.txt",
                                   "edit Docs --keep name",
                                   "edit Docs --dest {}",
                                   "edit Docs docs",
                                   "remove Nope",
                                   "remove Docs --force",
                                   "enable Nope",
                                   "disable",
                                   "run Nope",
                                   "run --all",
                                   "settings flNothing",
                                   "settings flReRun maybe",
                                   "settings flReRun true false"};
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
}

} // namespace
} // namespace kelvo::test
