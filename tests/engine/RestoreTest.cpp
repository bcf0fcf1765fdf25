#include "engine/Restore.h"

#include "engine/Comparison.h"
#include "engine/RunStopped.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace kelvo {
namespace {

namespace fs = std::filesystem;

class StepClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::fromSecsSinceEpoch(m_second); }
    void advance() { m_second += 60; }

private:
    qint64 m_second = 1'765'000'000;
};

class StoppingObserver final : public RunObserver
{
public:
    void statisticsChanged(const RunStatistics&) override {}
    void currentFileChanged(const QString&) override {}
    void fileProgressChanged(int percent) override { m_progressed = m_progressed || percent > 0; }
    void overallProgressChanged(int) override {}
    void copyActive(bool) override {}
    void reRunTimerEnabled(bool) override {}
    void screenSaverStep() override {}
    void letEventsRun() override {}
    bool stopRequested() const override { return m_stopOnProgress && m_progressed; }

    bool m_stopOnProgress = false;
    bool m_progressed = false;
};

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Writes text with a content time of second, as a past edit left it.
void Write(const fs::path& path, const std::string& text, qint64 second, mode_t mode = 0640)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    const timespec times[2] = {{second, 0}, {second, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    ::chmod(path.c_str(), mode);
}

std::set<std::string> FilesBelow(const fs::path& root)
{
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (!entry.is_directory())
            files.insert(fs::relative(entry.path(), root).string() + "=" + Read(entry.path()));
    return files;
}

struct Naming
{
    const char* name;
    KeptCopyNaming naming;
    bool subDirectory;
};

class RestoreTest : public ::testing::TestWithParam<Naming>
{
protected:
    RestoreTest()
    {
        m_set = NewBackupSet(QStringLiteral("S"));
        m_set.SourceDirFile = QString::fromStdString((root() / "live").string());
        m_set.DestDir = QString::fromStdString((root() / "backup").string());
        m_set.flArchive = true;
        m_set.ArchiveOptions = StoredText(GetParam().naming);
        m_set.flArchiveSubDir = GetParam().subDirectory;
        m_set.ArchiveSubDir = QStringLiteral("old");
        fs::create_directories(root() / "live");
    }

    fs::path root() const { return fs::path(m_dir.path().toStdString()); }
    fs::path live(const std::string& relative) const { return root() / "live" / relative; }
    fs::path backup(const std::string& relative) const { return root() / "backup" / relative; }

    // The backup of relative as runs leave it after each of texts was backed up in turn, the older
    // ones kept by the engine's own naming.
    void BackUpHistory(const std::string& relative, const std::vector<std::string>& texts, qint64 firstSecond)
    {
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (fs::exists(backup(relative))) {
                File old = File::GetFile(FileLocation(backup(relative).string()));
                KeepExistingCopy(m_clock, m_set, old);
                m_clock.advance();
            }
            Write(backup(relative), texts[i], firstSecond + static_cast<qint64>(i) * 100);
        }
    }

    RestorePlace Place(const std::string& path) const { return *ResolveRestorePlace(m_set, path); }

    RestoreSummary Restore(const std::string& path, int version, std::optional<std::string> to = std::nullopt)
    {
        const RestorePlace place = Place(path);
        m_reported.clear();
        return RestoreItems(m_observer, m_clock, m_set, place.sides, *PlanRestore(m_set, place, version), to,
                            [&](const std::string& line) { m_reported.push_back(line); });
    }

    QTemporaryDir m_dir;
    BackupSet m_set;
    StepClock m_clock;
    StoppingObserver m_observer;
    std::vector<std::string> m_reported;
};

