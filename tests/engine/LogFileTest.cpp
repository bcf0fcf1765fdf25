#include "engine/LogFile.h"

#include "EngineFixture.h"
#include "platform/Failure.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

constexpr qint64 MiB = 1048576;

QByteArray Stamp()
{
    const QDateTime now = FixedClock().time;
    return QLocale::system().toString(now.date(), QLocale::LongFormat).toUtf8() + ' ' +
           QLocale::system().toString(now.time(), QLocale::LongFormat).toUtf8();
}

QByteArray Filler(qint64 size)
{
    return QByteArray("abcdefghijklmnopqrstuvwxyz").repeated(int(size / 26 + 1)).left(size);
}

GeneralSettings Settings(const std::string& directory)
{
    GeneralSettings settings;
    settings.StrLogFileDir = QString::fromStdString(directory);
    settings.flLogFileOn = settings.flLogFileSuccess = settings.flLogFileErrors = settings.flLogDeletes =
        true;
    return settings;
}

// A log directory of its own with every line switched on.
class LogFileTest : public ::testing::Test
{
protected:
    std::string path() const { return LogFilePath(settings); }
    QByteArray logText() const { return fs::exists(path()) ? ReadFile(path()) : QByteArray(); }

    QByteArray runWithEveryKind(bool stopped = false)
    {
        LogFile log(settings, clock, observer);
        log.Open();
        settings.flLogFileOn = true; // a reload during the run does not reopen the log
        log.Copied("/s/", "/d/", "a.txt");
        log.CopyFailed("/s/", "/d/", "b\xff\n\\.txt");
        log.Deleted("/d/", "c\r.txt");
        log.AccessError(QStringLiteral("Path not found"), "/d/x/");
        log.DiskFull("/d/", QStringLiteral("Disk full"));
        log.FileNotFound(QStringLiteral("File not found"));
        log.OtherError(QStringLiteral("Overflow"), 6, "/d/", "last\x01\xc2\x9d\xc2\xa0.txt");
        log.Note("skipped 2 special files");
        log.Problem("Error : /s/ is empty. Nothing is deleted from /d/");
        log.Close(stopped);
        return logText();
    }

    TempDir dir;
    FixedClock clock;
    RecordingObserver observer;
    GeneralSettings settings = Settings(dir.path());
};

