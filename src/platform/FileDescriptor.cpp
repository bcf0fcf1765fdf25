#include "platform/FileDescriptor.h"

#include "platform/Failure.h"

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace kelvo {

FileDescriptor::~FileDescriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void FileDescriptor::close(const std::string& path)
{
    if (::close(std::exchange(m_fd, -1)) != 0)
        RaiseErrno(errno, path);
}

void WriteAll(int fd, std::string_view data, const std::string& path)
{
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            RaiseErrno(errno, path);
        if (written == 0)
            throw Failure(ErrDiskFull, path);
        data.remove_prefix(static_cast<std::size_t>(written));
    }
}

} // namespace kelvo
