#include "platform/SettingsStore.h"

#include "platform/Failure.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {
namespace {

const QString App = u"Kelvo"_s;

QString StoreDir(const test::IsolatedHome& home)
{
    return QString::fromStdString(home.configDir()) + u"/kelvo"_s;
}

QStringList EntriesOf(const QString& directory)
{
    return QDir(directory).entryList(QDir::Files | QDir::Hidden);
}

// Runs body in a child process and returns its exit code; an exception in the child is code 99.
int RunInChild(const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SettingsStore, MatchesNamesWithoutCaseAndKeepsFirstWrittenOrder)
{
    test::IsolatedHome home;
    SettingsStore store;
    EXPECT_EQ(store.directory(), StoreDir(home));

    store.SaveSetting(App, u"Sets"_s, u"Zeta"_s, u"1"_s);
    store.SaveSetting(App, u"Sets"_s, u"alpha"_s, u"2"_s);
    store.SaveSetting(App, u"SETS"_s, u"ZETA"_s, u"3"_s);
    const SettingPairs expected{{u"Zeta"_s, u"3"_s}, {u"alpha"_s, u"2"_s}};
    EXPECT_EQ(SettingsStore(StoreDir(home)).GetAllSettings(App, u"sets"_s), expected);
    EXPECT_EQ(store.GetSetting(App, u"sEtS"_s, u"ALPHA"_s), u"2"_s);

    store.SaveSetting(App, u"Settings"_s, u"Empty"_s, QString());
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"Empty"_s, u"default"_s), QString());
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"Missing"_s, u"default"_s), u"default"_s);
    EXPECT_EQ(store.GetSetting(App, u"Nowhere"_s, u"Missing"_s), QString());
    EXPECT_TRUE(store.GetAllSettings(App, u"Nowhere"_s).isEmpty());
    EXPECT_TRUE(store.GetAllSettings(u"Saver"_s, u"Sets"_s).isEmpty());
}

TEST(SettingsStore, DeleteSettingRemovesASectionAndRefusesAMissingOne)
{
    test::IsolatedHome home;
    SettingsStore store;
    store.SaveSetting(App, u"Sets"_s, u"A"_s, u"A"_s);
    store.SaveSetting(App, u"Settings"_s, u"K"_s, u"V"_s);
    store.DeleteSetting(App, u"sets"_s);
    EXPECT_TRUE(store.GetAllSettings(App, u"Sets"_s).isEmpty());
    EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s), u"V"_s);

    const QByteArray before = test::ReadFile(store.filePath(App).toStdString());
    try {
        store.DeleteSetting(App, u"Sets"_s);
        ADD_FAILURE() << "deleting a missing section succeeded";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), ErrInvalidArgument);
    }
    EXPECT_EQ(test::ReadFile(store.filePath(App).toStdString()), before);
}

