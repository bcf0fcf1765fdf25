#include "platform/Failure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace kelvo {

QString ErrorDescription(int number)
{
    switch (number) {
    case ErrInvalidArgument:
        return QStringLiteral("Invalid procedure call or argument");
    case ErrOverflow:
        return QStringLiteral("Overflow");
    case ErrFileNotFound:
        return QStringLiteral("File not found");
    case ErrDiskFull:
        return QStringLiteral("Disk full");
    case ErrPermissionDenied:
        return QStringLiteral("Permission denied");
    case ErrPathFileAccess:
        return QStringLiteral("Path/File access error");
    case ErrPathNotFound:
        return QStringLiteral("Path not found");
    default:
        return QStringLiteral("Application-defined or object-defined error");
    }
}

int ErrorNumberFromErrno(int err)
{
    switch (err) {
    case ENOENT:
        return ErrFileNotFound;
    case ENOTDIR:
        return ErrPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return ErrPermissionDenied;
    case ENOSPC:
    case EDQUOT:
        return ErrDiskFull;
    case EINVAL:
        return ErrInvalidArgument;
    default:
        return ErrPathFileAccess;
    }
}

Failure::Failure(int number, std::string path)
    : m_number(number), m_path(std::move(path)),
      m_what(ErrorDescription(number).toStdString() + (m_path.empty() ? "" : ": " + m_path))
{}

namespace {
bool ParentDirectoryExists(const std::string& path)
{
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/')
        parent.pop_back();
    const auto slash = parent.rfind('/');
    if (slash == std::string::npos)
        return true; // relative to the working directory, which exists
    parent.resize(slash == 0 ? 1 : slash);
    struct stat st = {};
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
} // namespace

void RaiseErrno(int err, const std::string& path)
{
    if (err == ENOENT && !ParentDirectoryExists(path))
        throw Failure(ErrPathNotFound, path);
    throw Failure(ErrorNumberFromErrno(err), path);
}

QString Outcome::systemText() const
{
    return QString::fromLocal8Bit(std::strerror(m_errno));
}

void Warn(const QString& line)
{
    std::fputs((line + u'\n').toLocal8Bit().constData(), stderr);
}

} // namespace kelvo
