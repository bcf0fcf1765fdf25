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
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

// Every sync of this program passes here first, so a test sees what is synced and when.
namespace {
std::function<void(int)> g_onFsync;
}

extern "C" int fsync(int fd)
{
    if (g_onFsync)
        g_onFsync(fd);
    static const auto next = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    return next(fd);
}

namespace kelvo {
namespace {

const QString App = u"Kelvo"_s;

struct Raised
{
    int number = 0;
    std::string text;
};

Raised RaisedBy(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Failure& failure) {
        return {failure.number(), failure.what()};
    }
    return {};
}

class SettingsStoreTest : public testing::Test
{
protected:
    SettingsStoreTest() { QDir().mkpath(store.directory()); }
    std::string file() const { return store.filePath(App).toStdString(); }

    test::IsolatedHome home;
    SettingsStore store;
};

TEST_F(SettingsStoreTest, MatchesNamesWithoutCaseKeepsFirstWrittenOrderAndFollowsXdgConfigHome)
{
    store.SaveSetting(App, u"Sets"_s, u"Zeta"_s, u"1"_s);
    store.SaveSetting(App, u"Sets"_s, u"alpha"_s, QString());
    store.SaveSetting(App, u"SETS"_s, u"ZETA"_s, u"3"_s);
    const SettingPairs expected{{u"Zeta"_s, u"3"_s}, {u"alpha"_s, u""_s}};
    EXPECT_EQ(SettingsStore().GetAllSettings(App, u"sets"_s), expected);
    EXPECT_EQ(store.GetSetting(App, u"sEtS"_s, u"ALPHA"_s, u"default"_s), QString())
        << "empty is not missing";
    EXPECT_EQ(store.GetSetting(App, u"Sets"_s, u"Missing"_s, u"default"_s), u"default"_s);
    EXPECT_EQ(RaisedBy([&] { store.DeleteSetting(App, u"Settings"_s); }).number, ErrInvalidArgument);

    EXPECT_EQ(store.filePath(App), QString::fromStdString(home.configDir()) + u"/kelvo/Kelvo.conf"_s);
    for (const char* ignored : {"", "relative/config"}) {
        const test::ScopedEnv xdg("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(SettingsStore().directory(), QDir::homePath() + u"/.config/kelvo"_s) << ignored;
    }
    const test::ScopedEnv relativeData("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(AttributeRecordStore::DefaultPath(),
              QDir::homePath().toStdString() + "/.local/share/kelvo/attribute-records");
}

// A short section is searched in a row, a long one (the list of sets) through a table: both match keys
// in any letter case, and an overwrite keeps the key's place and first spelling, before and after a
// save and a read.
TEST_F(SettingsStoreTest, ShortAndLongSectionsMatchKeysAlike)
{
    for (const int count : {3, 200}) {
        SCOPED_TRACE(count);
        const QString section = u"Section"_s + QString::number(count);
        store.Update(App, [&](SettingsDocument& document) {
            for (int n = 0; n < count; ++n)
                document.SaveSetting(section, u"Key"_s + QString::number(n), u"first"_s);
        });
        store.Update(App, [&](SettingsDocument& document) {
            for (int n = count - 1; n >= 0; --n)
                document.SaveSetting(section.toUpper(), u"kEY"_s + QString::number(n), QString::number(n));
        });
        const SettingsDocument read = store.Read(App);
        const SettingPairs pairs = read.GetAllSettings(section);
        ASSERT_EQ(pairs.size(), count);
        for (int n = 0; n < count; ++n) {
            EXPECT_EQ(pairs[n].first, u"Key"_s + QString::number(n));
            EXPECT_EQ(pairs[n].second, QString::number(n));
            EXPECT_EQ(read.FindSetting(section.toLower(), u"KEY"_s + QString::number(n)), QString::number(n));
        }
        EXPECT_EQ(read.FindSetting(section, u"Key"_s + QString::number(count)), std::nullopt);
    }
}

TEST_F(SettingsStoreTest, ReadsCrLfLinesAndNeverReadsTheTemporaryFileOfAKilledSave)
{
    test::WriteFile(file(), "[Settings]\r\nK = crlf\r\nEmpty =\r\n");
    QString temporary = QFile::decodeName(ReplacementNamePattern("Kelvo.conf").c_str());
    temporary = store.directory() + u'/' + temporary.replace(u'*', u"123"_s);
    test::WriteFile(temporary.toStdString(), "[Settings]\nK = half-written\n");

    EXPECT_EQ(store.GetAllSettings(App, u"Settings"_s),
              (SettingPairs{{u"K"_s, u"crlf"_s}, {u"Empty"_s, u""_s}}));
    store.SaveSetting(App, u"Settings"_s, u"Other"_s, u"x"_s);
    EXPECT_FALSE(QFile::exists(temporary));
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s), u"crlf"_s);
}

