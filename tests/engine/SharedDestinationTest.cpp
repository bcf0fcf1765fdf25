#include "EngineFixture.h"
#include "platform/AttributeRecordStore.h"
#include "platform/AutostartEntry.h"
#include "platform/DirectoryHandle.h"
#include "platform/InstanceLock.h"
#include "platform/SettingsStore.h"

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
        m_before = FilesBelow(victim(), true);
    }
    std::string victim(const std::string& relative = {}) const { return home("private/" + relative); }
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
        EXPECT_EQ(FilesBelow(victim(), true), m_before);
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
    EXPECT_EQ(FilesBelow(victim(), true), m_before);
    EXPECT_TRUE(fs::is_symlink(dst("new")) && fs::exists(dst("kept.txt")));
    EXPECT_TRUE(logged("Error : Path/File access error. Cannot access " + dst("new/")));
    EXPECT_EQ(statistics.errors, 1) << "the folders below it are never reached, so never counted";
}

// Stopped in the middle of a private folder, what is there is as private as its source; a folder gets its
// source's mode when the walk leaves it. Another account that could write the kept copies, the
// configuration, the autostart entry, a lock or the records could make Kelvo back up, delete or start what
// it likes: the umask of whoever started Kelvo must not decide.
TEST_F(SharedDestination, NothingKelvoMakesIsMoreOpenThanItsSourceOrWritableByOthersWhateverTheUmask)
{
    const std::string config = m_home.configDir(), data = home("data"), runtime = home("runtime/new");
    const ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime);
    ASSERT_EQ(::chmod(config.c_str(), 0777), 0) << "a folder of other programs too";
    ASSERT_TRUE(fs::create_directories(data + "/kelvo") && ::chmod((data + "/kelvo").c_str(), 0777) == 0)
        << "Kelvo's own, left open before";
    ASSERT_EQ(::mkdir((config + "/autostart").c_str(), 0700), 0);
    const mode_t oldMask = ::umask(0); // no ASSERT until it is back
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
    EXPECT_EQ(ModeOf(dst("secret")) & 077, 0u);
    observer.stop = false;
    observer.onYield = {};
    runBackup();
    // Files left open to all (an unreadable settings file is set aside) are closed when written again.
    SettingsStore store;
    const auto save = [&](const char* value) {
        store.SaveSetting(QStringLiteral("Kelvo"), QStringLiteral("Settings"), QStringLiteral("K"),
                          QString::fromLatin1(value));
    };
    save("v");
    for (const auto& [file, text] : {std::pair{"/kelvo/Kelvo.conf", "[Settings]\nK = \xff\n"},
                                     {"/autostart/kelvo.desktop", "[Desktop Entry]\n"}}) {
        MakeFile(config + file, text);
        EXPECT_EQ(::chmod((config + file).c_str(), 0666), 0);
    }
    testing::internal::CaptureStderr();
    store.GetSetting(QStringLiteral("Kelvo"), QStringLiteral("Settings"), QStringLiteral("K"));
    testing::internal::GetCapturedStderr();
    save("w");
    EXPECT_TRUE(AutostartEntry().setCommand(QStringLiteral("\"/usr/bin/kelvo\" /W")).succeeded());
    EXPECT_TRUE(InstanceLock().TryAcquire());
    const SetRunLock runLock(QStringLiteral("Docs"), observer, nullptr);
    AttributeRecordStore(AttributeRecordStore::DefaultPath()).Set({1, 2}, "archive", "1");
    configuration.settings.IntLogFileSize = 1;
    LogFile log(configuration.settings, clock, observer);
    log.Open();
    log.Close(false);
    ::umask(oldMask);
    ASSERT_FALSE(modesDuringTheRun.empty());
    EXPECT_EQ(modesDuringTheRun, std::vector<mode_t>(modesDuringTheRun.size(), 0));
    EXPECT_EQ(
        std::tuple(ModeOf(dst("secret")), ModeOf(dst("open")), ModeOf(dst("open/archive")), ModeOf(config)),
        std::tuple(0700u, 0755u, 0700u, 0777u))
        << "a shared folder is left as it was";
    std::vector<fs::path> made{LogFilePath(configuration.settings), runtime};
    for (const std::string& top : {config, data, runtime})
        made.insert(made.end(), fs::recursive_directory_iterator(top), {});
    for (const fs::path& path : made) {
        const mode_t mode = ModeOf(path);
        if (path == data + "/kelvo")
            EXPECT_EQ(mode, 0755u) << "closed to others";
        else if (fs::is_directory(path))
            EXPECT_EQ(mode, 0700u) << path;
        else
            EXPECT_EQ(mode, path.filename() == "kelvo.desktop" ? 0644u : mode & ~(S_IWGRP | S_IWOTH)) << path;
    }
}

// The run as an ordinary user ("nobody") while another account (uid 12345) owns what it planted: root sets
// the scene, since only root can give files away. Planted: a set-user-ID program, a folder open to all, a
// backup folder, a link for a destination.
TEST_F(SharedDestination, AnotherAccountsFilesNeverOpenTheUsersTree)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "needs root to act as two other accounts";
    constexpr uid_t User = 65534, Other = 12345;
    chmod(m_home.dir().path().c_str(), 0755);
    MakeFiles(dst(), {"tool", "open/notes.txt"}, 5000);
    MakeFile(src("secret/s.txt"), "private", 5000);
    fs::create_directories(dst("backup/secret"));
    fs::create_symlink(victim(), dst("elsewhere"));
    const std::tuple<std::string, uid_t, mode_t> owners[] = {{src(), User, 0755},
                                                             {dst(), User, 0755},
                                                             {home("log"), User, 0755},
                                                             {victim(), User, 0700},
                                                             {victim("id_rsa"), User, 0600},
                                                             {victim(".bashrc"), User, 0600},
                                                             {dst("tool"), Other, 04777},
                                                             {dst("open"), Other, 0777},
                                                             {dst("open/notes.txt"), Other, 0666},
                                                             {src("secret"), User, 0700},
                                                             {src("secret/s.txt"), User, 0600},
                                                             {dst("backup"), User, 0755},
                                                             {dst("backup/secret"), Other, 0777},
                                                             {dst("elsewhere"), Other, 0777}};
    for (const auto& [path, owner, mode] : owners) {
        ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
        ASSERT_TRUE(fs::is_symlink(path) || ::chmod(path.c_str(), mode) == 0) << path;
    }
    m_before = FilesBelow(victim(), true);
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
    EXPECT_EQ(FilesBelow(victim(), true), m_before);
}

} // namespace
} // namespace kelvo::test
