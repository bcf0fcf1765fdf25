#pragma once

#include <string>
#include <string_view>

namespace kelvo {

// Owns an open file descriptor (or none, -1). close() reports what the kernel says, because closing
// can report a write that failed late (a full disk on some file systems); the destructor closes
// quietly, for the ways out after a failure.
class FileDescriptor final
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    // Gives the descriptor up to the caller, who closes it.
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Raises kelvo::Failure for path when the close fails.
    void close(const std::string& path);

private:
    int m_fd = -1;
};

// Writes all of data, retrying short writes. A write that makes no progress means the disk is full
// (61); every other failure raises kelvo::Failure for path.
void WriteAll(int fd, std::string_view data, const std::string& path);

} // namespace kelvo
