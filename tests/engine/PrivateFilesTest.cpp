#include "EngineFixture.h"
#include "platform/AttributeRecordStore.h"
#include "platform/AutostartEntry.h"
#include "platform/InstanceLock.h"
#include "platform/SettingsStore.h"

namespace kelvo::test {
namespace {

// Another account that could write the configuration, the autostart entry, a lock or the records could
// make Kelvo back up, delete or start what it likes; the umask of whoever started Kelvo must not decide.
using PrivateFiles = EngineTest;

TEST_F(PrivateFiles, NothingKelvoMakesIsWritableByOthersWhateverTheUmask)
{
    const std::string config = m_home.configDir(), data = home("data"), runtime = home("runtime/new");
    const ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime);
    ASSERT_EQ(::chmod(config.c_str(), 0777), 0) << "a folder of other programs too";
    ASSERT_TRUE(fs::create_directories(data + "/kelvo") && ::chmod((data + "/kelvo").c_str(), 0777) == 0)
        << "Kelvo's own, left open before";
    ASSERT_EQ(::mkdir((config + "/autostart").c_str(), 0700), 0);
    const mode_t oldMask = ::umask(0); // no ASSERT until it is back
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
    EXPECT_EQ(ModeOf(config), 0777u) << "a shared folder is left as it was";
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

} // namespace
} // namespace kelvo::test
