#include "platform/SettingsStore.h"

#include "platform/Failure.h"
#include "platform/FileDescriptor.h"
#include "platform/FilePath.h"
#include "platform/PrivateDirectories.h"
#include "platform/ReplacementFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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

// Marks an application's lock as held by this object for the life of the mark.
class HeldMark final
{
public:
    HeldMark(QSet<QString>& held, QString application) : m_held(held), m_application(std::move(application))
    {
        m_held.insert(m_application);
    }
    ~HeldMark() { m_held.remove(m_application); }
    HeldMark(const HeldMark&) = delete;
    HeldMark& operator=(const HeldMark&) = delete;

private:
    QSet<QString>& m_held;
    QString m_application;
};

[[noreturn]] void RefuseFile(const std::string& path, const std::string& reason)
{
    throw Failure(ErrPathFileAccess, path + " (" + reason + "; left as it is)");
}

// "64 MiB" for the real limit; the smaller ones of tests in bytes.
std::string SizeText(qint64 bytes)
{
    constexpr qint64 MiB = 1024 * 1024;
    if (bytes % MiB == 0)
        return std::to_string(bytes / MiB) + " MiB";
    if (bytes < MiB)
        return std::to_string(bytes) + " bytes";
    return QString::number(double(bytes) / MiB, 'f', 1).toStdString() + " MiB";
}

// O_NONBLOCK: a FIFO in the file's place must not hang the program before fstat can refuse it.
std::optional<QByteArray> ReadWholeFile(const std::string& path, qint64 largestFile)
{
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        RaiseErrno(errno, path);
    }
    struct stat info;
    if (::fstat(fd.get(), &info) != 0)
        RaiseErrno(errno, path);
    if (!S_ISREG(info.st_mode))
        RefuseFile(path, "not a regular file");
    const auto refuseLarger = [&] { RefuseFile(path, "larger than " + SizeText(largestFile)); };
    if (info.st_size > largestFile)
        refuseLarger();
    QByteArray contents;
    // One block of the file's size, not a doubling string that copies itself as it grows.
    contents.reserve(qsizetype(info.st_size) + 1);
    char buffer[65536];
    for (;;) {
        if (contents.size() > largestFile) // the file grew while it was read
            refuseLarger();
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count == 0)
            return contents;
        if (count > 0)
            contents.append(buffer, count);
        else if (errno != EINTR)
            RaiseErrno(errno, path);
    }
}

void MakeStoreDirectory(const QString& directory)
{
    const std::string path = ToFilePath(directory);
    if (const int err = MakeOwnDirectory(path))
        RaiseErrno(err, path);
}

std::string UnusedName(const std::string& stem)
{
    std::string candidate = stem;
    struct stat info;
    for (int n = 2; ::lstat(candidate.c_str(), &info) == 0; ++n)
        candidate = stem + "-" + std::to_string(n);
    return candidate;
}

void SetAside(const std::string& path)
{
    const std::string aside = UnusedName(
        path + ".unreadable-" + QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s).toStdString());
    if (::rename(path.c_str(), aside.c_str()) != 0)
        RaiseErrno(errno, path);
    // The person may put the copy back as the configuration: it must not be open to others meanwhile.
    WithholdWriteFromOthers(aside);
    Warn(u"kelvo: the settings file \"%1\" cannot be read; kept it as \"%2\" and started from defaults"_s.arg(
        QFile::decodeName(path.c_str()), QFile::decodeName(aside.c_str())));
}

// A process killed in the instant before a save's rename leaves its temporary file beside the file it
// was to replace. Under the lock no other save is under way, so every temporary file left is stale.
void RemoveStaleTemporaries(const QString& file)
{
    const QFileInfo info(file);
    QDir directory = info.absoluteDir();
    const QString pattern = QFile::decodeName(ReplacementNamePattern(ToFilePath(info.fileName())).c_str());
    for (const QString& name : directory.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::System))
        directory.remove(name);
}

} // namespace

QString UserConfigDirectory()
{
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString home = QDir::isAbsolutePath(configured) ? configured : QDir::homePath() + u"/.config"_s;
    return home + u"/kelvo"_s;
}

SettingsStore::SettingsStore() : SettingsStore(UserConfigDirectory()) {}

SettingsStore::SettingsStore(QString directory, qint64 largestFile)
    : m_directory(std::move(directory)), m_largestFile(largestFile)
{}

QString SettingsStore::filePath(const QString& application) const
{
    return m_directory + u'/' + application + u".conf"_s;
}

std::string SettingsStore::encodedFilePath(const QString& application) const
{
    return ToFilePath(filePath(application));
}

bool SettingsStore::Exists(const QString& application) const
{
    struct stat info;
    return ::lstat(encodedFilePath(application).c_str(), &info) == 0;
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
    const std::optional<QByteArray> contents = readFile(encodedFilePath(application));
    SettingsDocument document;
    if (!contents || document.parse(*contents))
        return document;
    // Setting the file aside must not race with a writer that has just replaced it with a good one.
    Exclusively(application, [&] { document = readLocked(application); });
    return document;
}

std::optional<QByteArray> SettingsStore::readFile(const std::string& path) const
{
    return ReadWholeFile(path, m_largestFile);
}

SettingsDocument SettingsStore::readLocked(const QString& application) const
{
    const std::string path = encodedFilePath(application);
    const std::optional<QByteArray> contents = readFile(path);
    SettingsDocument document;
    if (contents && !document.parse(*contents))
        SetAside(path);
    return document;
}

void SettingsStore::Exclusively(const QString& application, const std::function<void()>& work) const
{
    if (m_held.contains(application)) {
        work();
        return;
    }
    MakeStoreDirectory(m_directory);
    const StoreLock lock(encodedFilePath(application) + ".lock");
    const HeldMark mark(m_held, application);
    work();
}

void SettingsStore::Update(const QString& application, const std::function<void(SettingsDocument&)>& change)
{
    Exclusively(application, [&] {
        RemoveStaleTemporaries(FileBehindLinks(filePath(application)));
        SettingsDocument document = readLocked(application);
        change(document);
        const QByteArray contents = document.serialize();
        document = SettingsDocument(); // not held beside its text while the text is written
        write(application, contents);
    });
}

// A file this store would refuse to read must never replace one it can read.
void SettingsStore::write(const QString& application, const QByteArray& contents)
{
    if (contents.size() > m_largestFile) {
        RefuseFile(encodedFilePath(application), "not saved: the settings would take " +
                                                     SizeText(contents.size()) + ", more than the " +
                                                     SizeText(m_largestFile) + " a settings file may hold");
    }
    ReplaceUserFileOrThrow(filePath(application), contents, 0600);
}

void SettingsStore::Retire(const QString& application, const std::string& suffix)
{
    const std::string path = encodedFilePath(application);
    if (::rename(path.c_str(), UnusedName(path + "." + suffix).c_str()) != 0 && errno != ENOENT)
        RaiseErrno(errno, path);
}

} // namespace kelvo
