#include "platform/SettingsStore.h"

#include "platform/Failure.h"
#include "platform/FileDescriptor.h"
#include "platform/ReplacementFile.h"

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
    FileDescriptor m_fd;
};

std::optional<QByteArray> ReadWholeFile(const std::string& path)
{
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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

// Readers and a crash see either the old or the new contents; a short write on a full disk must not
// pass for a save.
void ReplaceFile(const std::string& path, const QByteArray& contents)
{
    ReplacementFile replacement(path);
    replacement.write(std::string_view(contents.constData(), static_cast<std::size_t>(contents.size())));
    replacement.commitDurably();
}

void CreateDirectories(const QString& directory)
{
    std::error_code error;
    std::filesystem::create_directories(ToFilePath(directory), error);
    if (error)
        RaiseErrno(error.value(), ToFilePath(directory));
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
    return ToFilePath(filePath(application));
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

// A process killed in the instant before a save's rename leaves its temporary file behind. Under the
// lock no other save is under way, so every temporary file left is stale.
void SettingsStore::removeStaleTemporaries(const QString& application) const
{
    QDir directory(m_directory);
    const QString pattern =
        QFile::decodeName(ReplacementNamePattern(ToFilePath(application + u".conf"_s)).c_str());
    const QStringList names = directory.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::System);
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
