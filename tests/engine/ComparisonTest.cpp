#include "engine/Comparison.h"

#include "EngineFixture.h"
#include "engine/FileCopy.h"
#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/FileSystem.h"

#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <tuple>

namespace kelvo::test {
namespace {

class Comparison : public EngineTest
{
protected:
    Comparison() { addSet(); }
    BackupSet& set() { return configuration.sets[0]; }
    bool needsCopy(const std::string& name, CopyCheck check = CopyCheck::BeforeCopy,
                   TimePrecision precision = TimePrecision::OneSecond)
    {
        return NeedsCopy(clock, set(), src(name), dst(name), check, precision);
    }
    void makeArchived(const std::string& path) { SetAttributesOf(path, AttributesOf(path) | AttrArchive); }
    void clearArchive(const std::string& path) { SetAttributesOf(path, AttributesOf(path) & ~AttrArchive); }
};

TEST_F(Comparison, OverwriteOffNeverReplacesAnExistingFile)
{
    MakeFile(src("a"), "new and longer", 2000);
    MakeFile(dst("a"), "old", 1000);
    makeArchived(src("a"));
    set().flOverwrite = false;
    set().flArchive = true;
    set().ArchiveOptions = QStringLiteral("OpSeq");
    for (const char* criterion : {"OpDate", "OpArchive", "OpFileSize"}) {
        set().CopyOptions = QString::fromLatin1(criterion);
        EXPECT_FALSE(needsCopy("a")) << criterion;
    }
    EXPECT_EQ(FilesBelow(dst()), std::vector<std::string>{"a"});

    // A missing destination is copied whatever the overwrite rule says.
    MakeFile(src("b"), "b");
    for (const char* criterion : {"OpDate", "OpFileSize"}) {
        set().CopyOptions = QString::fromLatin1(criterion);
        EXPECT_TRUE(needsCopy("b")) << criterion;
    }
}

TEST_F(Comparison, CriteriaAndTheTwoWayRule)
{
    set().CopyOptions = QStringLiteral("OpArchive");
    MakeFile(src("readonly"), "x");
    MakeFile(dst("readonly"), "x");
    makeArchived(src("readonly"));
    chmod(src("readonly").c_str(), 0444);
    EXPECT_TRUE(needsCopy("readonly"));
    clearArchive(src("readonly"));
    EXPECT_FALSE(needsCopy("readonly"));

    set().CopyOptions = QStringLiteral("OpDate");
    MakeFile(src("newer"), "same", 2000);
    MakeFile(dst("newer"), "same", 1000);
    EXPECT_TRUE(needsCopy("newer"));
    MakeFile(src("equal"), "same", 2000);
    MakeFile(dst("equal"), "same", 2000);
    EXPECT_FALSE(needsCopy("equal"));
    // A newer destination of another size, created apart from the source, is left alone.
    MakeFile(src("older"), "short", 1000);
    MakeFile(dst("older"), "much longer", 2000);
    EXPECT_FALSE(needsCopy("older"));
    // A change within the second of the last copy counts, unless the destination keeps whole
    // seconds only; a FAT destination may lag up to two seconds.
    const auto setTime = [](const std::string& path, qint64 seconds, long nanoseconds) {
        const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    };
    setTime(src("equal"), 2000, 500);
    setTime(dst("equal"), 2000, 250);
    EXPECT_TRUE(needsCopy("equal"));
    setTime(dst("equal"), 2000, 0);
    EXPECT_FALSE(needsCopy("equal"));
    MakeFile(src("fat"), "same", 2001);
    MakeFile(dst("fat"), "same", 2000);
    EXPECT_TRUE(needsCopy("fat"));
    EXPECT_FALSE(needsCopy("fat", CopyCheck::BeforeCopy, TimePrecision::TwoSeconds));

    // Two-way, only the newer file travels, whatever the sizes say.
    set().SyncOptions = QStringLiteral("srcAndDest");
    for (const char* criterion : {"OpFileSize", "OpDate"}) {
        set().CopyOptions = QString::fromLatin1(criterion);
        EXPECT_FALSE(needsCopy("older")) << criterion;
    }
    EXPECT_TRUE(needsCopy("newer"));
}

// FAT keeps times to two seconds: a difference of two seconds or more is a change, anything less is not.
TEST_F(Comparison, TwoSecondToleranceIsMeasuredToTheNanosecond)
{
    struct Case
    {
        timespec source;
        timespec destination;
        bool changed;
    };
    const Case cases[] = {
        {{2002, 0}, {2000, 0}, true},
        {{2002, 500000000}, {2000, 500000000}, true},
        {{2001, 999999999}, {2000, 0}, false},
        {{2002, 0}, {2000, 500000000}, false},         // 1.5 s, though the whole seconds are 2 apart
        {{2003, 100000000}, {2001, 900000000}, false}, // 1.2 s
        {{2000, 0}, {2002, 0}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        MakeFile(src("fat"), "same");
        MakeFile(dst("fat"), "same");
        const timespec sourceTimes[2] = {c.source, c.source};
        const timespec destinationTimes[2] = {c.destination, c.destination};
        ASSERT_EQ(utimensat(AT_FDCWD, src("fat").c_str(), sourceTimes, 0), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, dst("fat").c_str(), destinationTimes, 0), 0);
        EXPECT_EQ(needsCopy("fat", CopyCheck::BeforeCopy, TimePrecision::TwoSeconds), c.changed);
    }
}

// The archive flag says whether a file changed since it was backed up, not whether its backup is there:
// a file renamed, moved or copied keeps a cleared flag but has no backup under its new name, or the
// backup of another file.
TEST_F(Comparison, ArchiveFlagNeverHidesAFileWithoutItsBackup)
{
    set().CopyOptions = QStringLiteral("OpArchive");
    struct Case
    {
        const char* what;
        std::optional<QByteArray> counterpart;
        qint64 counterpartTime;
        bool copied;
    };
    const Case cases[] = {
        {"no counterpart", std::nullopt, 0, true},
        {"its own copy", QByteArray("contents"), 1000, false},
        {"the copy of a file moved over it", QByteArray("other"), 900, true},
        {"a copy of the same size and another time", QByteArray("contents"), 1004, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dst());
        MakeFile(src("a"), "contents", 1000);
        clearArchive(src("a"));
        if (c.counterpart)
            MakeFile(dst("a"), *c.counterpart, c.counterpartTime);
        EXPECT_EQ(needsCopy("a"), c.copied);
    }
}

// Two-way, what each side did since the last run decides, not which is newer: a side that changed
// replaces one that did not, and when both changed the destination's version is kept before it is
// replaced. Without records only the newer file travels, and a file dated in the future never replaces
// another without keeping it.
TEST_F(Comparison, TwoWayDecidesByWhatChangedSinceTheLastRun)
{
    set().SyncOptions = QStringLiteral("srcAndDest");
    const qint64 future = clock.time.toSecsSinceEpoch() + 3600;
    constexpr qint64 Unchanged = 0;
    constexpr qint64 NewFile = -1; // replaced by a new file, as editors save, without the record
    // Which files hold the record of the last run; a record in the per-user store is lost when a drive
    // comes back under another device number.
    enum Records { NoRecords, SourceRecordOnly, BothRecords };
    const std::string conflictCopy = ".conflict-05122026-140307";
    struct Case
    {
        const char* what;
        Records records;
        qint64 sourceTime;
        qint64 destinationTime;
        bool copied;
        std::string keptAs;
        bool futureDated = false;
    };
    const Case cases[] = {
        {"only the source changed, to an older time", BothRecords, 900, Unchanged, true, ""},
        {"only the destination changed", BothRecords, Unchanged, 2000, false, ""},
        {"the destination replaced by a new file", BothRecords, Unchanged, NewFile, false, ""},
        {"both changed, the source older", BothRecords, 2000, 3000, true, conflictCopy},
        {"both changed, the source in the future", BothRecords, future, 2000, true, conflictCopy},
        {"the source replaced, the destination changed", BothRecords, NewFile, 2000, true, conflictCopy},
        {"the destination's record lost, the source changed", SourceRecordOnly, 2000, Unchanged, true, ""},
        {"the destination's record lost, both changed", SourceRecordOnly, 2000, 3000, true, conflictCopy},
        {"no records, the source newer", NoRecords, 2000, Unchanged, true, ""},
        {"no records, the source older", NoRecords, 900, 2000, false, ""},
        {"no records, the source in the future", NoRecords, future, 2000, true, conflictCopy, true},
    };
    const auto syncedPair = [&](bool sourceRecord, bool destinationRecord) {
        std::filesystem::remove_all(dst());
        MakeFile(src("a"), "as last synced", 1000);
        MakeFile(dst("a"), "as last synced", 1000);
        if (sourceRecord)
            File::GetFile(src("a")).RecordSynced();
        if (destinationRecord)
            File::GetFile(dst("a")).RecordSynced();
    };
    const auto edit = [](const std::string& path, const char* contents, qint64 time) {
        if (time == NewFile) {
            std::filesystem::remove(path);
            MakeFile(path, contents, 1500);
        } else if (time != Unchanged) {
            MakeFile(path, contents, time);
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(src("a"));
        syncedPair(c.records != NoRecords, c.records == BothRecords);
        edit(src("a"), "edited in the source", c.sourceTime);
        edit(dst("a"), "edited in the backup, longer", c.destinationTime);
        const QByteArray destinationVersion = ReadFile(dst("a"));
        SyncConflict conflict;
        EXPECT_EQ(NeedsCopy(clock, set(), src("a"), dst("a"), CopyCheck::BeforeCopy, TimePrecision::OneSecond,
                            &conflict),
                  c.copied);
        if (!c.keptAs.empty()) {
            EXPECT_EQ(conflict.keptAs, dst("a") + c.keptAs);
            EXPECT_EQ(ReadFile(dst("a") + c.keptAs), destinationVersion);
            EXPECT_EQ(conflict.futureDated, c.futureDated);
        } else {
            EXPECT_EQ(conflict.keptAs, "");
            EXPECT_EQ(FilesBelow(dst()), std::vector<std::string>{"a"});
        }
    }

    // A set that keeps copies keeps the conflicting version as one of them.
    set().flArchive = true;
    set().ArchiveOptions = QStringLiteral("OpSeq");
    syncedPair(true, true);
    MakeFile(dst("a"), "edited in the backup again", 4000);
    MakeFile(src("a"), "edited in the source again, longer", 3000);
    SyncConflict conflict;
    EXPECT_TRUE(NeedsCopy(clock, set(), src("a"), dst("a"), CopyCheck::BeforeCopy, TimePrecision::OneSecond,
                          &conflict));
    EXPECT_EQ(conflict.keptAs, dst("a.1"));
    EXPECT_EQ(ReadFile(dst("a.1")), "edited in the backup again");
}

TEST_F(Comparison, RightAfterACopyNothingIsDueAndASizeChangeOfTheCopyIsNoticed)
{
    CopyRefusals refusals;
    for (const char* criterion : {"OpDate", "OpFileSize"}) {
        set().CopyOptions = QString::fromLatin1(criterion);
        MakeFile(src("a"), "contents", 1500);
        ASSERT_GT(CopyFileWithProgress(context, refusals, src("a"), dst("a")), 0);
        EXPECT_FALSE(needsCopy("a", CopyCheck::AfterCopy)) << criterion;
    }
    // The copy carries the source's creation time, so a copy of another size is replaced even when
    // it looks newer.
    set().CopyOptions = QStringLiteral("OpDate");
    MakeFile(dst("b"), "x", 900);
    MakeFile(src("b"), "source", 1000);
    ASSERT_GT(CopyFileWithProgress(context, refusals, src("b"), dst("b")), 0);
    WriteFile(dst("b"), "changed in the backup");
    EXPECT_TRUE(needsCopy("b"));
}

TEST_F(Comparison, KeptCopiesTakeTheFirstFreeNumberOrTheirOwnNameInTheSubDirectory)
{
    set().flArchive = true;
    set().ArchiveOptions = QStringLiteral("OpSeq");
    MakeFile(src("report.doc"), "new", 2000);
    MakeFile(dst("report.doc"), "old", 1000);
    MakeFile(dst("report.doc.1"), "one");
    MakeFile(dst("report.doc.3"), "three");
    EXPECT_TRUE(needsCopy("report.doc"));
    EXPECT_EQ(ReadFile(dst("report.doc.2")), "old");
    EXPECT_FALSE(FileExists(dst("report.doc")));

    // No kept copy on the confirming call after the copy.
    MakeFile(dst("report.doc"), "copy", 1000);
    EXPECT_TRUE(needsCopy("report.doc", CopyCheck::AfterCopy));
    EXPECT_TRUE(FileExists(dst("report.doc")));
    EXPECT_FALSE(FileExists(dst("report.doc.4")));

    set().flArchiveSubDir = true;
    set().ArchiveSubDir = QStringLiteral("archive");
    ASSERT_TRUE(needsCopy("report.doc"));
    EXPECT_EQ(ReadFile(dst("archive/report.doc.1")), "copy");
    // Under its own name, the sub directory holds the version last replaced.
    set().ArchiveOptions = QStringLiteral("OpKeep");
    for (const char* version : {"first", "second"}) {
        MakeFile(dst("report.doc"), version, 1000);
        ASSERT_TRUE(needsCopy("report.doc"));
        EXPECT_EQ(ReadFile(dst("archive/report.doc")), version);
    }
}

// Stamps without leading zeros made 01:11:15, 11:01:15 and 11:11:05 one name; a kept copy then
// replaced the one before it.
TEST_F(Comparison, DateStampedKeptCopiesNeverReplaceEachOther)
{
    set().flArchive = true;
    set().ArchiveOptions = QStringLiteral("OpDate");
    MakeFile(src("report.doc"), "new", 2000);
    struct Case
    {
        QTime time;
        const char* keptCopy;
    };
    const Case cases[] = {
        {QTime(1, 11, 15), "report.doc.07122026-011115"},
        {QTime(11, 1, 15), "report.doc.07122026-110115"},
        {QTime(11, 11, 5), "report.doc.07122026-111105"},
        {QTime(11, 11, 5), "report.doc.07122026-111105.2"},
        {QTime(11, 11, 5), "report.doc.07122026-111105.3"},
        {QTime(0, 0, 0), "report.doc.07122026-000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keptCopy);
        clock.time = QDateTime(QDate(2026, 12, 7), c.time);
        MakeFile(dst("report.doc"), c.keptCopy, 1000);
        ASSERT_TRUE(needsCopy("report.doc"));
        EXPECT_EQ(ReadFile(dst(c.keptCopy)), c.keptCopy);
    }
    EXPECT_EQ(FilesBelow(dst()).size(), std::size(cases));
}

// What the delete scan leaves alone and a two-way set never carries across: the set's kept copies, and
// conflict copies whatever the set's naming.
TEST_F(Comparison, KeptAndConflictCopyNamesOfEveryVersionAreRecognised)
{
    set().flArchive = true;
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"OpDate", "report.doc.07122026-091115", true},
        {"OpDate", "report.doc.07122026-091115.2", true},
        {"OpDate", "report.doc.07122026-1437", true}, // older versions wrote no leading zeros
        {"OpDate", "report.doc.07122026-950", true},
        {"OpDate", "report.doc.07122026-91115", true},
        {"OpDate", "report.doc", false},
        {"OpDate", "report.doc.2", false},
        {"OpDate", "report.07122026-091115x", false},
        {"OpDate", "photo.2026-12-07", false},
        {"OpDate", ".07122026-091115", false},
        {"OpSeq", "report.doc.1", true},
        {"OpSeq", "report.doc.3000000", true},
        {"OpSeq", "report.doc", false},
        {"OpSeq", "report.doc.1a", false},
        {"OpSeq", "report.doc.conflict-07122026-091115", true},
        {"OpSeq", ".conflict-07122026-091115", false},
        {"OpSeq", "report.doc.conflict-07122026-91115", false},
        {"OpSeq", "report.doc.conflict-07122026-091115.txt", false},
    };
    for (const auto& [naming, name, kept] : cases) {
        SCOPED_TRACE(std::string(naming) + " " + name);
        set().ArchiveOptions = QString::fromLatin1(naming);
        const bool conflict = kept && std::string_view(name).find(".conflict-") != std::string_view::npos;
        EXPECT_EQ(IsKeptCopyName(set(), name), kept);
        EXPECT_EQ(IsConflictCopyName(name), conflict);
        EXPECT_EQ(IsKeptCopyName(BackupSet(), name), conflict) << "a set that keeps no copies";
    }
}

// The source's folder "old" is backed up into the kept-copies folder "old": a kept copy there would
// replace the backup of old/report.doc, so nothing is kept and nothing replaced.
TEST_F(Comparison, NothingIsKeptInAFolderThatIsTheBackupOfASourceFolder)
{
    set().flArchive = true;
    set().flArchiveSubDir = true;
    set().ArchiveSubDir = QStringLiteral("old");
    MakeFile(src("report.doc"), "new", 2000);
    MakeFile(dst("report.doc"), "previous version", 1000);
    MakeFile(src("old/report.doc"), "a file of the source's own folder", 1000);
    MakeFile(dst("old/report.doc"), "a file of the source's own folder", 1000);
    set().ArchiveOptions = QStringLiteral("OpSeq");
    try {
        needsCopy("report.doc");
        ADD_FAILURE() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), ErrPathFileAccess);
        EXPECT_TRUE(failure.path().starts_with(dst("old") + ": it is the backup of " + src("old")));
    }
    EXPECT_EQ(FilesBelow(dst()), (std::vector<std::string>{"old/report.doc", "report.doc"}));
    EXPECT_EQ(ReadFile(dst("old/report.doc")), "a file of the source's own folder");

    // A two-way set keeps its kept-copies folders on their sides: "old" on either side is one.
    set().SyncOptions = QStringLiteral("srcAndDest");
    set().ArchiveOptions = QStringLiteral("OpDate");
    ASSERT_TRUE(needsCopy("report.doc"));
    EXPECT_EQ(ReadFile(dst("old/report.doc.05122026-140307")), "previous version");
}

} // namespace
} // namespace kelvo::test
