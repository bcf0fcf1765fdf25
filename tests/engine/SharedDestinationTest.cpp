#include "EngineFixture.h"
#include "platform/DirectoryHandle.h"
#include "platform/FileSystem.h"

#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

// Another account that can write into the destination plants links where the run will look, or
// swaps a folder for one while the run is busy. "private" stands for the user's own folder that the
// attacker points at: nothing in it may change.
namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

class SharedDestination : public EngineTest
{
protected:
    SharedDestination()
    {
        MakeFile(victim("id_rsa"), "secret key", 1000);
        MakeFile(victim(".bashrc"), "the user's own", 1000);
        chmod(victim().c_str(), 0700);
        m_before = snapshot();
    }

    std::string victim(const std::string& relative = {}) const
    {
        return m_home.dir() / ("private/" + relative);
    }

    // Every entry below the victim's folder with its mode and contents.
    std::vector<std::string> snapshot() const
    {
        std::vector<std::string> entries{std::to_string(ModeOf(victim()))};
        for (const auto& entry : fs::recursive_directory_iterator(victim())) {
            const std::string path = entry.path().string();
            entries.push_back(path + " " + std::to_string(ModeOf(path)) + " " +
                              (entry.is_regular_file() ? ReadFile(path).toStdString() : std::string()));
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    void expectVictimUntouched() const { EXPECT_EQ(snapshot(), m_before); }

    std::vector<std::string> m_before;
};

TEST_F(SharedDestination, PlantedLinksNeverLeadARunOutOfTheBackup)
{
    struct Case
    {
        const char* name;
        const char* sync;
        const char* plantedLink; // relative to the receiving side
        bool keepsCopiesInArchive;
        bool deletesRemovedFiles;
        bool linkReplaced; // by the folder, as an outdated file; else left and reported
    };
    // With deletes on, a link where the source has nothing is a removed file, kept rather than deleted:
    // it cannot be kept in the folder of kept copies that it stands for, so it stays.
    const Case cases[] = {
        {"a folder of the backup", "srcToDest", "sub", false, true, true},
        {"a folder deeper down", "srcToDest", "sub/deeper", false, false, true},
        {"the kept-copies folder", "srcToDest", "archive", true, false, false},
        {"the kept-copies folder, deletes on", "srcToDest", "archive", true, true, false},
        {"a folder of the source, written by a reverse set", "destToSrc", "sub", false, true, true},
        {"a folder of the other side of a two-way set", "srcAndDest", "sub", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BackupSet& set = freshSet();
        set.SyncOptions = QString::fromLatin1(c.sync);
        set.flRemovedDeletedFiles = c.deletesRemovedFiles;
        if (c.keepsCopiesInArchive)
            KeepCopies(set, "OpKeep", "archive");
        const bool reverse = set.SyncOptions == QLatin1String("destToSrc");
        const auto copying = [&](const std::string& relative) {
            return reverse ? dst(relative) : src(relative);
        };
        const auto receiving = [&](const std::string& relative) {
            return reverse ? src(relative) : dst(relative);
        };
        // The copying side holds a newer .bashrc and a sub folder whose backup must be written.
        MakeFile(copying(".bashrc"), "planted by the other account", 5000);
        MakeFile(copying("sub/b.txt"), "b");
        MakeFile(copying("sub/deeper/c.txt"), "c");
        MakeFile(receiving(".bashrc"), "older", 2000);
        const std::string link = receiving(c.plantedLink);
        fs::create_directories(fs::path(link).parent_path());
        fs::create_symlink(victim(), link);

        runBackup();

        expectVictimUntouched();
        if (c.linkReplaced) {
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(link)));
            EXPECT_EQ(statistics.errors, 0);
        } else {
            EXPECT_TRUE(fs::is_symlink(link)) << "the link is left as it is, and reported";
            EXPECT_GE(statistics.errors, 1);
        }
    }
}

TEST_F(SharedDestination, AFolderSwappedForALinkAsTheRunMakesItIsNeverEntered)
{
    addSet().flRemovedDeletedFiles = true;
    MakeFiles(src(), {"new/deeper/id_rsa", "new/other.txt", "kept.txt"});
    SetDirectoryCreatedHook([&](const std::string& path) {
        if (path == dst("new")) {
            fs::remove(path);
            fs::create_symlink(victim(), path);
        }
    });
    runBackup();
    SetDirectoryCreatedHook({});

    expectVictimUntouched();
    EXPECT_TRUE(fs::is_symlink(dst("new")));
    EXPECT_TRUE(fs::exists(dst("kept.txt")));
    EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + dst("new/")));
    EXPECT_EQ(statistics.errors, 1) << "the folders below it are never reached, so never counted";
}

