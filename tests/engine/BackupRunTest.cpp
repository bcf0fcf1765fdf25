#include "EngineFixture.h"

#include "engine/DirectoryLists.h"
#include "platform/FileSystem.h"

#include <filesystem>
#include <sys/stat.h>

namespace kelvo::test {
namespace {

using Files = std::vector<std::string>;

class BackupRun : public EngineTest
{
protected:
    bool logged(const std::string& line) const
    {
        const auto lines = logLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

TEST_F(BackupRun, CopiesATreeAndASecondRunCopiesNothing)
{
    addSet();
    MakeFile(src("a.txt"), "a");
    MakeFile(src("sub/b.txt"), "b");
    MakeFile(src("sub/deeper/c.txt"), "c");
    MakeFile(src(".hidden"), "h");

    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{".hidden", "a.txt", "sub/b.txt", "sub/deeper/c.txt"}));
    EXPECT_EQ(statistics.directoriesSearched, 3);
    EXPECT_EQ(statistics.filesExamined, 4);
    EXPECT_EQ(statistics.filesCopied, 4);
    EXPECT_EQ(statistics.errors, 0);
    EXPECT_EQ(observer.overallProgress.back(), 100);
    EXPECT_EQ(observer.timerStates, (std::vector<bool>{false, true}));
    EXPECT_EQ(configuration.sets[0].LastDate, QStringLiteral("05/12/2026 14:03:07"));
    EXPECT_TRUE(logged("SUCCESS : Copied : " + src("sub/b.txt") + ". To " + dst("sub/b.txt")));

    // The counters accumulate over runs.
    runBackup();
    EXPECT_EQ(statistics.directoriesSearched, 6);
    EXPECT_EQ(statistics.filesExamined, 8);
    EXPECT_EQ(statistics.filesCopied, 4);
}

TEST_F(BackupRun, FilterTextIsSplitAtSemicolons)
{
    for (const char* name : {"a.doc", "b.txt", "c.xls", " d.txt"})
        MakeFile(src(name), "x");
    struct Case
    {
        const char* filters;
        Files copied;
    };
    const Case cases[] = {
        {"*.doc;*.txt", {" d.txt", "a.doc", "b.txt"}},
        {"*.doc;", {"a.doc"}},
        {"*.doc; *.txt", {" d.txt", "a.doc"}},
        {";", {}},
        {"", {" d.txt", "a.doc", "b.txt", "c.xls"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filters);
        std::filesystem::remove_all(dst());
        std::filesystem::create_directories(dst());
        configuration.sets.clear();
        addSet().Filters = QString::fromLatin1(c.filters);
        runBackup();
        EXPECT_EQ(FilesBelow(dst()), c.copied);
    }
    EXPECT_EQ(configuration.sets[0].Filters, QStringLiteral("*.*"));
}

TEST_F(BackupRun, DeleteScanRemovesFilesGoneFromTheSource)
{
    addSet().flRemovedDeletedFiles = true;
    MakeFile(src("kept.txt"), "k");
    MakeFile(dst("kept.txt"), "k");
    MakeFile(dst("gone.txt"), "g");
    chmod(dst("gone.txt").c_str(), 0444);
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), Files{"kept.txt"});
    EXPECT_TRUE(logged("SUCCESS : Deleted : " + dst("gone.txt") +
                       ". The file was no longer present in the source directory"));
}

TEST_F(BackupRun, MissingSourceNeverEmptiesTheBackup)
{
    addSet().flRemovedDeletedFiles = true;
    MakeFile(dst("precious.txt"), "p");
    MakeFile(dst("sub/precious.txt"), "p");
    std::filesystem::remove_all(src());
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"precious.txt", "sub/precious.txt"}));
    EXPECT_EQ(statistics.errors, 1);
    EXPECT_TRUE(logged("Error : Path not found. Cannot access " + dst()));
}

TEST_F(BackupRun, UnreadableSourceNeverEmptiesTheBackup)
{
    addSet().flRemovedDeletedFiles = true;
    MakeFile(dst("precious.txt"), "p");
    // A loop of links cannot be opened by anybody, root included.
    const std::string root = m_home.dir() / "src";
    std::filesystem::remove_all(root);
    std::filesystem::create_symlink(root, root);
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), Files{"precious.txt"});
    EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + dst()));
}

TEST_F(BackupRun, ReverseSetDeletesFromTheSourceTreeAndTwoWayNeverDeletes)
{
    BackupSet& reverse = addSet();
    reverse.SyncOptions = QStringLiteral("destToSrc");
    reverse.flRemovedDeletedFiles = true;
    MakeFile(dst("backup-only.txt"), "b");
    MakeFile(src("source-only.txt"), "s");
    runBackup();
    EXPECT_EQ(FilesBelow(src()), Files{"backup-only.txt"});

    configuration.sets[0].SyncOptions = QStringLiteral("srcAndDest");
    MakeFile(src("new-in-source.txt"), "n");
    MakeFile(dst("new-in-backup.txt"), "n");
    runBackup();
    const Files both{"backup-only.txt", "new-in-backup.txt", "new-in-source.txt"};
    EXPECT_EQ(FilesBelow(src()), both);
    EXPECT_EQ(FilesBelow(dst()), both);
}

