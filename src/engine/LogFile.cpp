#include "engine/LogFile.h"

#include "platform/Failure.h"
#include "platform/FileDescriptor.h"
#include "platform/FilePath.h"
#include "platform/ReplacementFile.h"

#include <QFile>
#include <QLocale>

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kelvo {

namespace {

constexpr qint64 BytesPerMebibyte = 1048576;
constexpr std::size_t CopyChunkSize = 64 * 1024;
constexpr int LogAccess = O_WRONLY | O_APPEND | O_CREAT;

ssize_t ReadAt(int fd, char* buffer, std::size_t size, off_t offset, const std::string& path)
{
    for (;;) {
        const ssize_t count = ::pread(fd, buffer, size, offset);
        if (count >= 0)
            return count;
        if (errno != EINTR)
            RaiseErrno(errno, path);
    }
}

std::string Utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

bool IsUtf8Continuation(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// A UTF-8 character has at most three continuation bytes, so a cut never moves further than that.
off_t ForwardToCharacterStart(int fd, off_t cut, const std::string& path)
{
    char bytes[3];
    const ssize_t count = ReadAt(fd, bytes, sizeof bytes, cut, path);
    for (ssize_t i = 0; i < count && IsUtf8Continuation(bytes[i]); ++i)
        ++cut;
    return cut;
}

void CopyFrom(int source, off_t offset, ReplacementFile& target, const std::string& sourcePath)
{
    std::string buffer(CopyChunkSize, '\0');
    for (;;) {
        const ssize_t count = ReadAt(source, buffer.data(), buffer.size(), offset, sourcePath);
        if (count == 0)
            return;
        target.write(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
        offset += count;
    }
}

// The log is private to its user, and a link planted in its place is never followed; a FIFO or a
// device there is refused instead of blocking the run.
FileDescriptor OpenLog(const std::string& path, int access)
{
    FileDescriptor fd(::open(path.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd.isOpen())
        RaiseErrno(errno == ELOOP ? EPERM : errno, path);
    struct stat info = {};
    if (::fstat(fd.get(), &info) != 0)
        RaiseErrno(errno, path);
    if (!S_ISREG(info.st_mode))
        throw Failure(ErrPathFileAccess, path);
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Holds an flock on the log file at path for its life. Another process may have replaced the file
// (a trim) while this one waited: then the descriptor is reopened on the file now at path, so that no
// line goes to a file that has left its name.
class LockedLog final
{
public:
    LockedLog(FileDescriptor& fd, const std::string& path, int access) : m_fd(fd)
    {
        for (;;) {
            Lock(m_fd.get(), path);
            struct stat open = {};
            struct stat named = {};
            if (::fstat(m_fd.get(), &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
                SameFile(open, named))
                return;
            m_fd = OpenLog(path, access);
        }
    }
    ~LockedLog() { ::flock(m_fd.get(), LOCK_UN); }
    LockedLog(const LockedLog&) = delete;
    LockedLog& operator=(const LockedLog&) = delete;

private:
    static void Lock(int fd, const std::string& path)
    {
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOLCK || errno == EOPNOTSUPP)
                return; // a file system without locks: appends stay whole lines all the same
            RaiseErrno(errno, path);
        }
    }

    FileDescriptor& m_fd;
};

// U+0080 to U+009F in UTF-8: 0xc2 followed by 0x80 to 0x9f. Terminals take U+009B and U+009D for
// the starts of escape sequences, as they take ESC [ and ESC ].
bool StartsUtf8C1Control(const std::string& line, std::size_t i)
{
    return static_cast<unsigned char>(line[i]) == 0xc2 && i + 1 < line.size() &&
           (static_cast<unsigned char>(line[i + 1]) & 0xe0) == 0x80;
}

} // namespace

std::string EscapedLine(const std::string& line)
{
    static constexpr char Digits[] = "0123456789abcdef";
    const auto hex = [](std::string& out, unsigned char byte) {
        out += "\\x";
        out += Digits[byte >> 4];
        out += Digits[byte & 0xf];
    };
    std::string escaped;
    escaped.reserve(line.size() + 1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\t') {
            escaped += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            hex(escaped, byte);
        } else if (StartsUtf8C1Control(line, i)) {
            hex(escaped, byte);
            hex(escaped, static_cast<unsigned char>(line[++i]));
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string LogFilePath(const GeneralSettings& settings)
{
    return WithTrailingSeparator(ToFilePath(settings.StrLogFileDir)) + "kelvo.log";
}

LogFile::LogFile(GeneralSettings& settings, const Clock& clock, RunObserver& observer)
    : m_settings(settings), m_clock(clock), m_observer(observer)
{}

void LogFile::Open()
{
    if (!m_settings.flLogFileOn || m_log.isOpen())
        return;
    m_path = LogFilePath(m_settings);
    try {
        m_log = OpenLog(m_path, LogAccess);
        WriteLine("STARTED backup : " + Stamp());
    } catch (const Failure& failure) {
        m_log = FileDescriptor();
        m_settings.flLogFileOn = false;
        // The run goes on without a log, but never without saying so.
        reportUnavailable(failure);
    }
}

void LogFile::Copied(const std::string& d, const std::string& t, const std::string& f)
{
    if (m_settings.flLogFileSuccess)
        WriteLine("SUCCESS : Copied : " + d + f + ". To " + t + f);
}

void LogFile::CopyFailed(const std::string& d, const std::string& t, const std::string& f)
{
    WriteErrorLine("ERROR : Failed to Copy : " + d + f + ". To " + t + f);
}

void LogFile::Deleted(const std::string& t, const std::string& f)
{
    if (m_settings.flLogDeletes)
        WriteLine("SUCCESS : Deleted : " + t + f +
                  ". The file was no longer present in the source directory");
}

void LogFile::DeletedAndKept(const std::string& t, const std::string& f, const std::string& kept)
{
    if (m_settings.flLogDeletes)
        WriteLine("SUCCESS : Deleted : " + t + f +
                  ". The file was no longer present in the source directory; kept as " + kept);
}

void LogFile::DeletedKeptCopy(const std::string& path)
{
    if (m_settings.flLogDeletes)
        WriteLine("SUCCESS : Deleted kept copy : " + path);
}

void LogFile::Note(const std::string& line)
{
    WriteLine(line);
}

void LogFile::Problem(const std::string& line)
{
    WriteErrorLine(line);
}

void LogFile::ProblemOutsideRun(const std::string& line)
{
    writeOutsideRun([&] { WriteErrorLine(line + " : " + Stamp()); });
}

void LogFile::NoteOutsideRun(const std::string& line)
{
    writeOutsideRun([&] { WriteLine(line + " : " + Stamp()); });
}

void LogFile::writeOutsideRun(const std::function<void()>& write)
{
    if (m_settings.flLogFileOn && !m_log.isOpen()) {
        m_path = LogFilePath(m_settings);
        try {
            m_log = OpenLog(m_path, LogAccess);
        } catch (const Failure&) {
            // An error line still reaches the observer; a log that cannot be opened is no news here.
        }
    }
    write();
    if (m_log.isOpen()) {
        FileDescriptor log = std::move(m_log);
        try {
            log.close(m_path);
        } catch (const Failure&) {
            // The line is written; a close that reports a late failure has nothing more to lose.
        }
    }
}

void LogFile::AccessError(const QString& description, const std::string& t)
{
    WriteErrorLine("Error : " + Utf8(description) + ". Cannot access " + t);
}

void LogFile::DiskFull(const std::string& t, const QString& description)
{
    WriteErrorLine("Error : Destination Directory " + t + " Full!");
    WriteErrorLine("Error : " + Utf8(description));
}

void LogFile::FileNotFound(const QString& description)
{
    WriteErrorLine("Error : " + Utf8(description));
}

void LogFile::OtherError(const QString& description, int number, const std::string& t,
                         const std::string& lastSeen)
{
    WriteErrorLine("Error : " + Utf8(description) + ' ' + std::to_string(number));
    WriteErrorLine("Problem Dest : " + t + lastSeen);
}

void LogFile::Close(bool stopped)
{
    if (!m_log.isOpen())
        return;
    const bool logging = m_settings.flLogFileOn;
    WriteLine((stopped ? "STOPPED backup : " : "COMPLETED backup : ") + Stamp());
    FileDescriptor log = std::move(m_log);
    log.close(m_path);
    if (logging)
        TrimLogFile(m_path, m_settings.IntLogFileSize);
}

// The settings can be reloaded while a run yields, so the switch is read again for every line; a log
// that was never opened stays closed.
void LogFile::WriteLine(const std::string& line)
{
    if (!m_log.isOpen() || !m_settings.flLogFileOn)
        return;
    try {
        const LockedLog locked(m_log, m_path, LogAccess);
        WriteAll(m_log.get(), EscapedLine(line) + '\n', m_path);
    } catch (const Failure& failure) {
        // A log that cannot take a line (its disk is full) must not end the run, nor fail again for
        // every error line the run writes about that failure.
        m_log = FileDescriptor();
        reportUnavailable(failure);
    }
}

void LogFile::reportUnavailable(const Failure& failure)
{
    m_observer.errorReported(QStringLiteral("Error : Cannot write the log ") +
                             QFile::decodeName(QByteArray::fromStdString(EscapedLine(m_path))) +
                             QStringLiteral(" : ") + failure.description() +
                             QStringLiteral(". The run goes on without it"));
}

void LogFile::WriteErrorLine(const std::string& line)
{
    m_observer.errorReported(QFile::decodeName(QByteArray::fromStdString(EscapedLine(line))));
    if (m_settings.flLogFileErrors)
        WriteLine(line);
}

std::string LogFile::Stamp() const
{
    const QDateTime now = m_clock.now();
    const QLocale locale = QLocale::system();
    return Utf8(locale.toString(now.date(), QLocale::LongFormat) + u' ' +
                locale.toString(now.time(), QLocale::LongFormat));
}

void TrimLogFile(const std::string& path, qint16 sizeInMebibytes)
{
    if (sizeInMebibytes <= 0)
        return;
    const qint64 limit = BytesPerMebibyte * sizeInMebibytes;
    FileDescriptor log = OpenLog(path, O_RDONLY);
    // Under the log's lock, so that no line another run appends meanwhile is lost with the old file.
    const LockedLog locked(log, path, O_RDONLY);
    struct stat info = {};
    if (::fstat(log.get(), &info) != 0)
        RaiseErrno(errno, path);
    if (info.st_size <= limit)
        return;
    const off_t cut = ForwardToCharacterStart(log.get(), info.st_size - limit, path);
    ReplacementFile trimmed(path);
    CopyFrom(log.get(), cut, trimmed, path);
    trimmed.keepDestinationPermissions();
    trimmed.commitDurably();
}

void ViewLogFile(const GeneralSettings& settings, LogViewer& viewer)
{
    const std::string path = LogFilePath(settings);
    const QString name = QFile::decodeName(QByteArray::fromStdString(path));
    if (FileExists(path))
        viewer.openTextFile(name);
    else
        viewer.showMessage(QStringLiteral("Log file : ") + name + QStringLiteral(" : does not exist"));
}

} // namespace kelvo
