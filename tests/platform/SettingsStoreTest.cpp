#include "platform/SettingsStore.h"

#include "platform/AttributeRecordStore.h"
#include "platform/Failure.h"
#include "platform/ReplacementFile.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

// Every sync of this program passes here first, so a test sees what is synced and when.
static std::function<void(int)> g_onFsync;

extern "C" int fsync(int fd)
{
    if (g_onFsync)
        g_onFsync(fd);
    static const auto next = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    return next(fd);
}

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;
const QString App = u"Kelvo"_s, Settings = u"Settings"_s;

// The text of the Failure that action raises, after its number; empty when it raises none.
std::string Raised(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Failure& failure) {
        return std::to_string(failure.number()) + " " + failure.what();
    }
    return {};
}

class SettingsStoreTest : public testing::Test
{
protected:
    SettingsStoreTest() { QDir().mkpath(store.directory()); }
    std::string file() const { return store.filePath(App).toStdString(); }
    void Save(const QString& key, const QString& value, SettingsStore* in = nullptr)
    {
        (in ? *in : store).SaveSetting(App, Settings, key, value);
    }
    QString Get(const QString& key) { return store.GetSetting(App, Settings, key, u"default"_s); }
    QStringList Beside(const QString& pattern) const
    {
        return QDir(store.directory())
            .entryList({pattern}, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    IsolatedHome home;
    SettingsStore store;
};

// The file lives where an absolute XDG_CONFIG_HOME says; a relative one counts as unset, and so for
// XDG_DATA_HOME. A save goes through a link to the file and keeps the file's permissions, less write for
// others; a read-only file and a file where the directory should be fail the save.
TEST_F(SettingsStoreTest, FindsItsFileWritesThroughALinkAndRefusesAReadOnlyFile)
{
    EXPECT_EQ(store.filePath(App), QString::fromStdString(home.configDir()) + u"/kelvo/Kelvo.conf"_s);
    const ScopedEnv config("XDG_CONFIG_HOME", "relative/config"), data("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(SettingsStore().directory(), QDir::homePath() + u"/.config/kelvo"_s);
    EXPECT_EQ(AttributeRecordStore::DefaultPath(), home.dir() / "home/.local/share/kelvo/attribute-records");
    const std::string target = home.dir() / "dotfiles/kelvo.conf";
    fs::create_directories(home.dir() / "dotfiles");
    fs::create_symlink("../../dotfiles/kelvo.conf", file());
    Save(u"K"_s, u"first"_s);
    fs::permissions(target, fs::perms(0646));
    Save(u"K"_s, u"second"_s);
    EXPECT_TRUE(fs::is_symlink(file()) && ModeOf(target) == 0644u);
    EXPECT_NE(ReadFile(target).indexOf("K = second"), -1);
    fs::permissions(target, fs::perms::owner_read);
    const std::string refused = Raised([&] { Save(u"K"_s, u"third"_s); });
    EXPECT_EQ(refused.rfind(std::to_string(ErrPermissionDenied) + " ", 0), 0u) << refused;
    EXPECT_NE(refused.find("read-only"), std::string::npos) << refused;
    EXPECT_EQ(Get(u"K"_s), u"second"_s);
    EXPECT_FALSE(ReplaceUserFile(QString::fromStdString(target + "/x"), "x", 0600).succeeded());
}

// A short section is searched in a row, a long one (the list of sets) through a table: both match keys in
// any letter case, and an overwrite keeps the key's place and first spelling. Texts a line-based format
// could take for syntax, escapes or line ends round-trip as a key, a value and a section name.
TEST_F(SettingsStoreTest, MatchesKeysInAnyLetterCaseAndRoundTripsEveryText)
{
    for (const int count : {3, 200}) {
        const QString section = u"Section%1"_s.arg(count);
        store.Update(App, [&](SettingsDocument& document) {
            for (int n = 0; n < count; ++n)
                document.SaveSetting(section, u"Key%1"_s.arg(n), u"first"_s);
        });
        store.Update(App, [&](SettingsDocument& document) {
            for (int n = count - 1; n >= 0; --n)
                document.SaveSetting(section.toUpper(), u"kEY%1"_s.arg(n), QString::number(n));
        });
        const SettingsDocument read = store.Read(App);
        const SettingPairs pairs = read.GetAllSettings(section);
        ASSERT_EQ(pairs.size(), count);
        for (int n = 0; n < count; ++n) {
            EXPECT_EQ(pairs[n], std::pair(u"Key%1"_s.arg(n), QString::number(n))) << count;
            EXPECT_EQ(read.FindSetting(section.toLower(), u"KEY%1"_s.arg(n)), QString::number(n)) << count;
        }
        EXPECT_EQ(read.FindSetting(section, u"Key%1"_s.arg(count)), std::nullopt);
    }

    const QString texts[] = {u""_s,
                             u" lead = [x]; #c "_s,
                             u"[Settings]"_s,
                             u"a\r\nb \\n\t\r"_s,
                             u"\"quoted\" 'single' \\ / ="_s,
                             QString(1, QChar(0)) + u"\u0001\u007f"_s,
                             u"\u00e9\u65e5\U0001F600\u00a0\u2028"_s,
                             QString(10000, u'x')};
    SettingPairs pairs;
    for (const QString& text : texts)
        pairs.append({QString::number(pairs.size()) + text, text});
    store.Update(App, [&](SettingsDocument& document) {
        for (const auto& [key, value] : pairs) {
            document.SaveSetting(Settings, key, value);
            document.SaveSetting(key, value + u'.', key);
        }
    });
    const SettingsDocument read = SettingsStore().Read(App);
    EXPECT_EQ(read.GetAllSettings(Settings), pairs);
    for (const auto& [key, value] : pairs)
        EXPECT_EQ(read.GetSetting(key, value + u'.'), key);
    Save(u"Empty"_s, QString());
    EXPECT_EQ(Get(u"EMPTY"_s), QString()) << "empty is not missing";
    EXPECT_EQ(FailureNumber([&] { store.DeleteSetting(App, u"Missing"_s); }), ErrInvalidArgument);
}

// CRLF lines parse; the temporary file of a killed save is never read, and the next save removes it. A
// file it cannot parse is set aside with one warning; the second: a character cut by a line end, whose
// next line starts with what would complete it.
TEST_F(SettingsStoreTest, ReadsWhatItCanAndSetsAsideAFileItCannotParse)
{
    WriteFile(file(), "[Settings]\r\nK = crlf\r\nEmpty =\r\n");
    QString temporary = QFile::decodeName(ReplacementNamePattern("Kelvo.conf").c_str());
    temporary = store.directory() + u'/' + temporary.replace(u'*', u"123"_s);
    WriteFile(temporary.toStdString(), "[Settings]\nK = half-written\n");
    EXPECT_EQ(store.GetAllSettings(App, Settings), (SettingPairs{{u"K"_s, u"crlf"_s}, {u"Empty"_s, u""_s}}));
    Save(u"Other"_s, u"x"_s);
    EXPECT_FALSE(QFile::exists(temporary));
    EXPECT_EQ(Get(u"K"_s), u"crlf"_s);

    for (const QByteArray contents :
         {"[Settings]\nK = \xff not UTF-8\n", "[Settings]\nK = \xc3\n\xa9 = v\n"}) {
        WriteFile(file(), contents);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Get(u"K"_s), u"default"_s);
        const std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_NE(warning.find("cannot be read"), std::string::npos) << warning;
        EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;
        const QStringList aside = Beside(u"Kelvo.conf.unreadable-*"_s);
        ASSERT_EQ(aside.size(), 1);
        EXPECT_EQ(ReadFile(store.directory().toStdString() + '/' + aside[0].toStdString()), contents);
        Save(u"K"_s, u"new"_s);
        EXPECT_EQ(Get(u"K"_s), u"new"_s);
        QDir(store.directory()).remove(aside[0]);
    }
}

// A pipe, a link to a device and a file beyond the limit are refused, by a read and a save, and left. The
// writer refuses exactly what the reader would: such a save fails, names the file and the limit, and
// leaves the stored file byte for byte as it was.
TEST_F(SettingsStoreTest, NeverWritesAFileItWouldRefuseToReadAndLeavesWhatItRefuses)
{
    for (const bool pipe : {true, false}) {
        pipe ? (void)mkfifo(file().c_str(), 0600) : fs::create_symlink("/dev/zero", file());
        const auto before = fs::symlink_status(file()).type();
        EXPECT_NE(Raised([&] { store.Read(App); }).find("not a regular file"), std::string::npos);
        EXPECT_NE(Raised([&] { Save(u"K"_s, u"v"_s); }).find("not a regular file"), std::string::npos);
        EXPECT_TRUE(fs::symlink_status(file()).type() == before && Beside(u"*unreadable*"_s).isEmpty());
        fs::remove(file());
    }
    Save(u"K"_s, QString(100, u'p'));
    const qint64 largest = ReadFile(file()).size() + 10;
    SettingsStore limited(store.directory(), largest);
    Save(u"K"_s, QString(110, u'p'), &limited);
    const QByteArray atTheLimit = ReadFile(file());
    ASSERT_EQ(atTheLimit.size(), largest);
    EXPECT_EQ(limited.GetSetting(App, Settings, u"K"_s).size(), 110);
    for (const qsizetype padding : {111, 100000}) {
        const std::string refused = Raised([&] { Save(u"K"_s, QString(padding, u'p'), &limited); });
        for (const std::string& part :
             {std::to_string(ErrPathFileAccess) + " ", file(), std::to_string(largest) + " bytes"})
            EXPECT_NE(refused.find(part), std::string::npos) << refused;
        EXPECT_EQ(ReadFile(file()), atTheLimit) << padding;
    }
    Save(u"K"_s, QString(111, u'p'));
    const QByteArray tooLarge = ReadFile(file());
    EXPECT_NE(Raised([&] { limited.Read(App); }).find("larger than"), std::string::npos);
    EXPECT_NE(Raised([&] { Save(u"Other"_s, u"v"_s, &limited); }).find("larger than"), std::string::npos);
    EXPECT_EQ(ReadFile(file()), tooLarge);
    EXPECT_EQ(Beside(u"*"_s), (QStringList{u"Kelvo.conf"_s, u"Kelvo.conf.lock"_s}));
}

// A crash right after the rename must find the new contents on the disk, not an empty file: the save
// syncs them while the old file still stands under the name.
TEST_F(SettingsStoreTest, SyncsTheNewContentsBeforeTheyTakeTheFilesName)
{
    Save(u"flReRun"_s, u"False"_s);
    const auto contents = [](const std::string& path) {
        QFile opened(QString::fromStdString(path)); // a directory, also synced, reads as nothing
        return opened.open(QIODevice::ReadOnly) ? opened.readAll() : QByteArray();
    };
    bool syncedUnderTheOldName = false;
    g_onFsync = [&](int fd) {
        if (contents("/proc/self/fd/" + std::to_string(fd)).contains("flReRun = True"))
            syncedUnderTheOldName = syncedUnderTheOldName || contents(file()).contains("flReRun = False");
    };
    Save(u"flReRun"_s, u"True"_s);
    g_onFsync = {};
    EXPECT_TRUE(syncedUnderTheOldName) << "the new contents were not synced while the old file stood";
}

TEST(SettingsStoreDiskFull, FailsAndLeavesTheOldFileAsItWas)
{
    TempDir dir;
    const std::optional<int> code = InPrivateTmpfs(dir.path(), 64 * 1024, [&] {
        SettingsStore store(QString::fromStdString(dir.path()));
        const auto save = [&](const QString& value) { store.SaveSetting(App, Settings, u"K"_s, value); };
        save(u"old"_s);
        const QByteArray before = ReadFile(dir / "Kelvo.conf");
        // Leave a little room, so the save's first write is short and a later one fails.
        WriteFile(dir / "spare", QByteArray(8192, 's'));
        std::ofstream(dir / "filler") << std::string(64 * 1024, 'f');
        unlink((dir / "spare").c_str());
        if (FailureNumber([&] { save(QString(60000, u'n')); }) != ErrDiskFull)
            return 1;
        const bool leftover = !QDir(store.directory()).entryList({u"*.kelvo-*"_s}, QDir::Hidden).isEmpty();
        return ReadFile(dir / "Kelvo.conf") != before ? 2 : leftover ? 3 : 0;
    });
    if (!code)
        GTEST_SKIP() << "user namespaces are not available";
    EXPECT_EQ(*code, 0) << "1 no disk-full failure, 2 old file changed, 3 temporary file left";
}

} // namespace
} // namespace kelvo::test
