#include "EngineFixture.h"

namespace kelvo::test {
namespace {

class Comparison : public EngineTest
{
protected:
    Comparison() { addSet(); }
    BackupSet& set() { return configuration.sets[0]; }
    bool needsCopy(const std::string& name, CopyCheck check = CopyCheck::BeforeCopy,
                   TimePrecision precision = TimePrecision::OneSecond, SyncConflict* conflict = nullptr)
    {
        return NeedsCopy(clock, set(), src(name), dst(name), check, precision, conflict);
    }
    void setArchive(const std::string& path, bool on)
    {
        SetAttributesOf(path, on ? AttributesOf(path) | AttrArchive : AttributesOf(path) & ~AttrArchive);
    }
};

TEST_F(Comparison, OverwriteOffNeverReplacesAnExistingFile)
{
    MakeFile(src("a"), "new and longer", 2000);
    MakeFile(dst("a"), "old", 1000);
    MakeFile(src("b"), "b");
    setArchive(src("a"), true);
    set().flOverwrite = false;
    KeepCopies(set(), "OpSeq");
    for (const char* criterion : {"OpDate", "OpArchive", "OpFileSize"}) {
        set().CopyOptions = QString::fromLatin1(criterion);
        EXPECT_FALSE(needsCopy("a")) << criterion;
        EXPECT_TRUE(needsCopy("b")) << criterion << ": a missing destination is copied";
    }
    EXPECT_EQ(FilesBelow(dst()), Files{"a"});
}

// A change within the second of the last copy counts, unless the destination keeps whole seconds only;
// FAT keeps two seconds, measured to the nanosecond (1.5 s is not 2, though the whole seconds are 2 apart). A
// newer destination of another size, created apart from the source, is left alone; two-way, only the newer
// file travels, whatever the sizes say.
TEST_F(Comparison, DateCriterionToTheNanosecondAndTheTwoWayRule)
{
    constexpr auto One = TimePrecision::OneSecond, Two = TimePrecision::TwoSeconds;
    const std::tuple<timespec, timespec, TimePrecision, bool> cases[] = {
        {{2000, 0}, {1000, 0}, One, true},
        {{2000, 0}, {2000, 0}, One, false},
        {{2000, 500}, {2000, 250}, One, true},
        {{2000, 500}, {2000, 0}, One, false},
        {{2001, 0}, {2000, 0}, One, true},
        {{2001, 0}, {2000, 0}, Two, false},
        {{2002, 0}, {2000, 0}, Two, true},
        {{2002, 500000000}, {2000, 500000000}, Two, true},
        {{2001, 999999999}, {2000, 0}, Two, false},
        {{2002, 0}, {2000, 500000000}, Two, false},
        {{2003, 100000000}, {2001, 900000000}, Two, false},
        {{2000, 0}, {2002, 0}, Two, false}};
    for (const auto& c : cases) {
        const auto& [source, destination, precision, changed] = c;
        for (const auto& [path, time] : {std::pair{src("a"), source}, {dst("a"), destination}}) {
            MakeFile(path, "same");
            SetTime(path, time.tv_sec, time.tv_nsec);
        }
        EXPECT_EQ(needsCopy("a", CopyCheck::BeforeCopy, precision), changed) << &c - cases;
    }
    MakeFile(src("older"), "short", 1000);
    MakeFile(dst("older"), "much longer", 2000);
    EXPECT_FALSE(needsCopy("older"));
    set().SyncOptions = QStringLiteral("srcAndDest");
    for (const char* criterion : {"OpFileSize", "OpDate"}) {
        set().CopyOptions = QString::fromLatin1(criterion);
        EXPECT_FALSE(needsCopy("older")) << criterion;
    }
}

// The archive flag says whether a file changed since it was backed up, not whether its backup is there:
// a file renamed, moved or copied keeps a cleared flag but has no backup under its new name, or the
// backup of another file. Read-only says nothing.
TEST_F(Comparison, ArchiveFlagNeverHidesAFileWithoutItsBackup)
{
    set().CopyOptions = QStringLiteral("OpArchive");
    const std::tuple<const char*, QByteArray, qint64, bool> cases[] = {
        {"no counterpart", "", 0, true},
        {"its own copy", "contents", 1000, false},
        {"the copy of a file moved over it", "other", 900, true},
        {"a copy of the same size and another time", "contents", 1004, true}};
    for (const auto& [what, counterpart, counterpartTime, copied] : cases) {
        fs::remove_all(dst());
        MakeFile(src("a"), "contents", 1000);
        chmod(src("a").c_str(), 0444);
        setArchive(src("a"), false);
        if (counterpartTime != 0)
            MakeFile(dst("a"), counterpart, counterpartTime);
        EXPECT_EQ(needsCopy("a"), copied) << what;
        setArchive(src("a"), true);
        EXPECT_TRUE(needsCopy("a")) << what;
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
    constexpr qint64 Unchanged = 0, NewFile = -1; // NewFile: replaced without the record, as editors save
    // A record in the per-user store is lost when a drive comes back under another device number.
    enum Records { NoRecords, SourceRecordOnly, BothRecords };
    const std::tuple<const char*, Records, qint64, qint64, bool, bool> cases[] = {
        {"only the source changed, to an older time", BothRecords, 900, Unchanged, true, false},
        {"only the destination changed", BothRecords, Unchanged, 2000, false, false},
        {"the destination replaced by a new file", BothRecords, Unchanged, NewFile, false, false},
        {"both changed, the source older", BothRecords, 2000, 3000, true, true},
        {"both changed, the source in the future", BothRecords, future, 2000, true, true},
        {"the source replaced, the destination changed", BothRecords, NewFile, 2000, true, true},
        {"the destination's record lost, the source changed", SourceRecordOnly, 2000, Unchanged, true, false},
        {"the destination's record lost, both changed", SourceRecordOnly, 2000, 3000, true, true},
        {"no records, the source newer", NoRecords, 2000, Unchanged, true, false},
        {"no records, the source older", NoRecords, 900, 2000, false, false},
        {"no records, the source in the future", NoRecords, future, 2000, true, true}};
    const auto syncedPair = [&](Records records) {
        fs::remove_all(dst());
        fs::remove(src("a"));
        for (const std::string& path : {src("a"), dst("a")}) {
            MakeFile(path, "as last synced", 1000);
            if (records == BothRecords || (records == SourceRecordOnly && path == src("a")))
                File::GetFile(path).RecordSynced();
        }
    };
    const auto edit = [](const std::string& path, const char* contents, qint64 time) {
        if (time == NewFile)
            fs::remove(path);
        if (time != Unchanged)
            MakeFile(path, contents, time == NewFile ? 1500 : time);
    };
    const std::string conflictCopy = "a.conflict-05122026-140307";
    for (const auto& [what, records, sourceTime, destinationTime, copied, kept] : cases) {
        syncedPair(records);
        edit(src("a"), "edited in the source", sourceTime);
        edit(dst("a"), "edited in the backup, longer", destinationTime);
        const QByteArray destinationVersion = ReadFile(dst("a"));
        SyncConflict conflict;
        EXPECT_EQ(needsCopy("a", CopyCheck::BeforeCopy, TimePrecision::OneSecond, &conflict), copied) << what;
        EXPECT_EQ(std::pair(conflict.keptAs, conflict.futureDated),
                  std::pair(kept ? dst(conflictCopy) : "", kept && records == NoRecords))
            << what;
        EXPECT_EQ(FilesBelow(dst()), Files{kept ? conflictCopy : "a"}) << what;
        EXPECT_EQ(ReadFile(dst(kept ? conflictCopy : "a")), destinationVersion) << what;
    }
    // A set that keeps copies keeps the conflicting version as one of them.
    KeepCopies(set(), "OpSeq");
    syncedPair(BothRecords);
    edit(dst("a"), "edited in the backup again", 4000);
    edit(src("a"), "edited in the source again, longer", 3000);
    SyncConflict conflict;
    EXPECT_TRUE(needsCopy("a", CopyCheck::BeforeCopy, TimePrecision::OneSecond, &conflict));
    EXPECT_EQ(conflict.keptAs, dst("a.1"));
    EXPECT_EQ(ReadFile(dst("a.1")), "edited in the backup again");
}

// The copy carries the source's creation time, so a copy of another size is replaced even when it
// looks newer.
TEST_F(Comparison, RightAfterACopyNothingIsDueAndASizeChangeOfTheCopyIsNoticed)
{
    CopyRefusals refusals;
    MakeFile(dst("b"), "x", 900);
    MakeFiles(src(), {"a", "b"}, 1500);
    for (const char* criterion : {"OpDate", "OpFileSize"}) {
        set().CopyOptions = QString::fromLatin1(criterion);
        ASSERT_GT(CopyFileWithProgress(context, refusals, src("a"), dst("a")), 0);
        EXPECT_FALSE(needsCopy("a", CopyCheck::AfterCopy)) << criterion;
    }
    ASSERT_GT(CopyFileWithProgress(context, refusals, src("b"), dst("b")), 0);
    WriteFile(dst("b"), "changed in the backup");
    EXPECT_TRUE(needsCopy("b"));
}

// The first free number; under its own name (OpKeep) the sub directory holds the version last replaced.
// Stamps without leading zeros made 01:11:15, 11:01:15 and 11:11:05 one name; a kept copy then replaced
// the one before it.
TEST_F(Comparison, KeptCopiesNeverReplaceEachOther)
{
    KeepCopies(set(), "OpSeq");
    MakeFile(src("report.doc"), "new", 2000);
    MakeFiles(dst(), {"report.doc", "report.doc.1", "report.doc.3"}, 1000);
    EXPECT_TRUE(needsCopy("report.doc"));
    EXPECT_EQ(std::pair(ReadFile(dst("report.doc.2")), FileExists(dst("report.doc"))),
              std::pair(QByteArray("report.doc"), false));
    MakeFile(dst("report.doc"), "copy", 1000);
    EXPECT_TRUE(needsCopy("report.doc", CopyCheck::AfterCopy));
    EXPECT_EQ(FilesBelow(dst()).size(), 4u) << "no kept copy on the confirming call after the copy";
    KeepCopies(set(), "OpKeep", "archive");
    for (const char* version : {"first", "second"}) {
        MakeFile(dst("report.doc"), version, 1000);
        ASSERT_TRUE(needsCopy("report.doc"));
        EXPECT_EQ(ReadFile(dst("archive/report.doc")), version);
    }
    fs::remove_all(dst());
    KeepCopies(set(), "OpDate");
    const char* stamps[] = {"011115", "110115", "111105", "111105.2", "111105.3", "000000"};
    for (const std::string stamp : stamps) {
        clock.time =
            QDateTime(QDate(2026, 12, 7), QTime::fromString(QString::fromStdString(stamp.substr(0, 6)),
                                                            QStringLiteral("hhmmss")));
        const std::string keptCopy = "report.doc.07122026-" + stamp;
        MakeFile(dst("report.doc"), QByteArray::fromStdString(keptCopy), 1000);
        ASSERT_TRUE(needsCopy("report.doc"));
        EXPECT_EQ(ReadFile(dst(keptCopy)).toStdString(), keptCopy);
    }
    EXPECT_EQ(FilesBelow(dst()).size(), std::size(stamps));
}

// What the delete scan leaves alone and a two-way set never carries across: the set's kept copies, and
// conflict copies whatever the set's naming. Older versions wrote stamps without leading zeros.
TEST_F(Comparison, KeptAndConflictCopyNamesOfEveryVersionAreRecognised)
{
    set().flArchive = true;
    const std::tuple<const char*, Files, Files> cases[] = {
        {"OpDate",
         {"a.doc.07122026-091115", "a.doc.07122026-091115.2", "a.doc.07122026-1437", "a.doc.07122026-950"},
         {"a.doc", "a.doc.2", "a.07122026-091115x", "photo.2026-12-07", ".07122026-091115"}},
        {"OpSeq",
         {"a.doc.1", "a.doc.3000000", "a.doc.conflict-07122026-091115"},
         {"a.doc.1a", ".conflict-07122026-091115", "a.doc.conflict-07122026-91115",
          "a.doc.conflict-07122026-091115.txt"}}};
    for (const auto& [naming, kept, others] : cases) {
        set().ArchiveOptions = QString::fromLatin1(naming);
        for (const std::string& name : kept) {
            const bool conflict = name.find(".conflict-") != std::string::npos;
            EXPECT_EQ(std::tuple(IsKeptCopyName(set(), name), IsConflictCopyName(name),
                                 IsKeptCopyName(BackupSet(), name)),
                      std::tuple(true, conflict, conflict))
                << name;
        }
        for (const std::string& name : others)
            EXPECT_FALSE(IsKeptCopyName(set(), name) || IsConflictCopyName(name) ||
                         IsKeptCopyName(BackupSet(), name))
                << name;
    }
}

} // namespace
} // namespace kelvo::test
