#include "engine/LogFile.h"

#include "platform/Failure.h"
#include "support/TestSupport.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

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
    settings.flLogFileOn = settings.flLogFileSuccess = settings.flLogFileErrors = settings.flLogDeletes =
        true;
    return settings;
}

QByteArray RunWithEveryKind(GeneralSettings& settings)
{
    FakeClock clock;
    LogFile log(settings, clock);
    log.Open();
    settings.flLogFileOn = true; // a reload during the run does not reopen the log
    log.Copied("/s/", "/d/", "a.txt");
    log.CopyFailed("/s/", "/d/", "b\xff.txt");
    log.Deleted("/d/", "c.txt");
    log.AccessError(QStringLiteral("Path not found"), "/d/x/");
    log.DiskFull("/d/", QStringLiteral("Disk full"));
    log.FileNotFound(QStringLiteral("File not found"));
    log.OtherError(QStringLiteral("Overflow"), 6, "/d/", "last.txt");
    log.Close();
    return fs::exists(LogFilePath(settings)) ? ReadFile(LogFilePath(settings)) : QByteArray();
}

TEST(LogFile, WritesTheExactLineOfEveryKind)
{
    TempDir dir;
    const QByteArray expected =
        "STARTED backup : " + Stamp() +
        "\nSUCCESS : Copied : /s/a.txt. To /d/a.txt\n"
        "ERROR : Failed to Copy : /s/b\xff.txt. To /d/b\xff.txt\n"
        "SUCCESS : Deleted : /d/c.txt. The file was no longer present in the source directory\n"
        "Error : Path not found. Cannot access /d/x/\nError : Destination Directory /d/ Full!\n"
        "Error : Disk full\nError : File not found\nError : Overflow 6\nProblem Dest : /d/last.txt\n"
        "COMPLETED backup : " +
        Stamp() + "\n";
    GeneralSettings settings = Settings(dir.path());
    EXPECT_EQ(RunWithEveryKind(settings), expected);
    EXPECT_EQ(RunWithEveryKind(settings), expected + expected) << "a second run appends";
}

TEST(LogFile, EachKindHasItsOwnSwitchAndLoggingOffWritesNothing)
{
    const struct
    {
        bool GeneralSettings::*off;
        const char* dropped;
    } cases[] = {
        {&GeneralSettings::flLogFileSuccess, "Copied"},
        {&GeneralSettings::flLogDeletes, "Deleted"},
        {&GeneralSettings::flLogFileErrors, "rror"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        GeneralSettings settings = Settings(dir.path());
        settings.*c.off = false;
        const QByteArray lines = RunWithEveryKind(settings);
        EXPECT_TRUE(lines.contains("COMPLETED") && !lines.contains(c.dropped)) << c.dropped;
    }
    TempDir dir;
    GeneralSettings settings = Settings(dir.path());
    settings.flLogFileSuccess = settings.flLogFileErrors = settings.flLogDeletes = false;
    EXPECT_EQ(RunWithEveryKind(settings),
              "STARTED backup : " + Stamp() + "\nCOMPLETED backup : " + Stamp() + "\n");
    settings.flLogFileOn = false;
    fs::remove(LogFilePath(settings));
    EXPECT_EQ(RunWithEveryKind(settings), QByteArray());
}

TEST(LogFile, AMissingDirectorySwitchesLoggingOff)
{
    TempDir dir;
    GeneralSettings missing = Settings(dir / "missing");
    FakeClock clock;
    LogFile log(missing, clock);
    log.Open();
    EXPECT_FALSE(missing.flLogFileOn);
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

QByteArray Filler(qint64 size)
{
    QByteArray text(size, 'a');
    for (qint64 i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 26);
    return text;
}

TEST(LogFileTrim, KeepsTheLastMebibytesOnACharacterBoundary)
{
    const QByteArray filler = Filler(MiB);
    const QByteArray longer = Filler(MiB + 10);
    const struct
    {
        QByteArray log;
        qint16 limit;
        QByteArray kept;
    } cases[] = {
        {"x" + filler, 1, filler},
        {"\xc3\xa9" + filler.mid(1), 1, filler.mid(1)}, // cut inside a two-byte character
        {longer, 0, longer},
        {longer, 32767, longer}, // limits past 2 GiB need 64-bit sizes
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteFile(dir / "kelvo.log", c.log);
        TrimLogFile(dir / "kelvo.log", c.limit);
        EXPECT_EQ(ReadFile(dir / "kelvo.log"), c.kept) << "limit " << c.limit;
    }
}

int FailureNumber(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

TEST(LogFile, FullDiskRaisesAndTrimmingKeepsTheLog)
{
    TempDir dir;
    const std::string disk = dir / "disk";
    fs::create_directory(disk);
    const std::optional<int> result = test::InPrivateTmpfs(disk, 64 * 1024, [&] {
        FakeClock clock;
        GeneralSettings settings = Settings(disk);
        LogFile log(settings, clock);
        log.Open();
        try {
            WriteFile(disk + "/filler", QByteArray(64 * 1024, 'x'));
        } catch (const std::exception&) {
        }
        // The log's last page may still have room for a few lines.
        return FailureNumber([&] {
            for (int i = 0; i < 1000; ++i)
                log.Copied("/s/", "/d/", "a.txt");
        });
    });
    if (!result)
        GTEST_SKIP() << "no private tmpfs here";
    EXPECT_EQ(*result, ErrDiskFull);

    const std::optional<int> trim = test::InPrivateTmpfs(disk, MiB + MiB / 2, [&] {
        const QByteArray log = Filler(MiB + 1000);
        WriteFile(disk + "/kelvo.log", log);
        const int number = FailureNumber([&] { TrimLogFile(disk + "/kelvo.log", 1); });
        const bool onlyTheLog = std::distance(fs::directory_iterator(disk), fs::directory_iterator()) == 1;
        return ReadFile(disk + "/kelvo.log") == log && onlyTheLog ? number : 1;
    });
    EXPECT_EQ(trim, ErrDiskFull) << "1: the log changed or a temporary file was left";
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
