#include "engine/LogFile.h"

#include "platform/Failure.h"
#include "support/TestSupport.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kelvo {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr qint64 MiB = 1048576;

class FakeClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime(QDate(2026, 12, 5), QTime(14, 3, 7)); }
};

QByteArray Stamp()
{
    const QLocale locale = QLocale::system();
    const QDateTime now = FakeClock().now();
    return (locale.toString(now.date(), QLocale::LongFormat) + u' ' +
            locale.toString(now.time(), QLocale::LongFormat))
        .toUtf8();
}

GeneralSettings Settings(const std::string& directory)
{
    GeneralSettings settings;
    settings.StrLogFileDir = QString::fromStdString(directory);
    settings.flLogFileOn = true;
    settings.flLogFileSuccess = true;
    settings.flLogFileErrors = true;
    settings.flLogDeletes = true;
    return settings;
}

void WriteEveryKind(LogFile& log)
{
    log.Copied("/s/", "/d/", "a.txt");
    log.CopyFailed("/s/", "/d/", "b\xff.txt");
    log.Deleted("/d/", "c.txt");
    log.AccessError(QStringLiteral("Path not found"), "/d/x/");
    log.DiskFull("/d/", QStringLiteral("Disk full"));
    log.FileNotFound(QStringLiteral("File not found"));
    log.OtherError(QStringLiteral("Overflow"), 6, "/d/", "last.txt");
}

QByteArray RunWithEveryKind(GeneralSettings settings)
{
    FakeClock clock;
    LogFile log(settings, clock);
    log.Open();
    WriteEveryKind(log);
    log.Close();
    return ReadFile(LogFilePath(settings));
}

TEST(LogFile, WritesTheExactLineOfEveryKind)
{
    TempDir dir;
    const QByteArray expected = "STARTED backup : " + Stamp() +
                                "\n"
                                "SUCCESS : Copied : /s/a.txt. To /d/a.txt\n"
                                "ERROR : Failed to Copy : /s/b\xff.txt. To /d/b\xff.txt\n"
                                "SUCCESS : Deleted : /d/c.txt. The file was no longer present in the source "
                                "directory\n"
                                "Error : Path not found. Cannot access /d/x/\n"
                                "Error : Destination Directory /d/ Full!\n"
                                "Error : Disk full\n"
                                "Error : File not found\n"
                                "Error : Overflow 6\n"
                                "Problem Dest : /d/last.txt\n"
                                "COMPLETED backup : " +
                                Stamp() + "\n";
    EXPECT_EQ(RunWithEveryKind(Settings(dir.path())), expected);
    EXPECT_EQ(RunWithEveryKind(Settings(dir.path())), expected + expected) << "a second run appends";
}

TEST(LogFile, EachKindHasItsOwnSwitch)
{
    const auto lines = [](void (*change)(GeneralSettings&)) {
        TempDir dir;
        GeneralSettings settings = Settings(dir.path());
        change(settings);
        return RunWithEveryKind(settings);
    };

    const QByteArray noSuccess = lines([](GeneralSettings& s) { s.flLogFileSuccess = false; });
    EXPECT_FALSE(noSuccess.contains("Copied"));
    EXPECT_TRUE(noSuccess.contains("Deleted") && noSuccess.contains("Failed to Copy"));

    const QByteArray noDeletes = lines([](GeneralSettings& s) { s.flLogDeletes = false; });
    EXPECT_FALSE(noDeletes.contains("Deleted"));
    EXPECT_TRUE(noDeletes.contains("Copied") && noDeletes.contains("Problem Dest"));

    const QByteArray noErrors = lines([](GeneralSettings& s) { s.flLogFileErrors = false; });
    EXPECT_FALSE(noErrors.contains("Error") || noErrors.contains("ERROR") || noErrors.contains("Problem"));
    EXPECT_TRUE(noErrors.contains("Copied") && noErrors.contains("Deleted"));

    const QByteArray startAndEnd =
        lines([](GeneralSettings& s) { s.flLogFileSuccess = s.flLogFileErrors = s.flLogDeletes = false; });
    EXPECT_EQ(startAndEnd, "STARTED backup : " + Stamp() + "\nCOMPLETED backup : " + Stamp() + "\n");
}