TEST_F(BackupRun, ArchiveCriterionClearsTheFlagSoTheNextRunSkipsTheFile)
{
    addSet().CopyOptions = QStringLiteral("OpArchive");
    MakeFile(src("a.txt"), "a");
    SetAttributes(src("a.txt"), AttrArchive);
    runBackup();
    EXPECT_EQ(statistics.filesCopied, 1);
    EXPECT_EQ(GetAttributes(src("a.txt")), AttrNormal);
    runBackup();
    EXPECT_EQ(statistics.filesCopied, 1);

    WriteFile(src("a.txt"), "changed");
    runBackup();
    EXPECT_EQ(statistics.filesCopied, 2);
}

TEST_F(BackupRun, VanishedFileIsLoggedAndTheRestOfTheSetGoesOn)
{
    addSet();
    MakeFile(src("a.txt"), "a");
    MakeFile(src("b.txt"), "b");
    observer.onYield = [this] { std::filesystem::remove(src("a.txt")); };
    runBackup();
    EXPECT_EQ(statistics.errors, 1);
    EXPECT_TRUE(logged("Error : File not found"));
    EXPECT_EQ(FilesBelow(dst()), Files{"b.txt"});
}

TEST_F(BackupRun, DirectoryOutsideBothTreesEndsTheSetWithOverflow)
{
    addSet();
    addSet(QStringLiteral("Second"));
    MakeFile(src("a.txt"), "a");
    runBackup();
    state.DirectoryLists[0]->insert(state.DirectoryLists[0]->begin(), "/elsewhere/");
    RunBackup(context, AllSets);
    EXPECT_TRUE(logged("Error : Overflow 6"));
    EXPECT_TRUE(logged("Problem Dest : "));
    EXPECT_EQ(statistics.errors, 1);
}

TEST_F(BackupRun, FullDestinationIsLoggedAndAbandonsTheSet)
{
    addSet();
    MakeFile(src("big1"), QByteArray(100000, 'x'));
    MakeFile(src("big2"), QByteArray(100000, 'y'));
    const std::optional<int> status = InPrivateTmpfs(dst(), 64 * 1024, [this] {
        runBackup();
        const bool ok = logged("Error : Destination Directory " + dst() + " Full!") &&
                        logged("Error : Disk full") && statistics.errors == 1 && statistics.filesExamined == 1 &&
                        FilesBelow(dst()).empty();
        return ok ? 0 : 1;
    });
    if (!status)
        GTEST_SKIP() << "user namespaces are not available";
    EXPECT_EQ(*status, 0);
}

TEST_F(BackupRun, LoggingOffWritesNoFileButCountsTheSame)
{
    configuration.settings.flLogFileOn = false;
    addSet();
    MakeFile(src("a.txt"), "a");
    runBackup();
    EXPECT_EQ(statistics.filesCopied, 1);
    EXPECT_EQ(FilesBelow(m_home.dir() / "log"), Files{});
}

TEST_F(BackupRun, RequestDuringARunWaitsForItsEnd)
{
    addSet();
    MakeFile(src("a.txt"), "a");
    int starts = 0;
    observer.onYield = [&] {
        if (starts++ == 0)
            RunBackup(context, AllSets);
    };
    runBackup();
    // The nested request ran after the first run, not inside it: two full runs, one after the other.
    EXPECT_EQ(observer.timerStates, (std::vector<bool>{false, true, false, true}));
    EXPECT_EQ(statistics.filesExamined, 2);
    EXPECT_FALSE(state.RunBusy);
}

TEST_F(BackupRun, ListsRebuiltOrSetsRemovedDuringItsYieldsEndTheRunCleanly)
{
    addSet();
    MakeFile(src("a.txt"), "a");
    MakeFile(src("sub/b.txt"), "b");
    QString startedByWindows;
    observer.onYield = [&] { BuildDirectoryLists(configuration, startedByWindows, state); };
    runBackup();
    EXPECT_EQ(FilesBelow(dst()), (Files{"a.txt", "sub/b.txt"}));

    observer.onYield = [&] { configuration.sets.clear(); };
    runBackup();
    EXPECT_EQ(statistics.filesExamined, 3);
    EXPECT_FALSE(state.RunBusy);
}

TEST_F(BackupRun, BackupInsideItsSourceIsNotCopiedIntoItself)
{
    BackupSet& set = addSet();
    set.DestDir = QString::fromStdString(src("backup"));
    MakeFile(src("a.txt"), "a");
    runBackup();
    runBackup();
    EXPECT_EQ(FilesBelow(src()), (Files{"a.txt", "backup/a.txt"}));
}

} // namespace
} // namespace kelvo::test
