#include "engine/LogFile.h"

#include "platform/Failure.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/ReplacementFile.h"

#include <QFile>
#include <QLocale>

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kelvo {

namespace {

constexpr qint64 BytesPerMebibyte = 1048576;
constexpr std::size_t CopyChunkSize = 64 * 1024;

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

} // namespace

std::string LogFilePath(const GeneralSettings& settings)
{
    return WithTrailingSeparator(ToFilePath(settings.StrLogFileDir)) + "kelvo.log";
}

LogFile::LogFile(GeneralSettings& settings, const Clock& clock) : m_settings(settings), m_clock(clock) {}

void LogFile::Open()
{
    if (!m_settings.flLogFileOn || m_log.isOpen())
        return;
    m_path = LogFilePath(m_settings);
    try {
        m_log = FileDescriptor(::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
        if (!m_log.isOpen())
            RaiseErrno(errno, m_path);
        WriteLine("STARTED backup : " + Stamp());
    } catch (const Failure&) {
        m_log = FileDescriptor();
        m_settings.flLogFileOn = false;
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

void LogFile::Note(const std::string& line)
{
    WriteLine(line);
}

void LogFile::Problem(const std::string& line)
{
    WriteErrorLine(line);
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

void LogFile::Close()
{
    if (!m_log.isOpen())
        return;
    FileDescriptor log = std::move(m_log);
    const bool logging = m_settings.flLogFileOn;
    if (logging)
        WriteAll(log.get(), "COMPLETED backup : " + Stamp() + '\n', m_path);
    log.close(m_path);
    if (logging)
        TrimLogFile(m_path, m_settings.IntLogFileSize);
}

// The settings can be reloaded while a run yields, so the switch is read again for every line; a log
// that was never opened stays closed.
void LogFile::WriteLine(const std::string& line)
{
    if (m_log.isOpen() && m_settings.flLogFileOn)
        WriteAll(m_log.get(), line + '\n', m_path);
}

void LogFile::WriteErrorLine(const std::string& line)
{
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
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0)
        RaiseErrno(errno, path);
    if (!S_ISREG(info.st_mode) || info.st_size <= limit)
        return;
    const FileDescriptor log(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!log.isOpen())
        RaiseErrno(errno, path);
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
