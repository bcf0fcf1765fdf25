#include "platform/FilePath.h"

#include "platform/DirectoryHandle.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace kelvo {

namespace {

int StatAt(const FileLocation& location, struct stat& st, int flags)
{
    return location.at([&](int fd, const char* name) { return fstatat(fd, name, &st, flags); });
}

std::string StripTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

std::string ToFilePath(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

std::string WithTrailingSeparator(std::string path)
{
    if (!path.ends_with('/'))
        path += '/';
    return path;
}

bool FileExists(const std::string& path)
{
    if (path.empty())
        return false;
    const FileLocation location(path);
    struct stat st = {};
    if (StatAt(location, st, 0) == 0)
        return !S_ISDIR(st.st_mode);
    return errno == ENOENT && StatAt(location, st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool FolderExists(const std::string& path)
{
    struct stat st = {};
    return !path.empty() && StatAt(path, st, 0) == 0 && S_ISDIR(st.st_mode);
}

std::string GetFileName(const std::string& path)
{
    const std::string stripped = StripTrailingSlashes(path);
    if (stripped == "/")
        return {};
    const auto slash = stripped.rfind('/');
    return slash == std::string::npos ? stripped : stripped.substr(slash + 1);
}

std::string GetFolderPart(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace kelvo
