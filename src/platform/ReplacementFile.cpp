#include "platform/ReplacementFile.h"

#include "platform/Failure.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace kelvo {

namespace {

std::string DirectoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden name beside the destination that no other copy picks by chance.
std::string TemporaryNameBeside(const std::string& destination)
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const std::string directory = DirectoryOf(destination);
    return (directory == "/" ? "" : directory) + "/." + NameOf(destination) + ".kelvo-" +
           std::to_string(random() % 1000000000ULL);
}

bool UnnamedFilesUnsupported(int err)
{
    return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

} // namespace

ReplacementFile::ReplacementFile(std::string destination) : m_destination(std::move(destination))
{
    const std::string directory = DirectoryOf(m_destination);
    openUnnamed(directory);
    if (m_fd < 0)
        openNamed();
}

ReplacementFile::~ReplacementFile()
{
    discard();
}

void ReplacementFile::openUnnamed(const std::string& directory)
{
    m_fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (m_fd < 0 && !UnnamedFilesUnsupported(errno))
        RaiseErrno(errno, m_destination);
}

void ReplacementFile::openNamed()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = TemporaryNameBeside(m_destination);
        m_fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (m_fd >= 0) {
            m_tempPath = path;
            return;
        }
        if (errno != EEXIST)
            RaiseErrno(errno, m_destination);
    }
    throw Failure(ErrPathFileAccess, m_destination);
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
    if (m_tempPath.empty() && linkUnnamedAs(m_destination)) {
        closeFile();
        return;
    }
    if (m_tempPath.empty())
        nameUnnamed();
    closeFile();
    if (::rename(m_tempPath.c_str(), m_destination.c_str()) != 0)
        RaiseErrno(errno, m_destination);
    m_tempPath.clear();
}

// Gives the unnamed file the name path; false when a file of that name exists already.
bool ReplacementFile::linkUnnamedAs(const std::string& path)
{
    const std::string procPath = "/proc/self/fd/" + std::to_string(m_fd);
    if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST)
        RaiseErrno(errno, m_destination);
    return false;
}

// An unnamed file that must replace an existing one gets a hidden name for the instant before the rename.
void ReplacementFile::nameUnnamed()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = TemporaryNameBeside(m_destination);
        if (linkUnnamedAs(path)) {
            m_tempPath = path;
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
    if (!m_tempPath.empty())
        ::unlink(m_tempPath.c_str());
    m_fd = -1;
    m_tempPath.clear();
}

} // namespace kelvo
