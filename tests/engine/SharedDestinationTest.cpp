#include "EngineFixture.h"
#include "platform/DirectoryHandle.h"

#include <grp.h>

// Another account that can write into the destination plants links where the run will look, or swaps a
// folder for one while the run is busy. "private" stands for the user's own folder that the attacker
// points at: nothing in it may change.
namespace kelvo::test {
namespace {

class SharedDestination : public EngineTest
{
protected:
    SharedDestination()
    {
        MakeFiles(victim(), {"id_rsa", ".bashrc"}, 1000);
        chmod(victim().c_str(), 0700);
        m_before = snapshot();
    }
    std::string victim(const std::string& relative = {}) const { return home("private/" + relative); }
    // Every entry below the victim's folder with its mode and contents.
    Files snapshot() const
    {
        Files entries{std::to_string(ModeOf(victim()))};
        for (const auto& entry : fs::recursive_directory_iterator(victim())) {
            const std::string path = entry.path().string();
            entries.push_back(path + " " + std::to_string(ModeOf(path)) + " " +
                              (entry.is_regular_file() ? ReadFile(path).toStdString() : std::string()));
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }
    Files m_before;
};

// Where the source has a folder, the link is its outdated version, replaced; else it stays and is
// reported (a removed file cannot be kept in the kept-copies folder it stands for).
TEST_F(SharedDestination, PlantedLinksNeverLeadARunOutOfTheBackup)
{
    // sync, planted link (relative to the receiving side), keeps copies in "archive", deletes, replaced
    const std::tuple<const char*, const char*, bool, bool, bool> cases[] = {
        {"srcToDest", "sub", false, true, true},      {"srcToDest", "sub/deeper", false, false, true},
        {"srcToDest", "archive", true, false, false}, {"srcToDest", "archive", true, true, false},
        {"destToSrc", "sub", false, true, true},      {"srcAndDest", "sub", false, false, false},
    };
    for (const auto& [sync, planted, keeps, deletes, replaced] : cases) {
        SCOPED_TRACE(std::string(sync) + " " + planted + (deletes ? " deletes" : ""));
        BackupSet& set = freshSet(sync, deletes);
        if (keeps)
            KeepCopies(set, "OpKeep", "archive");
        const bool reverse = set.SyncOptions == QLatin1String("destToSrc");
        const std::string copying = reverse ? dst() : src(), receiving = reverse ? src() : dst();
        // The copying side holds a newer .bashrc and a sub folder whose backup must be written.
        MakeFile(copying + ".bashrc", "planted by the other account", 5000);
        MakeFiles(copying, {"sub/b.txt", "sub/deeper/c.txt"});
        MakeFile(receiving + ".bashrc", "older", 2000);
        const std::string link = receiving + planted;
        fs::create_directories(fs::path(link).parent_path());
        fs::create_symlink(victim(), link);
        runBackup();
        EXPECT_EQ(snapshot(), m_before);
        EXPECT_EQ(fs::is_directory(fs::symlink_status(link)), replaced);
        EXPECT_EQ(fs::is_symlink(link), !replaced);
        EXPECT_EQ(statistics.errors > 0, !replaced);
    }
}

TEST_F(SharedDestination, AFolderSwappedForALinkAsTheRunMakesItIsNeverEntered)
{
    freshSet("srcToDest", true);
    MakeFiles(src(), {"new/deeper/id_rsa", "new/other.txt", "kept.txt"});
    SetDirectoryCreatedHook([&](const std::string& path) {
        if (path == dst("new")) {
            fs::remove(path);
            fs::create_symlink(victim(), path);
        }
    });
    runBackup();
    SetDirectoryCreatedHook({});
    EXPECT_EQ(snapshot(), m_before);
    EXPECT_TRUE(fs::is_symlink(dst("new")) && fs::exists(dst("kept.txt")));
    EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + dst("new/")));
    EXPECT_EQ(statistics.errors, 1) << "the folders below it are never reached, so never counted";
}

// Stopped in the middle of a private folder, what is there is as private as its source; a folder gets
// its source's mode when the walk leaves it, and kept copies are private whatever the umask.
TEST_F(SharedDestination, BackupFoldersAreNeverMoreOpenThanTheirSource)
{
    const mode_t oldMask = umask(0);
    KeepCopies(addSet(), "OpSeq", "archive");
    MakeFiles(src(), {"secret/a.txt", "secret/b.txt", "open/c.txt"}, 5000);
    MakeFile(dst("open/c.txt"), "older", 1000);
    chmod(src("secret").c_str(), 0700);
    chmod(src("open").c_str(), 0755);
    std::vector<mode_t> modesDuringTheRun;
    observer.onYield = [&] {
        if (fs::exists(dst("secret")))
            modesDuringTheRun.push_back(ModeOf(dst("secret")) & 077);
        observer.stop = fs::exists(dst("secret/a.txt"));
    };
    runBackup();
    ASSERT_FALSE(modesDuringTheRun.empty());
    EXPECT_EQ(modesDuringTheRun, std::vector<mode_t>(modesDuringTheRun.size(), 0));
    EXPECT_EQ(ModeOf(dst("secret")) & 077, 0u);
    observer.stop = false;
    observer.onYield = {};
    runBackup();
    umask(oldMask);
    EXPECT_EQ(ModeOf(dst("secret")), 0700u);
    EXPECT_EQ(ModeOf(dst("open")), 0755u);
    EXPECT_EQ(ModeOf(dst("open/archive")), 0700u);
}

// The run as an ordinary user ("nobody") while another account (uid 12345) owns what it planted: root
// sets the scene, since only root can give files away.
TEST_F(SharedDestination, AnotherAccountsFilesNeverOpenTheUsersTree)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "needs root to act as two other accounts";
    constexpr uid_t User = 65534, Other = 12345;
    const auto own = [](const std::string& path, uid_t owner, mode_t mode) {
        ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
        if (!fs::is_symlink(path)) {
            ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
        }
    };
    chmod(m_home.dir().path().c_str(), 0755);
    for (const char* folder : {"src", "dst", "log", "private"})
        own(home(folder), User, folder == std::string("private") ? 0700 : 0755);
    own(victim("id_rsa"), User, 0600);
    own(victim(".bashrc"), User, 0600);
    m_before = snapshot();
    // Planted: a set-user-ID program, a folder open to all, a backup folder, a link for a destination.
    MakeFiles(dst(), {"tool", "open/notes.txt"}, 5000);
    own(dst("tool"), Other, 04777);
    own(dst("open"), Other, 0777);
    own(dst("open/notes.txt"), Other, 0666);
    MakeFile(src("secret/s.txt"), "private", 5000);
    own(src("secret"), User, 0700);
    own(src("secret/s.txt"), User, 0600);
    fs::create_directories(dst("backup/secret"));
    own(dst("backup"), User, 0755);
    own(dst("backup/secret"), Other, 0777);
    fs::create_symlink(victim(), dst("elsewhere"));
    own(dst("elsewhere"), Other, 0777);
    const int code = RunInChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(User) != 0 || setuid(User) != 0)
            return 1;
        configuration.sets.clear();
        addSet(QStringLiteral("Reverse")).SyncOptions = QStringLiteral("destToSrc");
        addSet(QStringLiteral("Foreign")).DestDir = QString::fromStdString(dst("backup"));
        addSet(QStringLiteral("Link")).DestDir = QString::fromStdString(dst("elsewhere"));
        runBackup();
        if (ModeOf(src("tool")) != 0755 || ModeOf(src("open")) != 0755 ||
            ModeOf(src("open/notes.txt")) != 0644)
            return 2;
        if (fs::exists(dst("backup/secret/s.txt")) || statistics.errors < 2)
            return 3;
        return logged("Error : " + dst("backup/secret/") +
                      " belongs to another account. Nothing is copied into it")
                   ? 0
                   : 4;
    });
    EXPECT_EQ(code, 0) << "1 no other user, 2 the other account's modes reached the source, 3 the backup "
                          "went into the other account's folder, 4 not said";
    EXPECT_EQ(snapshot(), m_before);
}

} // namespace
} // namespace kelvo::test