TEST_F(SettingsStoreTest, RefusesSpecialAndHugeFilesAndLeavesThem)
{
    const std::function<void()> makers[] = {
        [&] { ASSERT_EQ(mkfifo(file().c_str(), 0600), 0); },
        [&] { std::filesystem::create_symlink("/dev/zero", file()); },
        [&] {
            test::WriteFile(file(), "[Settings]\n");
            std::filesystem::resize_file(file(), 65 * 1024 * 1024);
        },
    };
    for (const auto& make : makers) {
        SCOPED_TRACE(&make - makers);
        std::filesystem::remove(file());
        make();
        const auto before = std::filesystem::symlink_status(file()).type();
        const std::string reason = &make == &makers[2] ? "64 MiB" : "regular";
        EXPECT_NE(RaisedBy([&] { store.Read(App); }).text.find(reason), std::string::npos);
        const Raised saved = RaisedBy([&] { store.SaveSetting(App, u"Settings"_s, u"K"_s, u"v"_s); });
        EXPECT_NE(saved.text.find(reason), std::string::npos) << saved.text;
        EXPECT_EQ(std::filesystem::symlink_status(file()).type(), before);
        EXPECT_EQ(QDir(store.directory()).entryList({u"*unreadable*"_s}, QDir::AllEntries | QDir::System),
                  QStringList());
    }
}

// The reader takes a file of exactly the largest size and refuses one byte more, so the writer must
// refuse exactly what the reader would: such a save fails, names the file and the limit, and leaves
// the stored file byte for byte as it was.
TEST_F(SettingsStoreTest, NeverWritesAFileItWouldRefuseToRead)
{
    const auto saveWithPadding = [](SettingsStore& limited, qsizetype padding) {
        limited.SaveSetting(App, u"Settings"_s, u"K"_s, QString(padding, u'p'));
    };
    saveWithPadding(store, 100);
    const qint64 largest = test::ReadFile(file()).size() + 10;

    SettingsStore limited(store.directory(), largest);
    saveWithPadding(limited, 110);
    const QByteArray atTheLimit = test::ReadFile(file());
    ASSERT_EQ(atTheLimit.size(), largest);
    EXPECT_EQ(limited.GetSetting(App, u"Settings"_s, u"K"_s).size(), 110);

    for (const qsizetype padding : {111, 100000}) {
        const Raised refused = RaisedBy([&] { saveWithPadding(limited, padding); });
        EXPECT_EQ(refused.number, ErrPathFileAccess);
        EXPECT_NE(refused.text.find(file()), std::string::npos) << refused.text;
        EXPECT_NE(refused.text.find(std::to_string(largest) + " bytes"), std::string::npos) << refused.text;
        EXPECT_EQ(test::ReadFile(file()), atTheLimit) << padding;
    }
    saveWithPadding(store, 111);
    EXPECT_NE(RaisedBy([&] { limited.Read(App); }).text.find("larger than"), std::string::npos);
    EXPECT_EQ(QDir(store.directory()).entryList(QDir::Files | QDir::Hidden),
              (QStringList{u"Kelvo.conf"_s, u"Kelvo.conf.lock"_s}));
}

TEST_F(SettingsStoreTest, WritesThroughALinkAndRefusesAReadOnlyFile)
{
    const std::string target = home.dir() / "dotfiles/kelvo.conf";
    std::filesystem::create_directories(home.dir() / "dotfiles");
    std::filesystem::create_symlink("../../dotfiles/kelvo.conf", file());

    store.SaveSetting(App, u"Settings"_s, u"K"_s, u"first"_s);
    store.SaveSetting(App, u"Settings"_s, u"K"_s, u"second"_s);
    EXPECT_TRUE(std::filesystem::is_symlink(file()));
    EXPECT_NE(test::ReadFile(target).indexOf("K = second"), -1);

    std::filesystem::permissions(target, std::filesystem::perms::owner_read);
    const Raised refused = RaisedBy([&] { store.SaveSetting(App, u"Settings"_s, u"K"_s, u"third"_s); });
    EXPECT_EQ(refused.number, ErrPermissionDenied);
    EXPECT_NE(refused.text.find("read-only"), std::string::npos) << refused.text;
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s), u"second"_s);
}

// Texts a line-based format could take for syntax, escapes or line ends; each is a key, a value and a
// section name.
TEST_F(SettingsStoreTest, RoundTripsEveryText)
{
    const QString texts[] = {
        u""_s,
        u" lead = [x]; #c "_s,
        u"[Settings]"_s,
        u"a\r\nb \\n\t\r"_s,
        u"\"quoted\" 'single' \\ / ="_s,
        QString(1, QChar(0)) + u"\u0001\u007f"_s,
        u"\u00e9\u65e5\U0001F600\u00a0\u2028"_s,
        QString(10000, u'x'),
    };
    SettingPairs pairs;
    for (const QString& text : texts)
        pairs.append({QString::number(pairs.size()) + text, text});
    store.Update(App, [&](SettingsDocument& document) {
        for (const auto& [key, value] : pairs) {
            document.SaveSetting(u"Settings"_s, key, value);
            document.SaveSetting(key, value + u'.', key);
        }
    });
    const SettingsDocument read = SettingsStore().Read(App);
    EXPECT_EQ(read.GetAllSettings(u"Settings"_s), pairs);
    for (const auto& [key, value] : pairs)
        EXPECT_EQ(read.GetSetting(key, value + u'.'), key);
}