// Control characters of names are escaped, so no name can end a line and forge the next; a C1 control
// (U+009D) is escaped too, a no-break space (U+00A0) is not.
TEST_F(LogFileTest, WritesTheExactLineOfEveryKindAndEveryErrorToTheObserver)
{
    const QByteArray body =
        "\nSUCCESS : Copied : /s/a.txt. To /d/a.txt\n"
        "ERROR : Failed to Copy : /s/b\xff\\n\\\\.txt. To /d/b\xff\\n\\\\.txt\n"
        "SUCCESS : Deleted : /d/c\\r.txt. The file was no longer present in the source directory\n"
        "Error : Path not found. Cannot access /d/x/\nError : Destination Directory /d/ Full!\n"
        "Error : Disk full\nError : File not found\nError : Overflow 6\nProblem Dest : "
        "/d/last\\x01\\xc2\\x9d\xc2\xa0.txt\n"
        "skipped 2 special files\nError : /s/ is empty. Nothing is deleted from /d/\n";
    const QByteArray completed =
        "STARTED backup : " + Stamp() + body + "COMPLETED backup : " + Stamp() + "\n";
    EXPECT_EQ(runWithEveryKind(), completed);
    EXPECT_EQ(runWithEveryKind(true),
              completed + "STARTED backup : " + Stamp() + body + "STOPPED backup : " + Stamp() + "\n")
        << "a second run appends";
    EXPECT_EQ(observer.errorLines.size(), 16u);
    EXPECT_EQ(observer.errorLines[1], QStringLiteral("Error : Path not found. Cannot access /d/x/"));
    EXPECT_EQ(fs::status(path()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(LogFileTest, EachKindHasItsOwnSwitchAndLoggingOffWritesNothing)
{
    for (const auto& [off, dropped] : {std::pair{&GeneralSettings::flLogFileSuccess, "Copied"},
                                       {&GeneralSettings::flLogDeletes, "Deleted"},
                                       {&GeneralSettings::flLogFileErrors, "rror"}}) {
        fs::remove(path());
        settings = Settings(dir.path());
        settings.*off = false;
        const QByteArray lines = runWithEveryKind();
        EXPECT_TRUE(lines.contains("COMPLETED") && !lines.contains(dropped)) << dropped;
    }
    EXPECT_EQ(observer.errorLines.size(), 24u) << "the observer hears of errors whatever the switches say";

    fs::remove(path());
    settings = Settings(dir.path());
    settings.flLogFileOn = false;
    EXPECT_EQ(runWithEveryKind(), QByteArray());

    // Switched off during the run: no line after that, not even the end line, and no trim.
    settings = Settings(dir.path());
    settings.IntLogFileSize = 1;
    const QByteArray old = QByteArray(2 * MiB, 'x') + '\n';
    WriteFile(path(), old);
    LogFile log(settings, clock, observer);
    log.Open();
    settings.flLogFileOn = false;
    log.Copied("/s/", "/d/", "a.txt");
    log.Close(false);
    EXPECT_EQ(logText(), old + "STARTED backup : " + Stamp() + "\n");
}

// A kelvo.log planted in a shared log directory must not make the run write to, or trim, another file.
TEST_F(LogFileTest, ALogThatCannotBeWrittenIsReportedAndNothingElseIsTouched)
{
    const auto opens = [this](const std::string& directory) {
        GeneralSettings settings = Settings(directory);
        LogFile(settings, clock, observer).Open();
        return settings.flLogFileOn;
    };
    EXPECT_FALSE(opens(dir / "missing"));
    EXPECT_FALSE(fs::exists(dir / "missing"));
    ASSERT_EQ(observer.errorLines.size(), 1u);
    EXPECT_TRUE(observer.errorLines[0].startsWith(QStringLiteral("Error : Cannot write the log ") +
                                                  QString::fromStdString(dir / "missing/kelvo.log")));

    const QByteArray victim = QByteArray(2 * MiB, 'v');
    WriteFile(dir / "victim", victim);
    fs::create_directory(dir / "shared");
    fs::create_symlink(dir / "victim", dir / "shared/kelvo.log");
    EXPECT_FALSE(opens(dir / "shared"));
    EXPECT_NE(FailureNumber([&] { TrimLogFile(dir / "shared/kelvo.log", 1); }), 0);
    EXPECT_EQ(ReadFile(dir / "victim"), victim);

    fs::remove(dir / "shared/kelvo.log");
    ASSERT_EQ(mkfifo((dir / "shared/kelvo.log").c_str(), 0600), 0);
    EXPECT_FALSE(opens(dir / "shared")); // returns instead of waiting for a reader
    EXPECT_EQ(observer.errorLines.size(), 3u);
}

// One process appends numbered lines while another trims the log again and again: every line is in
// the final log, in order.
TEST_F(LogFileTest, AppendsAndTrimsOfTwoProcessesLoseNoLine)
{
    WriteFile(path(), QByteArray(MiB, 'f') + '\n');
    const pid_t trimmer = fork();
    ASSERT_GE(trimmer, 0);
    if (trimmer == 0) {
        for (int i = 0; i < 40; ++i)
            TrimLogFile(path(), 1);
        _exit(0);
    }
    LogFile log(settings, clock, observer);
    log.Open();
    constexpr int Lines = 20000;
    for (int i = 0; i < Lines; ++i)
        log.Note("line " + std::to_string(i));
    int status = 0;
    waitpid(trimmer, &status, 0);
    log.Close(false);
    EXPECT_EQ(status, 0);
    int expected = 0;
    for (const QByteArray& line : logText().split('\n')) {
        if (line.startsWith("line ")) {
            ASSERT_EQ(line, "line " + QByteArray::number(expected++));
        }
    }
    EXPECT_EQ(expected, Lines);
}

TEST_F(LogFileTest, TrimKeepsTheLastMebibytesOnACharacterBoundary)
{
    const QByteArray filler = Filler(MiB);
    const QByteArray longer = Filler(MiB + 10);
    const std::tuple<QByteArray, qint16, QByteArray> cases[] = {
        {"x" + filler, 1, filler},
        {"\xc3\xa9" + filler.mid(1), 1, filler.mid(1)}, // cut inside a two-byte character
        {longer, 0, longer},
        {longer, 32767, longer}, // limits past 2 GiB need 64-bit sizes
    };
    for (const auto& [log, limit, kept] : cases) {
        WriteFile(path(), log);
        TrimLogFile(path(), limit);
        EXPECT_EQ(ReadFile(path()), kept) << "limit " << limit;
    }
}

TEST_F(LogFileTest, AFullDiskClosesTheLogOnceAndTrimmingKeepsIt)
{
    const std::optional<int> result = InPrivateTmpfs(dir.path(), 64 * 1024, [this] {
        LogFile log(settings, clock, observer);
        log.Open();
        try {
            WriteFile(dir / "filler", QByteArray(64 * 1024, 'x'));
        } catch (const std::exception&) {
        }
        // The log's last page may still have room for a few lines; then it closes, said once.
        const int number = FailureNumber([&] {
            for (int i = 0; i < 1000; ++i)
                log.Copied("/s/", "/d/", "a.txt");
            log.Close(false);
        });
        const bool saidOnce = observer.errorLines.size() == 1 &&
                              observer.errorLines[0].contains(QStringLiteral("Cannot write the log"));
        return number == 0 && saidOnce ? 0 : 1;
    });
    if (!result)
        GTEST_SKIP() << "no private tmpfs here";
    EXPECT_EQ(*result, 0);

    const std::optional<int> trim = InPrivateTmpfs(dir.path(), MiB + MiB / 2, [this] {
        const QByteArray log = Filler(MiB + 1000);
        WriteFile(path(), log);
        const int number = FailureNumber([&] { TrimLogFile(path(), 1); });
        const bool onlyTheLog =
            std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()) == 1;
        return ReadFile(path()) == log && onlyTheLog ? number : 1;
    });
    EXPECT_EQ(trim, ErrDiskFull) << "1: the log changed or a temporary file was left";
}

struct FakeViewer final : LogViewer
{
    void openTextFile(const QString& path) override { opened = path; }
    void showMessage(const QString& text) override { message = text; }
    QString opened, message;
};

TEST_F(LogFileTest, ViewOpensTheLogOrSaysItDoesNotExist)
{
    FakeViewer viewer;
    ViewLogFile(settings, viewer);
    EXPECT_EQ(viewer.opened + u'|' + viewer.message,
              u"|Log file : " + settings.StrLogFileDir + u"/kelvo.log : does not exist");
    WriteFile(path(), "STARTED");
    viewer = {};
    ViewLogFile(settings, viewer);
    EXPECT_EQ(viewer.opened + u'|' + viewer.message, QString::fromStdString(path()) + u'|');
}

} // namespace
} // namespace kelvo::test