TEST(LogFile, LoggingOffOrUnopenableWritesNothing)
{
    TempDir dir;
    FakeClock clock;
    {
        GeneralSettings settings = Settings(dir.path());
        settings.flLogFileOn = false;
        LogFile log(settings, clock);
        log.Open();
        WriteEveryKind(log);
        log.Close();
        EXPECT_FALSE(fs::exists(dir / "kelvo.log"));
    }
    {
        GeneralSettings settings = Settings(dir / "missing");
        LogFile log(settings, clock);
        log.Open();
        EXPECT_FALSE(settings.flLogFileOn);
        settings.flLogFileOn = true; // a reload during the run does not reopen the log
        WriteEveryKind(log);
        log.Close();
        EXPECT_FALSE(fs::exists(dir / "missing"));
    }
    {
        fs::create_symlink("/dev/full", dir / "kelvo.log");
        GeneralSettings settings = Settings(dir.path());
        LogFile log(settings, clock);
        log.Open();
        EXPECT_FALSE(settings.flLogFileOn) << "a start line that cannot be written switches logging off";
    }
}

TEST(LogFile, PathJoinsTheDirectoryOnce)
{
    GeneralSettings settings;
    settings.StrLogFileDir = QStringLiteral("/home/u");
    EXPECT_EQ(LogFilePath(settings), "/home/u/kelvo.log");
    settings.StrLogFileDir = QStringLiteral("/home/u/");
    EXPECT_EQ(LogFilePath(settings), "/home/u/kelvo.log");
    settings.StrLogFileDir = QStringLiteral("/home/\u00e9");
    EXPECT_EQ(LogFilePath(settings), "/home/\xc3\xa9/kelvo.log");
}

// Ignores SIGXFSZ and caps the size of files this process writes for the life of the object.
class FileSizeCap final
{
public:
    explicit FileSizeCap(rlim_t bytes) : m_oldHandler(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit cap = m_old;
        cap.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &cap);
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    void (*m_oldHandler)(int);
    rlimit m_old = {};
};

TEST(LogFile, LaterWriteFailureRaises)
{
    TempDir dir;
    FakeClock clock;
    GeneralSettings settings = Settings(dir.path());
    LogFile log(settings, clock);
    log.Open();
    const auto size = static_cast<rlim_t>(fs::file_size(dir / "kelvo.log"));
    {
        FileSizeCap cap(size);
        EXPECT_THROW(log.Copied("/s/", "/d/", "a.txt"), Failure);
        EXPECT_THROW(log.Close(), Failure);
    }
    EXPECT_TRUE(settings.flLogFileOn) << "only a failure at the start switches logging off";
}

std::string Filler(qint64 size)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(size));
    for (qint64 i = 0; i < size; ++i)
        text += static_cast<char>('a' + i % 26);
    return text;
}

QByteArray Trimmed(const QByteArray& contents, qint16 size)
{
    TempDir dir;
    WriteFile(dir / "kelvo.log", contents);
    TrimLogFile(dir / "kelvo.log", size);
    EXPECT_EQ(fs::directory_iterator(dir.path())->path().filename(), "kelvo.log");
    return ReadFile(dir / "kelvo.log");
}

TEST(LogFileTrim, KeepsTheLastMebibytesOnACharacterBoundary)
{
    const QByteArray filler = QByteArray::fromStdString(Filler(MiB));
    EXPECT_EQ(Trimmed("x" + filler, 1), filler);
    EXPECT_EQ(Trimmed(filler, 1), filler);
    EXPECT_EQ(Trimmed("\xc3\xa9" + filler.mid(1), 1), filler.mid(1)) << "cut inside a two-byte character";
    EXPECT_EQ(Trimmed("\xf0\x9f\x98\x80" + filler.mid(3), 1), filler.mid(3)) << "cut after a lead byte";
    EXPECT_EQ(Trimmed("\xf0\x9f\x98\x80" + filler.mid(1), 1), filler.mid(1)) << "cut on a lead byte";
}

TEST(LogFileTrim, NoLimitOrALargeLimitNeverCuts)
{
    const QByteArray log = QByteArray::fromStdString(Filler(MiB + 10));
    EXPECT_EQ(Trimmed(log, 0), log);
    EXPECT_EQ(Trimmed(log, -1), log);
    EXPECT_EQ(Trimmed(log, 2048), log);
    EXPECT_EQ(Trimmed(log, 3000), log);
    EXPECT_EQ(Trimmed(log, 32767), log);
}

