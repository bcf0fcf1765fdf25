#include "platform/CarriedAttributes.h"

#include "platform/DirectoryHandle.h"
#include "platform/Failure.h"
#include "platform/OtherAccounts.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace kelvo {

namespace {

bool SameTime(const timespec& one, const timespec& other)
{
    return one.tv_sec == other.tv_sec && one.tv_nsec == other.tv_nsec;
}

bool Refused(int err)
{
    return err == ENOTSUP || err == EOPNOTSUPP || err == EPERM || err == EACCES || err == ENOSPC ||
           err == E2BIG || err == ERANGE;
}

// The names of a file's extended attributes, as the kernel lists them: each ends with a NUL.
std::string AttributeNames(int fd)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size <= 0)
            return {};
        std::string names(static_cast<std::size_t>(size), '\0');
        const ssize_t got = flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return names;
        }
        if (errno != ERANGE) // another process added one meanwhile
            return {};
    }
    return {};
}

std::optional<std::string> AttributeValue(int fd, const char* name)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0)
            return std::nullopt;
        std::string value(static_cast<std::size_t>(size), '\0');
        const ssize_t got = fgetxattr(fd, name, value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return value;
        }
        if (errno != ERANGE)
            return std::nullopt;
    }
    return std::nullopt;
}

// The user's own attributes and the POSIX ACLs (a folder's default ACL too) travel with a copy.
bool IsCarriedAttribute(std::string_view name)
{
    return (name.starts_with("user.") && !name.starts_with("user.kelvo.")) ||
           name == "system.posix_acl_access" || name == "system.posix_acl_default";
}

} // namespace

void CarryExtendedAttributes(int sourceFd, int destinationFd, const std::string& destination)
{
    const std::string names = AttributeNames(sourceFd);
    for (std::size_t start = 0; start < names.size();) {
        const char* name = names.c_str() + start;
        start += std::strlen(name) + 1;
        if (!IsCarriedAttribute(name))
            continue;
        const std::optional<std::string> value = AttributeValue(sourceFd, name);
        if (value && fsetxattr(destinationFd, name, value->data(), value->size(), 0) != 0 && !Refused(errno))
            RaiseErrno(errno, destination);
    }
}

void CarryDirectoryMode(const DirectoryHandle& source, const DirectoryHandle& target, OwnerAccess access)
{
    const struct stat from = source.status();
    const struct stat to = target.status();
    const mode_t mode = CarriedMode(from.st_mode, from.st_uid) | (access == OwnerAccess::Full ? S_IRWXU : 0);
    if ((to.st_mode & 07777) != mode && fchmod(target.fd(), mode) != 0)
        RaiseErrno(errno, target.path());
    CarryExtendedAttributes(source.fd(), target.fd(), target.path());
}

std::optional<mode_t> GiveOwnerFullAccess(const DirectoryHandle& directory)
{
    const struct stat st = directory.status();
    if ((st.st_mode & S_IRWXU) == S_IRWXU)
        return std::nullopt;
    if (fchmod(directory.fd(), (st.st_mode & 07777) | S_IRWXU) != 0)
        RaiseErrno(errno, directory.path());
    return st.st_mode & 07777;
}

void RestoreMode(const DirectoryHandle& directory, mode_t mode)
{
    if (fchmod(directory.fd(), mode) != 0)
        RaiseErrno(errno, directory.path());
}

void CarryDirectoryTimes(const DirectoryHandle& source, const DirectoryHandle& target)
{
    const struct stat from = source.status();
    const struct stat to = target.status();
    if (SameTime(to.st_atim, from.st_atim) && SameTime(to.st_mtim, from.st_mtim))
        return;
    const timespec times[2] = {from.st_atim, from.st_mtim};
    if (futimens(target.fd(), times) != 0)
        RaiseErrno(errno, target.path());
}

} // namespace kelvo
