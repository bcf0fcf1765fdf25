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

    void expectOk(const QStringList& arguments) const
    {
        const CliResult result = RunCli(arguments);
        EXPECT_EQ(result.status, 0) << arguments.join(u' ').toStdString() << ": " << result.err.toStdString();
        EXPECT_TRUE(result.err.isEmpty());
    }

    IsolatedHome m_home;
};

TEST_F(SetCommands, AddListEditEnableRemoveRoundTrip)
{
    expectOk({u"add"_s, u"Docs"_s, u"--source"_s, path("docs"), u"--dest"_s, path("backup/docs")});
    expectOk({u"add"_s, u"Music 2"_s, u"--source="_s + path("music"), u"--dest"_s, path("backup/music"),
              u"--criterion"_s, u"size"_s, u"--sync"_s, u"two-way"_s, u"--no-overwrite"_s, u"--no-subdirs"_s,
              u"--delete-removed"_s, u"--keep"_s, u"name"_s, u"--keep-subdir"_s, u"old"_s, u"--disabled"_s,
              u"--filters"_s, u"*.mp3;*.ogg"_s});

    const QStringList expected = {
        u"Docs"_s,
        u"  enabled: yes"_s,
        u"  source: "_s + path("docs"),
        u"  dest: "_s + path("backup/docs"),
        u"  filters: *.*"_s,
        u"  criterion: date"_s,
        u"  sync: one-way"_s,
        u"  overwrite: yes"_s,
        u"  subdirs: yes"_s,
        u"  delete-removed: no"_s,
        u"  keep: no"_s,
        u"  keep-subdir: no"_s,
        u"  last run: Never run"_s,
        u"Music 2"_s,
        u"  enabled: no"_s,
        u"  source: "_s + path("music"),
        u"  dest: "_s + path("backup/music"),
        u"  filters: *.mp3;*.ogg"_s,
        u"  criterion: size"_s,
        u"  sync: two-way"_s,
        u"  overwrite: no"_s,
        u"  subdirs: no"_s,
        u"  delete-removed: yes"_s,
        u"  keep: name"_s,
        u"  keep-subdir: old"_s,
        u"  last run: Never run"_s,
    };
    EXPECT_EQ(Lines(RunCli({u"list"_s}).out), expected);

    // Edit changes only what it is given; names are found without regard to case.
    expectOk({u"edit"_s, u"docs"_s, u"--sync"_s, u"reverse"_s, u"--keep"_s, u"date"_s});
    expectOk({u"enable"_s, u"MUSIC 2"_s});
    expectOk({u"disable"_s, u"Docs"_s});
    QStringList list = Lines(RunCli({u"list"_s}).out);
    EXPECT_EQ(list[1], u"  enabled: no"_s);
    EXPECT_EQ(list[3], u"  dest: "_s + path("backup/docs"));
    EXPECT_EQ(list[6], u"  sync: reverse"_s);
    EXPECT_EQ(list[10], u"  keep: date"_s);
    EXPECT_EQ(list[14], u"  enabled: yes"_s);

    // Dropping the kept copies drops their sub directory too.
    expectOk({u"edit"_s, u"Music 2"_s, u"--no-keep"_s});
    list = Lines(RunCli({u"list"_s}).out);
    EXPECT_EQ(list[23], u"  keep: no"_s);
    EXPECT_EQ(list[24], u"  keep-subdir: no"_s);

    expectOk({u"remove"_s, u"DOCS"_s});
    list = Lines(RunCli({u"list"_s}).out);
    ASSERT_EQ(list.size(), 13);
    EXPECT_EQ(list[0], u"Music 2"_s);

    // A removed name is free again, and the last removal leaves an empty list.
    expectOk({u"add"_s, u"docs"_s, u"--source"_s, path("docs"), u"--dest"_s, path("backup/docs")});
    expectOk({u"remove"_s, u"Music 2"_s});
    expectOk({u"remove"_s, u"docs"_s});
    EXPECT_TRUE(RunCli({u"list"_s}).out.isEmpty());
}

