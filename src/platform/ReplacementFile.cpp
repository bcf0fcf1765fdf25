#include "platform/ReplacementFile.h"

#include "platform/Failure.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace kelvo {

namespace {

// The directory part of name, with its "/", or "" for a plain name.
std::string DirectoryPart(const std::string& name)
{
    const auto slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

bool UnnamedFilesUnsupported(int err)
{
    return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

} // namespace

ReplacementFile::ReplacementFile(const FileLocation& destination)
    : m_destination(destination.path), m_directoryFd(destination.directoryFd), m_name(destination.lookupName())
{
    openUnnamed();
    if (m_fd < 0)
        openNamed();
}

ReplacementFile::~ReplacementFile()
{
    discard();
}

void ReplacementFile::openUnnamed()
{
    const std::string directory = DirectoryPart(m_name);
    m_fd = ::openat(m_directoryFd, directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                    0600);
    if (m_fd < 0 && !UnnamedFilesUnsupported(errno))
        RaiseErrno(errno, m_destination);
}

void ReplacementFile::openNamed()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName();
        m_fd = ::openat(m_directoryFd, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (m_fd >= 0) {
            m_tempName = name;
            return;
        }
        if (errno != EEXIST)
            RaiseErrno(errno, m_destination);
    }
    throw Failure(ErrPathFileAccess, m_destination);
}

// A hidden name beside the destination that no other copy picks by chance.
std::string ReplacementFile::temporaryName() const
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const std::string directory = DirectoryPart(m_name);
    return directory + "." + m_name.substr(directory.size()) + ".kelvo-" + std::to_string(random() % 1000000000ULL);
}

void ReplacementFile::write(const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            RaiseErrno(errno, m_destination);
        }
        if (written == 0)
            throw Failure(ErrDiskFull, m_destination);
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void ReplacementFile::commit()
{
    // A new file is linked straight to its name; only one that replaces a file needs the rename.
    if (m_tempName.empty() && linkUnnamedAs(m_name)) {
        closeFile();
        return;
    }
    if (m_tempName.empty())
        nameUnnamed();
    closeFile();
    if (::renameat(m_directoryFd, m_tempName.c_str(), m_directoryFd, m_name.c_str()) != 0)
        RaiseErrno(errno, m_destination);
    m_tempName.clear();
}

// Gives the unnamed file a name; false when a file of that name exists already.
bool ReplacementFile::linkUnnamedAs(const std::string& name)
{
    const std::string procPath = "/proc/self/fd/" + std::to_string(m_fd);
    if (::linkat(AT_FDCWD, procPath.c_str(), m_directoryFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST)
        RaiseErrno(errno, m_destination);
    return false;
}

// An unnamed file that must replace an existing one gets a hidden name for the instant before the rename.
void ReplacementFile::nameUnnamed()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName();
        if (linkUnnamedAs(name)) {
            m_tempName = name;
            return;
        }
    }
    throw Failure(ErrPathFileAccess, m_destination);
}

void ReplacementFile::closeFile()
{
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        RaiseErrno(errno, m_destination);
}

void ReplacementFile::discard() noexcept
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_tempName.empty())
        ::unlinkat(m_directoryFd, m_tempName.c_str(), 0);
    m_fd = -1;
    m_tempName.clear();
}

} // namespace kelvo
