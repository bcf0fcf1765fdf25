#include "platform/SettingsStore.h"

#include "platform/AttributeRecordStore.h"
#include "platform/Failure.h"
#include "platform/ReplacementFile.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

const QString App = u"Kelvo"_s;

TEST(SettingsStore, MatchesNamesWithoutCaseKeepsFirstWrittenOrderAndFollowsXdgConfigHome)
{
    test::IsolatedHome home;
    SettingsStore store;
    store.SaveSetting(App, u"Sets"_s, u"Zeta"_s, u"1"_s);
    store.SaveSetting(App, u"Sets"_s, u"alpha"_s, u"2"_s);
    store.SaveSetting(App, u"SETS"_s, u"ZETA"_s, u"3"_s);
    const SettingPairs expected{{u"Zeta"_s, u"3"_s}, {u"alpha"_s, u"2"_s}};
    EXPECT_EQ(SettingsStore().GetAllSettings(App, u"sets"_s), expected);
    EXPECT_EQ(store.GetSetting(App, u"sEtS"_s, u"ALPHA"_s), u"2"_s);

    EXPECT_EQ(store.filePath(App), QString::fromStdString(home.configDir()) + u"/kelvo/Kelvo.conf"_s);
    for (const char* ignored : {"", "relative/config"}) {
        const test::ScopedEnv xdg("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(SettingsStore().directory(), QDir::homePath() + u"/.config/kelvo"_s) << ignored;
    }
    const test::ScopedEnv relativeData("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(AttributeRecordStore::DefaultPath(),
              QDir::homePath().toStdString() + "/.local/share/kelvo/attribute-records");
}

TEST(SettingsStore, ReadsCrLfLinesAndNeverReadsTheTemporaryFileOfAKilledSave)
{
    test::IsolatedHome home;
    SettingsStore store;
    QDir().mkpath(store.directory());
    test::WriteFile(store.filePath(App).toStdString(), "[Settings]\r\nK = crlf\r\nEmpty =\r\n");
    QString temporary = QFile::decodeName(ReplacementNamePattern("Kelvo.conf").c_str());
    temporary = store.directory() + u'/' + temporary.replace(u'*', u"123"_s);
    test::WriteFile(temporary.toStdString(), "[Settings]\nK = half-written\n");

    EXPECT_EQ(store.GetAllSettings(App, u"Settings"_s),
              (SettingPairs{{u"K"_s, u"crlf"_s}, {u"Empty"_s, u""_s}}));
    store.SaveSetting(App, u"Settings"_s, u"Other"_s, u"x"_s);
    EXPECT_FALSE(QFile::exists(temporary));
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s), u"crlf"_s);
}

TEST(SettingsStore, RefusesSpecialAndHugeFilesAndLeavesThem)
{
    test::IsolatedHome home;
    SettingsStore store;
    QDir().mkpath(store.directory());
    const std::string path = store.filePath(App).toStdString();
    const auto make = [&](const char* kind) {
        std::filesystem::remove(path);
        if (kind == std::string("fifo"))
            EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        else if (kind == std::string("zero"))
            std::filesystem::create_symlink("/dev/zero", path);
        else
            std::filesystem::resize_file((test::WriteFile(path, "[Settings]\n"), path), 65 * 1024 * 1024);
    };
    for (const char* kind : {"fifo", "zero", "huge"}) {
        SCOPED_TRACE(kind);
        make(kind);
        const auto before = std::filesystem::symlink_status(path).type();
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                if (attempt == 0)
                    store.Read(App);
                else
                    store.SaveSetting(App, u"Settings"_s, u"K"_s, u"v"_s);
                ADD_FAILURE() << "accepted";
            } catch (const Failure& failure) {
                EXPECT_NE(
                    std::string(failure.what()).find(kind == std::string("huge") ? "64 MiB" : "regular"),
                    std::string::npos)
                    << failure.what();
            }
        }
        EXPECT_EQ(std::filesystem::symlink_status(path).type(), before);
        EXPECT_EQ(QDir(store.directory()).entryList({u"*unreadable*"_s}, QDir::AllEntries | QDir::System),
                  QStringList());
    }
}

TEST(SettingsStore, WritesThroughALinkAndRefusesAReadOnlyFile)
{
    test::IsolatedHome home;
    SettingsStore store;
    QDir().mkpath(store.directory());
    const std::string target = home.dir() / "dotfiles/kelvo.conf";
    std::filesystem::create_directories(home.dir() / "dotfiles");
    std::filesystem::create_symlink("../../dotfiles/kelvo.conf", store.filePath(App).toStdString());

    store.SaveSetting(App, u"Settings"_s, u"K"_s, u"first"_s);
    store.SaveSetting(App, u"Settings"_s, u"K"_s, u"second"_s);
    EXPECT_TRUE(std::filesystem::is_symlink(store.filePath(App).toStdString()));
    EXPECT_NE(test::ReadFile(target).indexOf("K = second"), -1);

    std::filesystem::permissions(target, std::filesystem::perms::owner_read);
    try {
        store.SaveSetting(App, u"Settings"_s, u"K"_s, u"third"_s);
        ADD_FAILURE() << "a read-only file was replaced";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), ErrPermissionDenied);
        EXPECT_NE(std::string(failure.what()).find("read-only"), std::string::npos) << failure.what();
    }
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s), u"second"_s);
}