TEST_F(SetCommands, RelativePathsAreStoredAbsolute)
{
    QProcess process;
    process.setWorkingDirectory(path(""));
    process.start(QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"),
                  {u"add"_s, u"Docs"_s, u"--source"_s, u"docs/"_s, u"--dest"_s, u"./backup/../copy"_s});
    ASSERT_TRUE(process.waitForFinished());
    ASSERT_EQ(process.exitCode(), 0);
    const QStringList list = Lines(RunCli({u"list"_s}).out);
    EXPECT_EQ(list[2], u"  source: "_s + path("docs"));
    EXPECT_EQ(list[3], u"  dest: "_s + path("copy"));
}

TEST_F(SetCommands, ForceAcceptsAMissingSource)
{
    const QStringList add = {u"add"_s, u"Later"_s, u"--source"_s, path("not yet"), u"--dest"_s, path("b")};
    EXPECT_EQ(RunCli(add).status, 2);
    expectOk(add + QStringList{u"--force"_s});
    // An edit of a set whose source is still missing needs --force again.
    EXPECT_EQ(RunCli({u"edit"_s, u"Later"_s, u"--filters"_s, u"*.txt"_s}).status, 2);
    expectOk({u"edit"_s, u"Later"_s, u"--filters"_s, u"*.txt"_s, u"--force"_s});
}

TEST_F(SetCommands, RefusedInputLeavesTheStoreUntouched)
{
    WriteFile(m_home.dir() / "a file", "x");
    expectOk({u"add"_s, u"Docs"_s, u"--source"_s, path("docs"), u"--dest"_s, path("backup")});
    const QString docs = path("docs");
    const QString dest = path("elsewhere");
    const std::vector<QStringList> refused = {
        {},
        {u"frobnicate"_s},
        {u"--verbose"_s},
        {u"list"_s, u"extra"_s},
        {u"add"_s},
        {u"add"_s, u"--source"_s, docs},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--colour"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--criterion"_s, u"age"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--sync"_s, u"both"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--keep"_s, u"all"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--overwrite=yes"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--dest"_s, dest},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--keep"_s, u"seq"_s, u"--no-keep"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--no-keep"_s, u"--keep-subdir"_s,
         u"k"_s},
        {u"add"_s, u"my-set"_s, u"--source"_s, docs, u"--dest"_s, dest},
        {u"add"_s, u"caf\u00e9"_s, u"--source"_s, docs, u"--dest"_s, dest},
        {u"add"_s, u""_s, u"--source"_s, docs, u"--dest"_s, dest},
        {u"add"_s, u"DOCS"_s, u"--source"_s, docs, u"--dest"_s, dest},
        {u"add"_s, u"New"_s, u"--dest"_s, dest},
        {u"add"_s, u"New"_s, u"--source"_s, path("missing"), u"--dest"_s, dest},
        {u"add"_s, u"New"_s, u"--source"_s, path("a file"), u"--dest"_s, dest, u"--force"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, docs},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, docs + u"/backup"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, path("")},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--keep"_s, u"name"_s},
        {u"add"_s, u"New"_s, u"--source"_s, docs, u"--dest"_s, dest, u"--keep-subdir"_s, u"a/b"_s},
        {u"edit"_s, u"Nope"_s, u"--filters"_s, u"*.txt"_s},
        {u"edit"_s, u"Docs"_s, u"--keep"_s, u"name"_s},
        {u"edit"_s, u"Docs"_s, u"--dest"_s, u""_s},
        {u"edit"_s, u"Docs"_s, u"docs"_s},
        {u"remove"_s, u"Nope"_s},
        {u"remove"_s, u"Docs"_s, u"--force"_s},
        {u"enable"_s, u"Nope"_s},
        {u"disable"_s},
        {u"run"_s, u"Nope"_s},
        {u"run"_s, u"--all"_s},
        {u"settings"_s, u"flNothing"_s},
        {u"settings"_s, u"flReRun"_s, u"maybe"_s},
        {u"settings"_s, u"flReRun"_s, u"true"_s, u"false"_s},
    };
    const auto before = Snapshot(m_home.configDir());
    for (const QStringList& arguments : refused) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const CliResult result = RunCli(arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.out.isEmpty());
        ASSERT_EQ(Lines(result.err).size(), 1) << result.err.toStdString();
        EXPECT_TRUE(result.err.startsWith(u"kelvo-cli: "_s)) << result.err.toStdString();
        EXPECT_EQ(Snapshot(m_home.configDir()), before);
    }
}

} // namespace
} // namespace kelvo::test
