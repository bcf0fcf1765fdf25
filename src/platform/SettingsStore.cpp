#include "platform/SettingsStore.h"

#include "platform/Failure.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace kelvo {

namespace {

std::string Encoded(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

std::string ParentDirectory(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

// Closes a descriptor on every way out.
class Descriptor final
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    // Closing can report a write that failed late (a full disk on some file systems).
    int close() { return ::close(std::exchange(m_fd, -1)); }

private:
    int m_fd;
};

// An exclusive lock on a file beside the settings file. The settings file itself is replaced by
// every save, so a lock on it would not be seen by the next writer.
class StoreLock final
{
public:
    explicit StoreLock(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (m_fd.get() < 0)
            RaiseErrno(errno, path);
        while (::flock(m_fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                RaiseErrno(errno, path);
        }
    }

private:
    Descriptor m_fd;
};

std::optional<QByteArray> ReadWholeFile(const std::string& path)
{
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        RaiseErrno(errno, path);
    }
    QByteArray contents;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count == 0)
            return contents;
        if (count > 0)
            contents.append(buffer, count);
        else if (errno != EINTR)
            RaiseErrno(errno, path);
    }
}

void WriteAll(int fd, const QByteArray& bytes, const std::string& path)
{
    for (qsizetype written = 0; written < bytes.size();) {
        const ssize_t count = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (count > 0)
            written += count;
        else if (count == 0)
            RaiseErrno(ENOSPC, path);
        else if (errno != EINTR)
            RaiseErrno(errno, path);
    }
}

void SyncDirectory(const std::string& directory)
{
    Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot sync a directory (EINVAL); the rename is then as durable as they allow.
    if (fd.get() < 0 || (::fsync(fd.get()) != 0 && errno != EINVAL))
        RaiseErrno(errno, directory);
}

// Writes a temporary file beside path and renames it over path, so that readers and a crash see
// either the old or the new contents. Every byte count, the flush and the close are checked: a
// short write on a full disk must not pass for a save.
void ReplaceFile(const std::string& path, const QByteArray& contents)
{
    std::string temporary = path + ".tmp-XXXXXX";
    Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0)
        RaiseErrno(errno, path);
    try {
        WriteAll(fd.get(), contents, path);
        if (::fsync(fd.get()) != 0 || fd.close() != 0 || ::rename(temporary.c_str(), path.c_str()) != 0)
            RaiseErrno(errno, path);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    SyncDirectory(ParentDirectory(path));
}

void CreateDirectories(const QString& directory)
{
    std::error_code error;
    std::filesystem::create_directories(Encoded(directory), error);
    if (error)
        RaiseErrno(error.value(), Encoded(directory));
}

std::string AsideName(const std::string& path)
{
    const std::string stem =
        path + ".unreadable-" + QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s).toStdString();
    std::string candidate = stem;
    struct stat info;
    for (int n = 2; ::lstat(candidate.c_str(), &info) == 0; ++n)
        candidate = stem + "-" + std::to_string(n);
    return candidate;
}

void SetAside(const std::string& path)
{
    const std::string aside = AsideName(path);
    if (::rename(path.c_str(), aside.c_str()) != 0)
        RaiseErrno(errno, path);
    std::fprintf(stderr,
                 "kelvo: the settings file \"%s\" cannot be read; kept it as \"%s\" and started from "
                 "defaults\n",
                 path.c_str(), aside.c_str());
}

} // namespace

SettingsStore::SettingsStore()
    : SettingsStore(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/kelvo"_s)
{}

SettingsStore::SettingsStore(QString directory) : m_directory(std::move(directory)) {}

QString SettingsStore::filePath(const QString& application) const
{
    return m_directory + u'/' + application + u".conf"_s;
}

std::string SettingsStore::encodedFilePath(const QString& application) const
{
    return Encoded(filePath(application));
}

QString SettingsStore::GetSetting(const QString& application, const QString& section, const QString& key,
                                  const QString& defaultValue) const
{
    return Read(application).GetSetting(section, key, defaultValue);
}

void SettingsStore::SaveSetting(const QString& application, const QString& section, const QString& key,
                                const QString& value)
{
    Update(application, [&](SettingsDocument& document) { document.SaveSetting(section, key, value); });
}

void SettingsStore::DeleteSetting(const QString& application, const QString& section)
{
    Update(application, [&](SettingsDocument& document) {
        if (!document.DeleteSetting(section))
            throw Failure(ErrInvalidArgument, encodedFilePath(application));
    });
}

SettingPairs SettingsStore::GetAllSettings(const QString& application, const QString& section) const
{
    return Read(application).GetAllSettings(section);
}

SettingsDocument SettingsStore::Read(const QString& application) const
{
    const std::optional<QByteArray> contents = ReadWholeFile(encodedFilePath(application));
    SettingsDocument document;
    if (!contents || document.parse(*contents))
        return document;
    // Setting the file aside must not race with a writer that has just replaced it with a good one.
    const StoreLock lock(encodedFilePath(application) + ".lock");
    return readLocked(application);
}

SettingsDocument SettingsStore::readLocked(const QString& application) const
{
    const std::string path = encodedFilePath(application);
    const std::optional<QByteArray> contents = ReadWholeFile(path);
    SettingsDocument document;
    if (contents && !document.parse(*contents))
        SetAside(path);
    return document;
}

// A process killed in the middle of a save leaves its temporary file behind. Under the lock no
// other save is under way, so every temporary file left is stale.
void SettingsStore::removeStaleTemporaries(const QString& application) const
{
    QDir directory(m_directory);
    const QStringList names =
        directory.entryList({application + u".conf.tmp-*"_s}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names)
        directory.remove(name);
}

void SettingsStore::Update(const QString& application, const std::function<void(SettingsDocument&)>& change)
{
    CreateDirectories(m_directory);
    const std::string path = encodedFilePath(application);
    const StoreLock lock(path + ".lock");
    removeStaleTemporaries(application);
    SettingsDocument document = readLocked(application);
    change(document);
    ReplaceFile(path, document.serialize());
}

} // namespace kelvo