TEST(SettingsStore, FollowsXdgConfigHomeOrHome)
{
    test::IsolatedHome home;
    EXPECT_EQ(SettingsStore().filePath(App), StoreDir(home) + u"/Kelvo.conf"_s);
    const test::ScopedEnv noXdg("XDG_CONFIG_HOME", "");
    EXPECT_EQ(SettingsStore().directory(), QDir::homePath() + u"/.config/kelvo"_s);
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
    SettingsStore store;
    const QStringList fixed{u""_s,
                            u" lead"_s,
                            u"trail "_s,
                            u"\t"_s,
                            u"="_s,
                            u"a = b"_s,
                            u"["_s,
                            u"[x]"_s,
                            u";"_s,
                            u"#"_s,
                            u"\\"_s,
                            u"\\n"_s,
                            u"\n"_s,
                            u"a\r\nb"_s,
                            u"\"q\""_s,
                            u"\" open"_s,
                            u"ÄÖü 日本 😀"_s,
                            QString(10000, u'x') + u"\n end "_s,
                            QString(1, QChar(0)) + u"nul"_s};
    const quint32 seed = std::random_device{}();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    SettingPairs pairs;
    for (const QString& value : fixed)
        pairs.append({u"fixed"_s + QString::number(pairs.size()), value});
    for (int n = 0; n < 500; ++n)
        pairs.append({QString::number(n) + u':' + AwkwardText(random), AwkwardText(random)});

    // Keys are unique, so they serve as section names too, and the values as keys.
    store.Update(App, [&](SettingsDocument& document) {
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

TEST(SettingsStore, WritesAFileAPersonCanReadAndEdit)
{
    test::IsolatedHome home;
    SettingsStore store;
    store.SaveSetting(App, u"Sets\\Docs"_s, u"SourceDirFile"_s, u"/home/me/My Documents"_s);
    store.SaveSetting(App, u"Sets\\Docs"_s, u"ArchiveSubDir"_s, u" padded "_s);
    const QByteArray text = test::ReadFile(store.filePath(App).toStdString());
    EXPECT_TRUE(text.contains("[Sets\\Docs]\nSourceDirFile = /home/me/My Documents\n")) << text.constData();
    EXPECT_TRUE(text.contains("ArchiveSubDir = \" padded \"\n")) << text.constData();

    test::WriteFile(store.filePath(App).toStdString(), "; edited by hand\r\n"
                                                       "  [ Settings ]  \r\n"
                                                       "\tStrRealTime=Docs  \r\n"
                                                       "\n"
                                                       "# a comment\n"
                                                       "[Sets]\n"
                                                       "Docs = Docs\n"
                                                       "\"a=b\" = \"x\\ty\"\n");
    EXPECT_EQ(store.GetSetting(App, u"settings"_s, u"strrealtime"_s), u"Docs"_s);
    EXPECT_EQ(store.GetSetting(App, u"Sets"_s, u"a=b"_s), u"x\ty"_s);
}

TEST(SettingsStore, SetsAsideAFileThatCannotBeParsed)
{
    const QList<QByteArray> broken{
        "key = before any section\n",           "[Settings]\nno separator\n",
        "[Settings]\nK = \"unterminated\n",     "[Settings]\nK = \"bad \\q escape\"\n",
        "[Settings]\nK = \xff\xfe not UTF-8\n", "[Settings\nK = V\n"};
    for (const QByteArray& contents : broken) {
        SCOPED_TRACE(contents.constData());
        test::IsolatedHome home;
        SettingsStore store;
        QDir().mkpath(store.directory());
        test::WriteFile(store.filePath(App).toStdString(), contents);

        testing::internal::CaptureStderr();
        EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s, u"default"_s), u"default"_s);
        const std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_NE(warning.find("cannot be read"), std::string::npos) << warning;
        EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;

        const QStringList aside = QDir(store.directory()).entryList({u"Kelvo.conf.unreadable-*"_s});
        ASSERT_EQ(aside.size(), 1);
        EXPECT_EQ(test::ReadFile(QDir(store.directory()).filePath(aside[0]).toStdString()), contents);
        EXPECT_FALSE(QFile::exists(store.filePath(App)));

        store.SaveSetting(App, u"Settings"_s, u"K"_s, u"new"_s);
        EXPECT_EQ(store.GetSetting(App, u"Settings"_s, u"K"_s), u"new"_s);
    }
}

TEST(SettingsStore, AChangeThatFailsWritesNothing)
{
    test::IsolatedHome home;
    SettingsStore store;
    store.SaveSetting(App, u"Settings"_s, u"K"_s, u"V"_s);
    const QByteArray before = test::ReadFile(store.filePath(App).toStdString());
    EXPECT_THROW(store.Update(App,
                              [](SettingsDocument& document) {
                                  document.SaveSetting(u"Settings"_s, u"K"_s, u"changed"_s);
                                  throw Failure(ErrOverflow);
                              }),
                 Failure);
    EXPECT_EQ(test::ReadFile(store.filePath(App).toStdString()), before);
}

TEST(SettingsStoreProcesses, TwoWritersLoseNothing)
{
    test::IsolatedHome home;
    constexpr int writes = 60;
    const auto writer = [](const QString& prefix) {
        SettingsStore store;
        for (int n = 0; n < writes; ++n)
            store.SaveSetting(App, u"Settings"_s, prefix + QString::number(n), QString::number(n));
        return 0;
    };
    std::vector<pid_t> children;
    for (const QString& prefix : {u"StrLastRunDate"_s, u"Editor"_s}) {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(writer(prefix));
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(SettingsStore().GetAllSettings(App, u"Settings"_s).size(), 2 * writes);
}

// A small tmpfs in a private mount namespace stands in for a full disk; no root is needed.
bool MountSmallTmpfs(const std::string& directory)
{
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return false;
    test::WriteFile("/proc/self/setgroups", "deny");
    test::WriteFile("/proc/self/uid_map", QByteArray("0 ") + QByteArray::number(uid) + " 1");
    test::WriteFile("/proc/self/gid_map", QByteArray("0 ") + QByteArray::number(gid) + " 1");
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("none", directory.c_str(), "tmpfs", 0, "size=64k") == 0;
}

void FillDisk(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
}

TEST(SettingsStoreDiskFull, FailsAndLeavesTheOldFileAsItWas)
{
    test::TempDir dir;
    const int code = RunInChild([&] {
        if (!MountSmallTmpfs(dir.path()))
            return 77;
        SettingsStore store(QString::fromStdString(dir.path()));
        store.SaveSetting(App, u"Settings"_s, u"K"_s, u"old"_s);
        const QByteArray before = test::ReadFile(store.filePath(App).toStdString());
        // Leave a little room, so the save's first write is short and a later one fails.
        test::WriteFile(dir / "spare", QByteArray(8192, 's'));
        FillDisk(dir / "filler");
        unlink((dir / "spare").c_str());
        try {
            store.SaveSetting(App, u"Settings"_s, u"K"_s, QString(60000, u'n'));
            return 1;
        } catch (const Failure& failure) {
            if (failure.number() != ErrDiskFull)
                return 2;
        }
        if (test::ReadFile(store.filePath(App).toStdString()) != before)
            return 3;
        return EntriesOf(store.directory()).filter(u".tmp-"_s).isEmpty() ? 0 : 4;
    });
    if (code == 77)
        GTEST_SKIP() << "user namespaces are not available";
    EXPECT_EQ(code, 0) << "1 saved, 2 wrong failure number, 3 old file changed, 4 temporary file left";
}

} // namespace
} // namespace kelvo
