#include "platform/ReplacementFile.h"

#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/PartialFiles.h"
#include "platform/PrivateDirectories.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvo {

namespace {

std::atomic<bool> g_forceNamed{false};

std::string RandomPartialName(const std::string& name)
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const std::string directory = GetFolderPart(name);
    return directory + PartialFileName(name.substr(directory.size()), random());
}

bool UnnamedFilesUnsupported(int err)
{
    return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

} // namespace

ReplacementFile::ReplacementFile(const FileLocation& destination, mode_t creationMode)
    : m_location(destination), m_destination(destination.path), m_directoryFd(destination.directoryFd),
      m_name(destination.lookupName())
{
    destination.raiseLookupError();
    if (!g_forceNamed)
        openUnnamed(creationMode);
    if (!m_fd.isOpen())
        openNamed(creationMode);
}

ReplacementFile::~ReplacementFile()
{
    discard();
}

void ReplacementFile::openUnnamed(mode_t mode)
{
    const std::string directory = GetFolderPart(m_name);
    m_fd = FileDescriptor(::openat(m_directoryFd, directory.empty() ? "." : directory.c_str(),
                                   O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (!m_fd.isOpen() && !UnnamedFilesUnsupported(errno))
        RaiseErrno(errno, m_destination);
}

void ReplacementFile::openNamed(mode_t mode)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName();
        m_fd = FileDescriptor(
            ::openat(m_directoryFd, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode));
        if (!m_fd.isOpen() && errno != EEXIST)
            RaiseErrno(errno, m_destination);
        if (m_fd.isOpen() && ClaimPartialFile(m_fd.get())) {
            m_tempName = name;
            return;
        }
    }
    throw Failure(ErrPathFileAccess, m_destination);
}

// A hidden name beside the destination that no other copy picks by chance.
std::string ReplacementFile::temporaryName() const
{
    return RandomPartialName(m_name);
}

void ReplacementFile::write(std::string_view data)
{
    WriteAll(m_fd.get(), data, m_destination);
}

void ReplacementFile::keepDestinationPermissions()
{
    struct stat info = {};
    if (::fstatat(m_directoryFd, m_name.c_str(), &info, 0) != 0) {
        if (errno == ENOENT)
            return;
        RaiseErrno(errno, m_destination);
    }
    // A file of the user's that others could write to (an autostart entry an older version made 0666)
    // is closed to them when it is replaced.
    if (::fchmod(m_fd.get(), info.st_mode & 07777 & ~(S_IWGRP | S_IWOTH)) != 0)
        RaiseErrno(errno, m_destination);
}

void ReplacementFile::commit()
{
    // A new file is linked straight to its name; only one that replaces a file needs the rename.
    if (m_tempName.empty() && linkUnnamedAs(m_name)) {
        m_fd.close(m_destination);
        return;
    }
    if (m_tempName.empty())
        nameUnnamed();
    m_fd.close(m_destination);
    if (::renameat(m_directoryFd, m_tempName.c_str(), m_directoryFd, m_name.c_str()) != 0)
        RaiseErrno(errno, m_destination);
    m_tempName.clear();
}

void ReplacementFile::commitDurably()
{
    if (::fsync(m_fd.get()) != 0)
        RaiseErrno(errno, m_destination);
    commit();
    syncDirectory();
}

// Gives the unnamed file a name; false when a file of that name exists already.
bool ReplacementFile::linkUnnamedAs(const std::string& name)
{
    const std::string procPath = "/proc/self/fd/" + std::to_string(m_fd.get());
    if (::linkat(AT_FDCWD, procPath.c_str(), m_directoryFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST)
        RaiseErrno(errno, m_destination);
    return false;
}

// An unnamed file that must replace an existing one gets a hidden name for the instant before the rename.
void ReplacementFile::nameUnnamed()
{
    ClaimPartialFile(m_fd.get()); // before the name exists, so no cleaner ever takes it for stale
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName();
        if (linkUnnamedAs(name)) {
            m_tempName = name;
            return;
        }
    }
    throw Failure(ErrPathFileAccess, m_destination);
}

