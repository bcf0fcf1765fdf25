#include "schedule/WatchedTree.h"

#include "platform/PartialFiles.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace kelvo {

namespace {

constexpr uint32_t ChangeMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// Every watched path is canonical or was just opened without following, so the last component is
// never a link; IN_DONT_FOLLOW keeps it so should a link take the directory's place meanwhile.
constexpr uint32_t WatchFlags = ChangeMask | IN_ONLYDIR | IN_DONT_FOLLOW;

std::string Join(const std::string& directory, std::string_view name)
{
    std::string path = directory;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

bool IsDirectory(int dirFd, const dirent& entry)
{
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_DIR;
    struct stat st = {};
    return fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

bool IsDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A directory that vanished or became something else between its listing and its opening: the change
// that did it has its own event.
bool IsGone(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

QString Shown(const std::string& path)
{
    return QFile::decodeName(path.c_str());
}

QString ErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString WatchLimit()
{
    QFile file(u"/proc/sys/fs/inotify/max_user_watches"_s);
    if (!file.open(QIODevice::ReadOnly))
        return u"fs.inotify.max_user_watches"_s;
    return u"fs.inotify.max_user_watches (%1)"_s.arg(QString::fromLatin1(file.readAll().trimmed()));
}

QString RootProblem(const std::string& directory, int error)
{
    if (error == ENOENT)
        return u"The directory %1 does not exist."_s.arg(Shown(directory));
    if (error == ENOTDIR)
        return u"%1 is not a directory."_s.arg(Shown(directory));
    return u"The directory %1 cannot be watched for changes: %2."_s.arg(Shown(directory), ErrorText(error));
}

} // namespace

WatchedTree::WatchedTree(const std::vector<std::string>& ignoredPaths) : m_ignoredPaths(ignoredPaths) {}

QString WatchedTree::Arm(const std::string& directory, bool subDirectories)
{
    char* resolved = realpath(directory.c_str(), nullptr);
    if (!resolved)
        return RootProblem(directory, errno);
    m_root = resolved;
    std::free(resolved);
    m_subDirectories = subDirectories;

    const int rootFd = open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return RootProblem(directory, errno);
    m_fd = FileDescriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!m_fd.isOpen()) {
        const int error = errno;
        close(rootFd);
        if (error == EMFILE)
            return u"Changes in %1 cannot be watched: the limit fs.inotify.max_user_instances, shared by all "
                   u"of the user's programs, is used up."_s.arg(Shown(directory));
        return RootProblem(directory, error);
    }
    m_rootWatch = addWatch(rootFd, m_root);
    if (m_rootWatch < 0) {
        const int error = errno;
        close(rootFd);
        const QString problem = walkProblem();
        m_fd = FileDescriptor();
        return problem.isEmpty() ? RootProblem(directory, error) : problem;
    }
    if (subDirectories)
        watchContents(rootFd, m_root);
    else
        close(rootFd);
    return walkProblem();
}

// Gives true when the directory, or one below it, holds anything but directories: a directory that
// appears with files in it is a change, one that is only made is not.
bool WatchedTree::watchAt(int atFd, const char* name, const std::string& path)
{
    if (m_outOfWatches)
        return false;
    const int fd = openat(atFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (!IsGone(errno))
            noteUnwatchable(path, errno);
        return false;
    }
    if (addWatch(fd, path) < 0) {
        close(fd);
        return false;
    }
    return watchContents(fd, path);
}

// The watch is in place before the listing starts, so a directory made while it runs is either
// listed or reported by an event; watching it twice is harmless.
bool WatchedTree::watchContents(int fd, const std::string& path)
{
    DIR* stream = fdopendir(fd);
    if (!stream) {
        close(fd);
        return false;
    }
    bool holdsFiles = false;
    while (const dirent* entry = readdir(stream)) {
        if (IsDotOrDotDot(entry->d_name) || IsPartialFileName(entry->d_name))
            continue;
        if (!IsDirectory(dirfd(stream), *entry)) {
            holdsFiles = holdsFiles || !isIgnored(Join(path, entry->d_name));
            continue;
        }
        const std::string child = Join(path, entry->d_name);
        if (isIgnored(child))
            continue;
        holdsFiles = watchAt(dirfd(stream), entry->d_name, child) || holdsFiles;
        if (m_outOfWatches)
            break;
    }
    closedir(stream);
    return holdsFiles;
}

int WatchedTree::addWatch(int fd, const std::string& path)
{
    int wd = inotify_add_watch(m_fd.get(), path.c_str(), WatchFlags);
    if (wd < 0 && errno == ENAMETOOLONG) {
        // Deeper than a path may be long: the open directory names itself.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        wd = inotify_add_watch(m_fd.get(), self.c_str(), ChangeMask | IN_ONLYDIR);
    }
    if (wd < 0) {
        if (errno == ENOSPC)
            m_outOfWatches = true;
        else if (!IsGone(errno))
            noteUnwatchable(path, errno);
        return -1;
    }
    m_paths.insert_or_assign(wd, path);
    return wd;
}

WatchedTree::Reading WatchedTree::Read(int maxBuffers, bool lastReading)
{
    Reading reading;
    alignas(inotify_event) char buffer[16 * 1024];
    bool overflowed = false;
    for (int filled = 0; filled < maxBuffers;) {
        const ssize_t size = read(m_fd.get(), buffer, sizeof buffer);
        if (size < 0 && errno == EINTR)
            continue;
        if (size < 0 && errno == EAGAIN) {
            reading.drained = true;
            break;
        }
        if (size <= 0) {
            reading.failed = true;
            break;
        }
        ++filled;
        for (ssize_t offset = 0; offset + ssize_t(sizeof(inotify_event)) <= size;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            const char* name = buffer + offset + sizeof event;
            const std::string_view nameView(name, strnlen(name, event.len));
            offset += ssize_t(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                overflowed = true;
                reading.changed = true;
                continue;
            }
            reading.changed = handle(event, nameView, lastReading) || reading.changed;
        }
    }
    if (overflowed && !lastReading && m_subDirectories)
        rewatchAll();
    return reading;
}

bool WatchedTree::handle(const inotify_event& event, std::string_view name, bool lastReading)
{
    if (event.mask & IN_IGNORED) {
        m_paths.erase(event.wd);
        return false;
    }
    const auto found = m_paths.find(event.wd);
    if (found == m_paths.end())
        return false; // a directory that has left the tree: its watch is on its way out
    if (name.empty()) {
        // About the watched directory itself: only losing the root or a file system matters.
        return (event.mask & IN_UNMOUNT) ||
               (event.wd == m_rootWatch && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)));
    }
    if (IsPartialFileName(name))
        return false;
    const std::string path = Join(found->second, name);
    if (isIgnored(path))
        return false;
    if (!(event.mask & IN_ISDIR))
        return true;
    return m_subDirectories && handleDirectoryEntry(event.mask, path, lastReading);
}

