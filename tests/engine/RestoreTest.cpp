#include "engine/Restore.h"

#include "EngineFixture.h"

// Restores copy versions from the backup (dst) back to the user's tree (src).
namespace kelvo::test {
namespace {

class Restore : public EngineTest
{
protected:
    const BackupSet& set() const { return configuration.sets[0]; }
    // The backup of relative after each of texts was backed up in turn, the older ones kept as runs keep
    // them.
    void backUpHistory(const std::string& relative, const std::vector<QByteArray>& texts, qint64 firstSecond)
    {
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (fs::exists(dst(relative))) {
                File old = File::GetFile(dst(relative));
                KeepExistingCopy(clock, set(), old);
                clock.time = clock.time.addSecs(60);
            }
            MakeFile(dst(relative), texts[i], firstSecond + qint64(i) * 100);
            chmod(dst(relative).c_str(), 0640);
        }
    }
    RestorePlace place(const std::string& path) const { return *ResolveRestorePlace(set(), path); }
    RestoreSummary restore(const std::string& path, int version, std::optional<std::string> to = {})
    {
        const RestorePlace where = place(path);
        return RestoreItems(observer, clock, set(), where.sides, *PlanRestore(set(), where, version), to,
                            [](const std::string&) {});
    }
};

// Every naming and place runs keep copies by is read back as versions of the file, newest first; any version
// comes back with its content, time and mode, the current file kept, nothing deleted. A folder comes back as
// it was at a point in time: each file at its newest version not newer than that.
TEST_F(Restore, EveryKeptCopyIsAVersionThatComesBackWhole)
{
    for (const auto& [naming, subDirectory] :
         {std::pair{"OpSeq", ""}, {"OpDate", ""}, {"OpSeq", "old"}, {"OpDate", "old"}, {"OpKeep", "old"}}) {
        SCOPED_TRACE(std::string(naming) + " " + subDirectory);
        const bool ownName = std::string_view(naming) == "OpKeep";
        KeepCopies(freshSet(), naming, subDirectory);
        fs::remove_all(home("elsewhere"));
        backUpHistory("docs/report.doc", {"first", "second", "third"}, 1'700'000'000);
        MakeFile(src("docs/report.doc"), "edited since", 1'700'000'500);
        // A file of the user's whose name has a kept copy's shape, and its backup.
        for (const std::string& root : {src(), dst()})
            MakeFile(root + "docs/report.doc.7", "a file of its own", 1'600'000'000);
        const std::vector<FileVersion> versions = VersionsOf(set(), place("docs/report.doc"));
        QList<QByteArray> numbered;
        for (const FileVersion& version : versions)
            numbered << QByteArray::number(version.number) + ReadFile(version.path());
        // Under its own name the folder of kept copies holds the last replaced version only.
        EXPECT_EQ(numbered, QList<QByteArray>({"1third", "2second", "3first"}).first(ownName ? 2 : 3));
        EXPECT_EQ(VersionsOf(set(), place("docs/report.doc.7")).size(), 1u);

        const Files backup = FilesBelow(dst(), true);
        const int oldest = int(versions.size());
        const RestoreSummary summary = restore("docs/report.doc", oldest);
        EXPECT_EQ(std::pair(summary.restored, summary.keptAside), std::pair(1, 1));
        EXPECT_EQ(ReadFile(src("docs/report.doc")), ReadFile(versions.back().path()));
        EXPECT_EQ(std::pair(File::GetFile(src("docs/report.doc")).DateLastModified(),
                            ModeOf(src("docs/report.doc"))),
                  std::pair(versions.back().state.modified, 0640u));
        EXPECT_EQ(FilesBelow(dst(), true), backup);
        const Files live = FilesBelow(src(), true);
        EXPECT_EQ(
            std::count_if(live.begin(), live.end(), [](auto& f) { return f.ends_with(" edited since"); }), 1)
            << "the edit is kept";
        EXPECT_EQ(restore("docs/report.doc", oldest).unchanged, 1);

        // Below another folder the set's naming keeps what is there, and the path below the source is kept.
        MakeFile(home("elsewhere/docs/report.doc"), "there before", 1'600'000'000);
        EXPECT_EQ(restore("docs/report.doc", 1, home("elsewhere/")).keptAside, 1);
        EXPECT_EQ(ReadFile(home("elsewhere/docs/report.doc")), "third");
        EXPECT_EQ(FilesBelow(home("elsewhere")).size(), 2u);

        KeepCopies(freshSet(), naming, subDirectory);
        backUpHistory("a.txt", {"a1", "a2"}, 1000);     // at 1000 and 1100
        backUpHistory("sub/b.txt", {"b1", "b2"}, 1050); // at 1050 and 1150
        backUpHistory("sub/later.txt", {"new"}, 2000);
        std::vector<qint64> seconds;
        for (const FolderVersion& point : FolderVersions(VersionsBelow(set(), place(""))))
            seconds.push_back(point.time.seconds);
        EXPECT_EQ(seconds, (std::vector<qint64>{2000, 1150, 1100, 1050, 1000}));
        restore(".", 3); // as at 1100
        EXPECT_EQ(ReadFile(src("a.txt")) + ReadFile(src("sub/b.txt")), "a2b1");
        EXPECT_FALSE(fs::exists(src("sub/later.txt")));
        EXPECT_EQ(PlanRestore(set(), place(""), 6), std::nullopt);
    }
}

// A Stop leaves the current file as it was and no partial copy; links planted in either tree are never
// followed; paths outside the set are refused.
TEST_F(Restore, StopsCleanlyFollowsNoLinkAndStaysInTheSet)
{
    KeepCopies(addSet(), "OpSeq");
    backUpHistory("big.bin", {QByteArray(12 * MiB, 'x')}, 1000);
    MakeFile(src("big.bin"), "current", 2000);
    observer.onYield = [this] {
        observer.stop = !observer.fileProgress.empty() && observer.fileProgress.back() > 0;
    };
    EXPECT_TRUE(restore("big.bin", 1).stopped);
    EXPECT_EQ(ReadFile(src("big.bin")), "current");
    EXPECT_EQ(FilesBelow(src()), Files{"big.bin"}) << "no partial copy, nothing left aside";
    observer.onYield = {};
    observer.stop = false;

    const std::string outside = home("outside");
    MakeFile(outside + "/secret.txt", "not the backup");
    fs::create_symlink(outside, dst("linked"));
    EXPECT_TRUE(VersionsOf(set(), place("linked/secret.txt")).empty());
    backUpHistory("dir/f.txt", {"f"}, 1000);
    fs::create_symlink(outside, src("dir"));
    EXPECT_EQ(restore("dir/f.txt", 1).errors, 1);
    EXPECT_FALSE(fs::exists(outside + "/f.txt"));

    for (const char* path : {"../x", "/etc/passwd", "a/../../x"})
        EXPECT_EQ(ResolveRestorePlace(set(), path), std::nullopt) << path;
    EXPECT_EQ(ResolveRestorePlace(set(), src("a/./b"))->relative, "a/b");
}

} // namespace
} // namespace kelvo::test