TEST(LogFileTrim, RunEndTrimsAndKeepsPermissions)
{
    TempDir dir;
    WriteFile(dir / "kelvo.log", QByteArray::fromStdString(Filler(2 * MiB)));
    fs::permissions(dir / "kelvo.log",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    FakeClock clock;
    GeneralSettings settings = Settings(dir.path());
    settings.IntLogFileSize = 1;
    LogFile log(settings, clock);
    log.Open();
    log.Close();

    const QByteArray trimmed = ReadFile(dir / "kelvo.log");
    EXPECT_EQ(trimmed.size(), MiB);
    EXPECT_TRUE(trimmed.endsWith(QByteArray("COMPLETED backup : " + Stamp() + "\n")));
    EXPECT_EQ(fs::status(dir / "kelvo.log").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// Runs body in a child process that has a private tmpfs of the given size mounted on directory.
// Gives the body's exit code, or nullopt when the system allows no such mount.
std::optional<int> InPrivateTmpfs(const std::string& directory, qint64 size, const std::function<int()>& body)
{
    const pid_t child = fork();
    if (child == 0) {
        const std::string uidMap = "0 " + std::to_string(getuid()) + " 1";
        const std::string gidMap = "0 " + std::to_string(getgid()) + " 1";
        const auto write = [](const char* path, const std::string& text) {
            const int fd = open(path, O_WRONLY);
            return fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   close(fd) == 0;
        };
        const std::string options = "size=" + std::to_string(size);
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !write("/proc/self/uid_map", uidMap) ||
            !write("/proc/self/setgroups", "deny") || !write("/proc/self/gid_map", gidMap) ||
            mount("none", directory.c_str(), "tmpfs", 0, options.c_str()) != 0)
            _exit(77);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 77)
        return std::nullopt;
    return WEXITSTATUS(status);
}

TEST(LogFile, FullDiskRaisesAndTrimmingKeepsTheLog)
{
    TempDir dir;
    const std::string disk = dir / "disk";
    fs::create_directory(disk);
    const std::optional<int> result = InPrivateTmpfs(disk, 64 * 1024, [&] {
        FakeClock clock;
        GeneralSettings settings = Settings(disk);
        LogFile log(settings, clock);
        log.Open();
        if (!settings.flLogFileOn)
            return 1;
        try {
            WriteFile(disk + "/filler", QByteArray(64 * 1024, 'x'));
        } catch (const std::exception&) {
        }
        // The log's last page may still have room for a few lines.
        try {
            for (int i = 0; i < 1000; ++i)
                log.Copied("/s/", "/d/", "a.txt");
            return 2;
        } catch (const Failure& failure) {
            return failure.number() == ErrDiskFull ? 0 : 3;
        }
    });
    if (!result)
        GTEST_SKIP() << "no private tmpfs here";
    EXPECT_EQ(*result, 0);

    const std::optional<int> trim = InPrivateTmpfs(disk, MiB + MiB / 2, [&] {
        const QByteArray log = QByteArray::fromStdString(Filler(MiB + 1000));
        WriteFile(disk + "/kelvo.log", log);
        try {
            TrimLogFile(disk + "/kelvo.log", 1);
            return 2;
        } catch (const Failure& failure) {
            if (failure.number() != ErrDiskFull)
                return 3;
        }
        const bool onlyTheLog = std::distance(fs::directory_iterator(disk), fs::directory_iterator()) == 1;
        return ReadFile(disk + "/kelvo.log") == log && onlyTheLog ? 0 : 4;
    });
    EXPECT_EQ(trim, 0);
}

class FakeViewer final : public LogViewer
{
public:
    void openTextFile(const QString& path) override { opened = path; }
    void showMessage(const QString& text) override { message = text; }

    QString opened;
    QString message;
};

TEST(ViewLogFile, OpensTheLogOrSaysItDoesNotExist)
{
    TempDir dir;
    GeneralSettings settings = Settings(dir.path());
    FakeViewer missing;
    ViewLogFile(settings, missing);
    EXPECT_TRUE(missing.opened.isEmpty());
    EXPECT_EQ(missing.message, QStringLiteral("Log file : ") + settings.StrLogFileDir +
                                   QStringLiteral("/kelvo.log : does not exist"));

    WriteFile(dir / "kelvo.log", "STARTED");
    FakeViewer present;
    ViewLogFile(settings, present);
    EXPECT_EQ(present.opened, QString::fromStdString(dir / "kelvo.log"));
    EXPECT_TRUE(present.message.isEmpty());
}

} // namespace
} // namespace kelvo
