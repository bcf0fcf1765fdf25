#include "EngineFixture.h"
#include "engine/LogFile.h"
#include "engine/SetRunLock.h"
#include "platform/AttributeRecordStore.h"
#include "platform/AutostartEntry.h"
#include "platform/InstanceLock.h"
#include "platform/SettingsStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

class ScopedUmask final
{
public:
    explicit ScopedUmask(mode_t mask) : m_old(::umask(mask)) {}
    ~ScopedUmask() { ::umask(m_old); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t m_old;
};

// Another account that could write the configuration, the autostart entry, a lock or the records could
// make Kelvo back up, delete or start what it likes; the umask of whoever started Kelvo must not decide.
TEST(PrivateFiles, NothingKelvoMakesIsWritableByOthersWhateverTheUmask)
{
    IsolatedHome home;
    const std::string config = home.configDir();
    const std::string data = home.dir() / "data";
    const std::string runtime = home.dir() / "runtime/new";
    const ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime);
    const ScopedUmask umask(0);
    ASSERT_EQ(::chmod(config.c_str(), 0777), 0) << "a folder of other programs too";
    ASSERT_EQ(::mkdir((data + "/kelvo").c_str(), 0777), 0) << "Kelvo's own, left open before";

    SettingsStore store;
    store.SaveSetting(QStringLiteral("Kelvo"), QStringLiteral("Settings"), QStringLiteral("K"),
                      QStringLiteral("v"));
    // A file an editor left open to all and that cannot be read is set aside, and closed.
    WriteFile(config + "/kelvo/Kelvo.conf", "[Settings]\nK = \xff\n");
    ASSERT_EQ(::chmod((config + "/kelvo/Kelvo.conf").c_str(), 0666), 0);
    testing::internal::CaptureStderr();
    store.GetSetting(QStringLiteral("Kelvo"), QStringLiteral("Settings"), QStringLiteral("K"));
    testing::internal::GetCapturedStderr();
    store.SaveSetting(QStringLiteral("Kelvo"), QStringLiteral("Settings"), QStringLiteral("K"),
                      QStringLiteral("w"));
    // An entry an older version left open to all is closed when it is written again.
    ASSERT_EQ(::mkdir((config + "/autostart").c_str(), 0700), 0);
    WriteFile(config + "/autostart/kelvo.desktop", "[Desktop Entry]\n");
    ASSERT_EQ(::chmod((config + "/autostart/kelvo.desktop").c_str(), 0666), 0);
    ASSERT_TRUE(AutostartEntry().setCommand(QStringLiteral("\"/usr/bin/kelvo\" /W")).succeeded());
    ASSERT_TRUE(InstanceLock().TryAcquire());
    RecordingObserver observer;
    const SetRunLock runLock(QStringLiteral("Docs"), observer, nullptr);
    AttributeRecordStore(AttributeRecordStore::DefaultPath()).Set({1, 2}, "archive", "1");
    GeneralSettings settings;
    settings.StrLogFileDir = QString::fromStdString(home.dir() / "home");
    settings.flLogFileOn = true;
    settings.IntLogFileSize = 1;
    const FixedClock clock;
    LogFile log(settings, clock, observer);
    log.Open();
    log.Close(false);

    EXPECT_EQ(ModeOf(config), 0777u) << "a shared folder is left as it was";
    std::vector<fs::path> made{LogFilePath(settings), runtime};
    for (const std::string& top : {config, data, runtime})
        made.insert(made.end(), fs::recursive_directory_iterator(top), {});
    for (const fs::path& path : made) {
        SCOPED_TRACE(path.string());
        const mode_t mode = ModeOf(path);
        if (path == data + "/kelvo")
            EXPECT_EQ(mode, 0755u) << "closed to others";
        else if (fs::is_directory(path))
            EXPECT_EQ(mode, 0700u);
        else if (path.filename() == "kelvo.desktop")
            EXPECT_EQ(mode, 0644u);
        else
            EXPECT_EQ(mode & (S_IWGRP | S_IWOTH), 0u);
    }
}

} // namespace
} // namespace kelvo::test
