#include "platform/PrivateDirectories.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvo {

namespace {

constexpr mode_t PrivateFolderMode = 0700;
constexpr mode_t OthersWrite = S_IWGRP | S_IWOTH;

// The folder above path, or "" for a relative name of one component.
std::string ParentOf(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

int ExistingFolder(const std::string& directory)
{
    struct stat info = {};
    if (::stat(directory.c_str(), &info) != 0)
        return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

int MakeFolder(const std::string& directory)
{
    if (::mkdir(directory.c_str(), PrivateFolderMode) == 0)
        return 0;
    return errno == EEXIST ? ExistingFolder(directory) : errno;
}

} // namespace

// Tries the whole path first: the folders are nearly always there, and one call tells so.
int MakePrivateDirectories(const std::string& directory)
{
    const int err = MakeFolder(directory);
    if (err != ENOENT)
        return err;
    const std::string parent = ParentOf(directory);
    if (parent.empty() || parent == directory)
        return err;
    if (const int parentErr = MakePrivateDirectories(parent))
        return parentErr;
    return MakeFolder(directory);
}

int MakeOwnDirectory(const std::string& directory)
{
    const int err = MakePrivateDirectories(directory);
    if (err == 0)
        WithholdWriteFromOthers(directory);
    return err;
}

void WithholdWriteFromOthers(const std::string& path)
{
    struct stat info = {};
    if (::lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode) || info.st_uid != ::geteuid() ||
        !(info.st_mode & OthersWrite))
        return;
    ::chmod(path.c_str(), info.st_mode & 07777 & ~OthersWrite);
}

} // namespace kelvo