// The second: a character cut by a line end, whose next line starts with what would complete it.
TEST_F(SettingsStoreTest, SetsAsideAFileItCannotParse)
{
    for (const QByteArray& contents :
         {QByteArray("[Settings]\nK = \xff not UTF-8\n"), QByteArray("[Settings]\nK = \xc3\n\xa9 = v\n")}) {
        SCOPED_TRACE(contents.toStdString());
        test::WriteFile(file(), contents);
        testing::internal::CaptureStderr();
        EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s, u"default"_s), u"default"_s);
        const std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_NE(warning.find("cannot be read"), std::string::npos) << warning;
        EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;

        QDir directory(store.directory());
        const QStringList aside = directory.entryList({u"Kelvo.conf.unreadable-*"_s});
        ASSERT_EQ(aside.size(), 1);
        EXPECT_EQ(test::ReadFile(store.directory().toStdString() + '/' + aside[0].toStdString()), contents);
        store.SaveSetting(App, u"Settings"_s, u"K"_s, u"new"_s);
        EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s), u"new"_s);
        directory.remove(aside[0]);
    }
}

TEST_F(SettingsStoreTest, TwoWritingProcessesLoseNothing)
{
    constexpr int writes = 60;
    std::vector<pid_t> children;
    for (const QString& prefix : {u"StrLastRunDate"_s, u"Editor"_s}) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (int n = 0; n < writes; ++n)
                store.SaveSetting(App, u"Settings"_s, prefix + QString::number(n), QString::number(n));
            _exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children)
        EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
    EXPECT_EQ(store.GetAllSettings(App, u"Settings"_s).size(), 2 * writes);
}

// A crash right after the rename must find the new contents on the disk, not an empty file: the save
// syncs them while the old file still stands under the name.
TEST_F(SettingsStoreTest, SyncsTheNewContentsBeforeTheyTakeTheFilesName)
{
    store.SaveSetting(App, u"Settings"_s, u"flReRun"_s, u"False"_s);
    struct Seen
    {
        QByteArray synced;
        QByteArray named;
    };
    std::vector<Seen> seen;
    const auto contents = [](const std::string& path) {
        QFile opened(QString::fromStdString(path)); // a directory, also synced, reads as nothing
        return opened.open(QIODevice::ReadOnly) ? opened.readAll() : QByteArray();
    };
    g_onFsync = [&](int fd) {
        seen.push_back({contents("/proc/self/fd/" + std::to_string(fd)), contents(file())});
    };
    store.SaveSetting(App, u"Settings"_s, u"flReRun"_s, u"True"_s);
    g_onFsync = {};
    const auto newContents = std::find_if(seen.begin(), seen.end(),
                                          [](const Seen& s) { return s.synced.contains("flReRun = True"); });
    ASSERT_NE(newContents, seen.end()) << "the new contents were never synced";
    EXPECT_TRUE(newContents->named.contains("flReRun = False")) << "synced only after the rename";
}

TEST(SettingsStoreDiskFull, FailsAndLeavesTheOldFileAsItWas)
{
    test::TempDir dir;
    const std::optional<int> code = test::InPrivateTmpfs(dir.path(), 64 * 1024, [&] {
        SettingsStore store(QString::fromStdString(dir.path()));
        store.SaveSetting(App, u"Settings"_s, u"K"_s, u"old"_s);
        const QByteArray before = test::ReadFile(store.filePath(App).toStdString());
        // Leave a little room, so the save's first write is short and a later one fails.
        test::WriteFile(dir / "spare", QByteArray(8192, 's'));
        QFile filler(QString::fromStdString(dir / "filler"));
        filler.open(QIODevice::WriteOnly);
        while (filler.write(QByteArray(4096, 'f')) > 0 && filler.flush()) {
        }
        filler.close();
        unlink((dir / "spare").c_str());
        try {
            store.SaveSetting(App, u"Settings"_s, u"K"_s, QString(60000, u'n'));
            return 1;
        } catch (const Failure& failure) {
            if (failure.number() != ErrDiskFull)
                return 2;
        }
        const bool leftover =
            !QDir(store.directory()).entryList({u"*.kelvo-*"_s}, QDir::Files | QDir::Hidden).isEmpty();
        return test::ReadFile(store.filePath(App).toStdString()) != before ? 3 : leftover ? 4 : 0;
    });
    if (!code)
        GTEST_SKIP() << "user namespaces are not available";
    EXPECT_EQ(*code, 0) << "1 saved, 2 wrong failure number, 3 old file changed, 4 temporary file left";
}

} // namespace
} // namespace kelvo