// Every naming and place the engine keeps copies by is read back as versions of the file, newest first,
// and any version comes back with its content, time and mode, the current file kept, nothing deleted.
TEST_P(RestoreTest, EveryKeptCopyIsAVersionThatComesBackWhole)
{
    const bool ownName = GetParam().naming == KeptCopyNaming::OwnName;
    BackUpHistory("docs/report.doc", {"first", "second", "third"}, 1'700'000'000);
    Write(live("docs/report.doc"), "edited since", 1'700'000'500);
    // A file of the user's whose name has a kept copy's shape, and its backup.
    Write(live("docs/report.doc.7"), "a file of its own", 1'600'000'000);
    Write(backup("docs/report.doc.7"), "a file of its own", 1'600'000'000);

    const std::vector<FileVersion> versions = VersionsOf(m_set, Place("docs/report.doc"));
    // Under its own name the folder of kept copies holds the last replaced version only.
    const std::vector<std::string> expected = ownName ? std::vector<std::string>{"third", "second"}
                                                      : std::vector<std::string>{"third", "second", "first"};
    ASSERT_EQ(versions.size(), expected.size());
    for (std::size_t i = 0; i < versions.size(); ++i) {
        EXPECT_EQ(versions[i].number, static_cast<int>(i) + 1);
        EXPECT_EQ(Read(versions[i].path()), expected[i]) << versions[i].path();
    }
    EXPECT_EQ(VersionsOf(m_set, Place("docs/report.doc.7")).size(), 1u);

    const std::set<std::string> backupBefore = FilesBelow(root() / "backup");
    const RestoreSummary summary = Restore("docs/report.doc", static_cast<int>(expected.size()));
    EXPECT_EQ(summary.restored, 1);
    EXPECT_EQ(summary.keptAside, 1);
    EXPECT_EQ(Read(live("docs/report.doc")), expected.back());
    struct stat st = {};
    ASSERT_EQ(::stat(live("docs/report.doc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, versions.back().state.modified.seconds);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(FilesBelow(root() / "backup"), backupBefore);
    const std::set<std::string> liveFiles = FilesBelow(root() / "live");
    EXPECT_EQ(
        std::count_if(liveFiles.begin(), liveFiles.end(),
                      [](const std::string& f) { return f.find("=edited since") != std::string::npos; }),
        1)
        << "the edit is kept";
    EXPECT_EQ(Restore("docs/report.doc", static_cast<int>(expected.size())).unchanged, 1);

    // Below another folder the set's naming keeps what is there, and the path below the source is kept.
    const fs::path elsewhere = root() / "elsewhere";
    Write(elsewhere / "docs/report.doc", "there before", 1'600'000'000);
    EXPECT_EQ(Restore("docs/report.doc", 1, elsewhere.string() + "/").keptAside, 1);
    EXPECT_EQ(Read(elsewhere / "docs/report.doc"), "third");
    EXPECT_EQ(FilesBelow(elsewhere).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Namings, RestoreTest,
                         ::testing::Values(Naming{"NumberedBeside", KeptCopyNaming::Sequence, false},
                                           Naming{"StampedBeside", KeptCopyNaming::Date, false},
                                           Naming{"NumberedInFolder", KeptCopyNaming::Sequence, true},
                                           Naming{"StampedInFolder", KeptCopyNaming::Date, true},
                                           Naming{"OwnNameInFolder", KeptCopyNaming::OwnName, true}),
                         [](const auto& info) { return std::string(info.param.name); });

using FolderRestoreTest = RestoreTest;

// A folder comes back as it was at a point in time: each file at its newest version not newer than
// that, files made later left alone.
TEST_P(FolderRestoreTest, AFolderComesBackAsItWasAtAPointInTime)
{
    BackUpHistory("a.txt", {"a1", "a2"}, 1000);     // at 1000 and 1100
    BackUpHistory("sub/b.txt", {"b1", "b2"}, 1050); // at 1050 and 1150
    BackUpHistory("sub/later.txt", {"new"}, 2000);
    fs::create_directories(live(""));

    const std::vector<FolderVersion> points = FolderVersions(VersionsBelow(m_set, Place("")));
    std::vector<qint64> seconds;
    for (const FolderVersion& point : points)
        seconds.push_back(point.time.seconds);
    EXPECT_EQ(seconds, (std::vector<qint64>{2000, 1150, 1100, 1050, 1000}));
    EXPECT_EQ(points[2].files, 2);
    EXPECT_EQ(points[2].size, 4);

    Restore(".", 3); // as at 1100
    EXPECT_EQ(Read(live("a.txt")), "a2");
    EXPECT_EQ(Read(live("sub/b.txt")), "b1");
    EXPECT_FALSE(fs::exists(live("sub/later.txt")));
    EXPECT_EQ(PlanRestore(m_set, Place(""), 6), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Namings, FolderRestoreTest,
                         ::testing::Values(Naming{"Numbered", KeptCopyNaming::Sequence, false},
                                           Naming{"StampedInFolder", KeptCopyNaming::Date, true}),
                         [](const auto& info) { return std::string(info.param.name); });

using RestoreSafetyTest = RestoreTest;

// A Stop leaves the current file as it was and no partial copy; links planted in either tree are
// never followed; paths outside the set are refused.
TEST_P(RestoreSafetyTest, StopsCleanlyFollowsNoLinkAndStaysInTheSet)
{
    BackUpHistory("big.bin", {std::string(12 << 20, 'x')}, 1000);
    Write(live("big.bin"), "current", 2000);
    m_observer.m_stopOnProgress = true;
    EXPECT_TRUE(Restore("big.bin", 1).stopped);
    EXPECT_EQ(Read(live("big.bin")), "current");
    EXPECT_EQ(FilesBelow(root() / "live").size(), 1u) << "no partial copy, nothing left aside";
    m_observer.m_stopOnProgress = false;

    const fs::path outside = root() / "outside";
    Write(outside / "secret.txt", "not the backup", 1000);
    fs::create_symlink(outside, backup("linked"));
    EXPECT_TRUE(VersionsOf(m_set, Place("linked/secret.txt")).empty());

    BackUpHistory("dir/f.txt", {"f"}, 1000);
    fs::create_symlink(outside, live("dir"));
    const RestoreSummary summary = Restore("dir/f.txt", 1);
    EXPECT_EQ(summary.errors, 1);
    EXPECT_FALSE(fs::exists(outside / "f.txt"));

    for (const char* path : {"../x", "/etc/passwd", "a/../../x"})
        EXPECT_EQ(ResolveRestorePlace(m_set, path), std::nullopt) << path;
    EXPECT_EQ(ResolveRestorePlace(m_set, live("a/./b").string())->relative, "a/b");
}

INSTANTIATE_TEST_SUITE_P(Numbered, RestoreSafetyTest,
                         ::testing::Values(Naming{"Numbered", KeptCopyNaming::Sequence, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kelvo