// A directory that was deleted had its files deleted first, each a change of its own; attributes
// of directories are no change of the set.
bool WatchedTree::handleDirectoryEntry(uint32_t mask, const std::string& path, bool lastReading)
{
    if (mask & IN_MOVED_FROM) {
        if (!lastReading)
            forgetBelow(path);
        return true;
    }
    if (mask & IN_MOVED_TO) {
        if (!lastReading)
            watchNewDirectory(path);
        return true;
    }
    if (mask & IN_CREATE)
        return lastReading || watchNewDirectory(path);
    return false;
}

// A directory that could not be watched may hold files nobody will hear about: that counts too.
bool WatchedTree::watchNewDirectory(const std::string& path)
{
    m_outOfWatches = false;
    const int unwatchableBefore = m_unwatchable;
    const bool holdsFiles = watchAt(AT_FDCWD, path.c_str(), path);
    return holdsFiles || m_outOfWatches || m_unwatchable != unwatchableBefore;
}

// Moved out of the tree, a directory keeps its watches and would report changes from elsewhere; moved
// within it, it is watched again under its new name.
void WatchedTree::forgetBelow(const std::string& path)
{
    for (auto it = m_paths.begin(); it != m_paths.end();) {
        const std::string& watched = it->second;
        if (watched.compare(0, path.size(), path) == 0 &&
            (watched.size() == path.size() || watched[path.size()] == '/')) {
            inotify_rm_watch(m_fd.get(), it->first);
            it = m_paths.erase(it);
        } else {
            ++it;
        }
    }
}

// After an overflow the events of new, moved and removed directories may be lost: walk the tree
// again and drop the watches it no longer reaches.
void WatchedTree::rewatchAll()
{
    std::unordered_map<int, std::string> previous;
    previous.swap(m_paths);
    m_outOfWatches = false;
    watchAt(AT_FDCWD, m_root.c_str(), m_root);
    for (const auto& [wd, path] : previous) {
        if (!m_paths.contains(wd))
            inotify_rm_watch(m_fd.get(), wd);
    }
}

bool WatchedTree::isIgnored(const std::string& path) const
{
    for (const std::string& ignored : m_ignoredPaths) {
        if (path.compare(0, ignored.size(), ignored) == 0 &&
            (path.size() == ignored.size() || path[ignored.size()] == '/'))
            return true;
    }
    return false;
}

void WatchedTree::noteUnwatchable(const std::string& path, int error)
{
    if (m_unwatchable++ == 0) {
        m_firstUnwatchable = path;
        m_firstError = error;
    }
}

QString WatchedTree::walkProblem() const
{
    if (m_outOfWatches && m_paths.empty())
        return u"Changes in %1 cannot be watched: the limit %2 on inotify watches, shared by all of the "
               u"user's programs, is used up."_s.arg(Shown(m_root), WatchLimit());
    if (m_outOfWatches)
        return u"Only %1 directories of %2 are watched for changes: the limit %3 on inotify watches, "
               u"shared by all of the user's programs, is used up."_s.arg(QString::number(m_paths.size()),
                                                                          Shown(m_root), WatchLimit());
    if (m_unwatchable == 1)
        return u"The directory %1 cannot be watched for changes: %2."_s.arg(Shown(m_firstUnwatchable),
                                                                            ErrorText(m_firstError));
    if (m_unwatchable > 1)
        return u"The directory %1 and %2 others cannot be watched for changes: %3."_s.arg(
            Shown(m_firstUnwatchable), QString::number(m_unwatchable - 1), ErrorText(m_firstError));
    return {};
}

} // namespace kelvo