TEST_F(SharedDestination, BackupFoldersAreNeverMoreOpenThanTheirSource)
{
    const mode_t oldMask = umask(0);
    KeepCopies(addSet(), "OpSeq", "archive");
    MakeFile(src("secret/a.txt"), "a", 5000);
    MakeFile(src("secret/b.txt"), "b", 5000);
    MakeFile(src("open/c.txt"), "c", 5000);
    MakeFile(dst("open/c.txt"), "older", 1000);
    chmod(src("secret").c_str(), 0700);
    chmod(src("open").c_str(), 0755);

    // Stopped in the middle of the private folder: what is there is as private as its source.
    std::vector<mode_t> modesDuringTheRun;
    observer.onYield = [&] {
        if (fs::exists(dst("secret")))
            modesDuringTheRun.push_back(ModeOf(dst("secret")));
        observer.stop = fs::exists(dst("secret/a.txt"));
    };
    runBackup();
    ASSERT_FALSE(modesDuringTheRun.empty());
    for (const mode_t mode : modesDuringTheRun)
        EXPECT_EQ(mode & 077, 0u);
    EXPECT_EQ(ModeOf(dst("secret")) & 077, 0u);

    observer.stop = false;
    observer.onYield = {};
    runBackup();
    EXPECT_EQ(ModeOf(dst("secret")), 0700u);
    EXPECT_EQ(ModeOf(dst("open")), 0755u) << "a folder gets its source's mode when the walk leaves it";
    EXPECT_EQ(ModeOf(dst("open/archive")), 0700u) << "kept copies are made private whatever the umask";
    umask(oldMask);
}

// The run as an ordinary user ("nobody") while another account (uid 12345) owns what it planted: root
// sets the scene, since only root can give files away.
TEST_F(SharedDestination, AnotherAccountsFilesNeverOpenTheUsersTree)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "needs root to act as two other accounts";
    constexpr uid_t User = 65534;
    constexpr uid_t Other = 12345;
    const auto own = [](const std::string& path, uid_t owner, mode_t mode) {
        ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
        if (!fs::is_symlink(path)) {
            ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
        }
    };
    chmod(m_home.dir().path().c_str(), 0755);
    for (const char* folder : {"src", "dst", "log", "private"})
        own(m_home.dir() / folder, User, folder == std::string("private") ? 0700 : 0755);
    own(victim("id_rsa"), User, 0600);
    own(victim(".bashrc"), User, 0600);
    m_before = snapshot();
    // Planted in the destination: a set-user-ID program, and a folder open to all.
    MakeFile(dst("tool"), "#!/bin/sh\n", 5000);
    own(dst("tool"), Other, 04777);
    MakeFile(dst("open/notes.txt"), "n", 5000);
    own(dst("open"), Other, 0777);
    own(dst("open/notes.txt"), Other, 0666);
    // A folder of the backup made by the other account, and a link in place of a second destination.
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
        BackupSet& intoForeignFolder = addSet(QStringLiteral("Foreign"));
        intoForeignFolder.DestDir = QString::fromStdString(dst("backup"));
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
    EXPECT_EQ(code, 0)
        << "1 no other user, 2 the other account's modes reached the source, 3 the backup went "
           "into the other account's folder, 4 not said";
    expectVictimUntouched();
}

} // namespace
} // namespace kelvo::test