void ReplacementFile::syncDirectory() const
{
    const std::string directory = GetFolderPart(m_name);
    const FileDescriptor fd(::openat(m_directoryFd, directory.empty() ? "." : directory.c_str(),
                                     O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot sync a directory (EINVAL); the rename is then as durable as they allow.
    if (!fd.isOpen() || (::fsync(fd.get()) != 0 && errno != EINVAL))
        RaiseErrno(errno, m_destination);
}

void ReplacementFile::discard() noexcept
{
    m_fd = FileDescriptor();
    if (!m_tempName.empty())
        ::unlinkat(m_directoryFd, m_tempName.c_str(), 0);
    m_tempName.clear();
}

namespace {

// Makes an entry under a partial name beside destination with make (0 or an errno), lets prepare finish
// it there, and renames it over the destination; nothing stays under the partial name after a failure.
void ReplaceWithNewEntry(const FileLocation& destination, const std::function<int(int, const char*)>& make,
                         const std::function<void(int directoryFd, const std::string& name)>& prepare)
{
    destination.raiseLookupError();
    const int directoryFd = destination.directoryFd;
    const std::string name = destination.lookupName();
    std::string partial;
    for (int attempt = 0;; ++attempt) {
        partial = RandomPartialName(name);
        const int err = make(directoryFd, partial.c_str());
        if (err == 0)
            break;
        if (err != EEXIST || attempt == 100)
            RaiseErrno(err, destination.path);
    }
    try {
        prepare(directoryFd, partial);
        if (::renameat(directoryFd, partial.c_str(), directoryFd, name.c_str()) != 0)
            RaiseErrno(errno, destination.path);
    } catch (...) {
        ::unlinkat(directoryFd, partial.c_str(), 0);
        throw;
    }
}

} // namespace

void ReplaceWithSymbolicLink(const FileLocation& destination, const std::string& text,
                             const std::function<void(int directoryFd, const std::string& name)>& prepare)
{
    ReplaceWithNewEntry(
        destination,
        [&](int directoryFd, const char* partial) {
            return ::symlinkat(text.c_str(), directoryFd, partial) == 0 ? 0 : errno;
        },
        prepare);
}

void ReplaceWithHardLink(const FileLocation& destination, const FileLocation& existing,
                         const std::function<void(int directoryFd, const std::string& name)>& prepare)
{
    existing.raiseLookupError();
    ReplaceWithNewEntry(
        destination,
        [&](int directoryFd, const char* partial) {
            return ::linkat(existing.directoryFd, existing.lookupName(), directoryFd, partial, 0) == 0
                       ? 0
                       : errno;
        },
        prepare);
}

void ForceNamedReplacements(bool force)
{
    g_forceNamed = force;
}

std::string ReplacementNamePattern(const std::string& fileName)
{
    return "." + fileName + ".kelvo-partial-*";
}

QString FileBehindLinks(QString path)
{
    for (int depth = 0; depth < 40 && QFileInfo(path).isSymLink(); ++depth)
        path = QFileInfo(path).symLinkTarget();
    return path;
}

namespace {

// The owner's write bit is what the user clears to protect a file, and it holds even for root.
bool IsReadOnly(const QFileInfo& file)
{
    return file.exists() && (!file.isWritable() || !file.permissions().testFlag(QFileDevice::WriteOwner));
}

// The errno value closest to a failure number, for the messages that callers make with strerror.
int ErrnoValue(const Failure& failure)
{
    switch (failure.number()) {
    case ErrDiskFull:
        return ENOSPC;
    case ErrPermissionDenied:
        return EACCES;
    case ErrFileNotFound:
    case ErrPathNotFound:
        return ENOENT;
    case ErrInvalidArgument:
        return EINVAL;
    default:
        return EIO;
    }
}

} // namespace

void ReplaceUserFileOrThrow(const QString& path, const QByteArray& contents, mode_t creationMode)
{
    const QFileInfo file(FileBehindLinks(path));
    const std::string target = QFile::encodeName(file.filePath()).toStdString();
    if (IsReadOnly(file))
        throw Failure(ErrPermissionDenied, target + " (read-only; left unchanged)");
    const std::string directory = ToFilePath(file.absolutePath());
    if (const int err = MakePrivateDirectories(directory))
        RaiseErrno(err, directory);
    ReplacementFile replacement(target, creationMode);
    replacement.keepDestinationPermissions();
    replacement.write(std::string_view(contents.constData(), static_cast<std::size_t>(contents.size())));
    replacement.commitDurably();
}

Outcome ReplaceUserFile(const QString& path, const QByteArray& contents, mode_t creationMode)
{
    try {
        ReplaceUserFileOrThrow(path, contents, creationMode);
        return Outcome::Success();
    } catch (const Failure& failure) {
        return Outcome::FromErrno(ErrnoValue(failure));
    }
}

} // namespace kelvo