// Loading was once quadratic in the number of keys (minutes for this size); the bound is far above
// what a linear load takes on any machine, so it fails only on that fault.
TEST(SettingsDocument, ParsesAndWritesTwoHundredThousandKeysAtOnce)
{
    QByteArray text = "[Sets]\n";
    for (int n = 0; n < 100000; ++n)
        text += "Set" + QByteArray::number(n) + " = x\n";
    for (int n = 0; n < 100000; ++n)
        text += "[Sets\\Set" + QByteArray::number(n) + "]\nK = " + QByteArray::number(n) + "\n";
    const auto start = std::chrono::steady_clock::now();
    SettingsDocument document;
    ASSERT_TRUE(document.parse(text));
    EXPECT_EQ(document.GetSetting(u"sets\\set99999"_s, u"k"_s), u"99999"_s);
    EXPECT_EQ(document.GetAllSettings(u"Sets"_s).size(), 100000);
    EXPECT_GT(document.serialize().size(), text.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(SettingsStore, TellsAnEmptyValueFromAMissingOneAndRefusesToDeleteAMissingSection)
{
    test::IsolatedHome home;
    SettingsStore store;
    store.SaveSetting(App, u"Settings"_s, u"Empty"_s, QString());
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"Empty"_s, u"default"_s), QString());
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"Missing"_s, u"default"_s), u"default"_s);
    try {
        store.DeleteSetting(App, u"Sets"_s);
        ADD_FAILURE() << "deleting a missing section succeeded";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), ErrInvalidArgument);
    }
}

QString AwkwardText(std::mt19937& random)
{
    static const QString alphabet = u"ab Z09 \t\n\r=[];#\"'\\/xé日😀\u0001\u007f\u00a0\u2028"_s;
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<qsizetype> pick(0, alphabet.size() - 1);
    QString text;
    for (int n = length(random); n > 0; --n) {
        const QChar c = alphabet[pick(random)];
        // Keep surrogate pairs whole: the store holds text, not arbitrary UTF-16 units.
        if (c.isHighSurrogate())
            text += alphabet.mid(alphabet.indexOf(c), 2);
        else if (!c.isLowSurrogate())
            text += c;
    }
    return text;
}

TEST(SettingsStore, RoundTripsEveryText)
{
    test::IsolatedHome home;
    const quint32 seed = std::random_device{}();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    SettingPairs pairs{{u"empty"_s, u""_s},
                       {u"syntax"_s, u" lead = [x]; "_s},
                       {u"lines"_s, u"a\r\nb \\n"_s},
                       {u"long"_s, QString(10000, u'x')},
                       {u"nul"_s, QString(1, QChar(0))}};
    for (int n = 0; n < 500; ++n)
        pairs.append({QString::number(n) + u':' + AwkwardText(random), AwkwardText(random)});

    // Keys are unique, so they serve as section names too, and the values as keys.
    SettingsStore().Update(App, [&](SettingsDocument& document) {
        for (const auto& [key, value] : pairs) {
            document.SaveSetting(u"Settings"_s, key, value);
            document.SaveSetting(key, value, key);
        }
    });
    const SettingsDocument read = SettingsStore().Read(App);
    EXPECT_EQ(read.GetAllSettings(u"Settings"_s), pairs);
    for (const auto& [key, value] : pairs)
        EXPECT_EQ(read.GetSetting(key, value), key);
}

TEST(SettingsStore, SetsAsideAFileItCannotParse)
{
    test::IsolatedHome home;
    SettingsStore store;
    QDir().mkpath(store.directory());
    const QByteArray contents("[Settings]\nK = \xff not UTF-8\n");
    test::WriteFile(store.filePath(App).toStdString(), contents);
    testing::internal::CaptureStderr();
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s, u"default"_s), u"default"_s);
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find("cannot be read"), std::string::npos) << warning;
    EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;

    const QStringList aside = QDir(store.directory()).entryList({u"Kelvo.conf.unreadable-*"_s});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(test::ReadFile(store.directory().toStdString() + '/' + aside[0].toStdString()), contents);
    store.SaveSetting(App, u"Settings"_s, u"K"_s, u"new"_s);
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s), u"new"_s);
}

TEST(SettingsStoreProcesses, TwoWritersLoseNothing)
{
    test::IsolatedHome home;
    constexpr int writes = 60;
    std::vector<pid_t> children;
    for (const QString& prefix : {u"StrLastRunDate"_s, u"Editor"_s}) {
        const pid_t pid = fork();
        if (pid == 0) {
            SettingsStore store;
            for (int n = 0; n < writes; ++n)
                store.SaveSetting(App, u"Settings"_s, prefix + QString::number(n), QString::number(n));
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(SettingsStore().GetAllSettings(App, u"Settings"_s).size(), 2 * writes);
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
