#include "EngineFixture.h"

#include <QLocale>

#include <sys/wait.h>

namespace kelvo::test {
namespace {

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

class LogFileTest : public EngineTest
{
protected:
    std::string path() const { return LogFilePath(settings); }
    QByteArray logText() const { return fs::exists(path()) ? ReadFile(path()) : QByteArray(); }
    // The text of each kind of line shows in the runs' tests; here, the names that need escaping.
    QByteArray runWithNames(bool stopped = false)
    {
        LogFile log(settings, clock, observer);
        log.Open();
        settings.flLogFileOn = true; // a reload during the run does not reopen the log
        log.Copied("/s/", "/d/", "a.txt");
        log.CopyFailed("/s/", "/d/", "b\xff\n\\.txt");
        log.Deleted("/d/", "c\r.txt");
        log.AccessError(QStringLiteral("Path not found"), "/d/x/");
        log.OtherError(QStringLiteral("Overflow"), 6, "/d/", "last\x01\xc2\x9d\xc2\xa0.txt");
        log.Close(stopped);
        return logText();
    }
    GeneralSettings& settings = configuration.settings;
    const std::string logDir = home("log");
};

// Control characters of names are escaped, so no name can end a line and forge the next; a C1 control
// (U+009D) is escaped too, a no-break space (U+00A0) is not.
TEST_F(LogFileTest, WritesEscapedNamesPrivatelyAndHowTheRunEnded)
{
    const QByteArray body =
        "\nSUCCESS : Copied : /s/a.txt. To /d/a.txt\n"
        "ERROR : Failed to Copy : /s/b\xff\\n\\\\.txt. To /d/b\xff\\n\\\\.txt\n"
        "SUCCESS : Deleted : /d/c\\r.txt. The file was no longer present in the source directory\n"
        "Error : Path not found. Cannot access /d/x/\nError : Overflow 6\nProblem Dest : "
        "/d/last\\x01\\xc2\\x9d\xc2\xa0.txt\n";
    const QByteArray completed =
        "STARTED backup : " + Stamp() + body + "COMPLETED backup : " + Stamp() + "\n";
    EXPECT_EQ(runWithNames(), completed);
    EXPECT_EQ(runWithNames(true),
              completed + "STARTED backup : " + Stamp() + body + "STOPPED backup : " + Stamp() + "\n");
    EXPECT_EQ(std::tuple(observer.errorLines.size(), observer.errorLines[1], ModeOf(path())),
              std::tuple(8u, QStringLiteral("Error : Path not found. Cannot access /d/x/"), 0600u));
    fs::remove(path());
    settings.flLogFileOn = false;
    EXPECT_EQ(runWithNames(), QByteArray());
    EXPECT_EQ(observer.errorLines.size(), 12u)
        << "the observer hears of errors whatever the log's switch says";
}

// A kelvo.log planted in a shared log directory must not make the run write to, or trim, another file.
TEST_F(LogFileTest, ALogThatCannotBeWrittenIsReportedAndNothingElseIsTouched)
{
    const auto opens = [this](const std::string& directory) {
        GeneralSettings other = settings;
        other.StrLogFileDir = QString::fromStdString(directory);
        LogFile(other, clock, observer).Open();
        return other.flLogFileOn;
    };
    EXPECT_FALSE(opens(home("missing")) || fs::exists(home("missing")));
    ASSERT_EQ(observer.errorLines.size(), 1u);
    EXPECT_TRUE(observer.errorLines[0].startsWith(QStringLiteral("Error : Cannot write the log ") +
                                                  QString::fromStdString(home("missing/kelvo.log"))));
    const QByteArray victim = QByteArray(2 * MiB, 'v');
    WriteFile(home("victim"), victim);
    fs::create_directory(home("shared"));
    fs::create_symlink(home("victim"), home("shared/kelvo.log"));
    EXPECT_FALSE(opens(home("shared")));
    EXPECT_NE(FailureNumber([&] { TrimLogFile(home("shared/kelvo.log"), 1); }), 0);
    EXPECT_EQ(ReadFile(home("victim")), victim);
    fs::remove(home("shared/kelvo.log"));
    ASSERT_EQ(mkfifo(home("shared/kelvo.log").c_str(), 0600), 0);
    EXPECT_FALSE(opens(home("shared"))); // returns instead of waiting for a reader
    EXPECT_EQ(observer.errorLines.size(), 3u);
}

// One process appends numbered lines while another trims the log again and again.
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

// Limits past 2 GiB need 64-bit sizes. On a full disk the log closes, and says so once; a trim that has no
// room leaves the log as it was.
TEST_F(LogFileTest, TrimKeepsTheLastMebibytesOnACharacterBoundaryAndAFullDiskLosesNoLog)
{
    const QByteArray filler = Filler(MiB), longer = Filler(MiB + 10);
    const std::tuple<QByteArray, qint16, QByteArray> cases[] = {
        {"x" + filler, 1, filler},
        {"\xc3\xa9" + filler.mid(1), 1, filler.mid(1)}, // cut inside a two-byte character
        {longer, 0, longer},
        {longer, 32767, longer},
    };
    for (const auto& [log, limit, kept] : cases) {
        WriteFile(path(), log);
        TrimLogFile(path(), limit);
        EXPECT_EQ(ReadFile(path()), kept) << "limit " << limit;
    }
    const std::optional<int> result = InPrivateTmpfs(logDir, 64 * 1024, [this] {
        LogFile log(settings, clock, observer);
        log.Open();
        try {
            WriteFile(logDir + "/filler", QByteArray(64 * 1024, 'x'));
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
    EXPECT_EQ(result.value_or(0), 0);
    const std::optional<int> trim = InPrivateTmpfs(logDir, MiB + MiB / 2, [this] {
        const QByteArray log = Filler(MiB + 1000);
        WriteFile(path(), log);
        const int number = FailureNumber([&] { TrimLogFile(path(), 1); });
        const bool onlyTheLog = std::distance(fs::directory_iterator(logDir), fs::directory_iterator()) == 1;
        return ReadFile(path()) == log && onlyTheLog ? number : 1;
    });
    EXPECT_EQ(trim.value_or(ErrDiskFull), ErrDiskFull) << "1: the log changed or a temporary file was left";
}

} // namespace
} // namespace kelvo::test
