#include "platform/AttributeRecordStore.h"

#include "platform/DirectoryHandle.h"
#include "platform/Failure.h"
#include "platform/PrivateDirectories.h"
#include "platform/ReplacementFile.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kelvo {

namespace {

std::atomic<bool> g_forceStore{false};

class FileLock final
{
public:
    explicit FileLock(int fd) : m_fd(fd)
    {
        while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { flock(m_fd, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_fd;
};

std::string HomeDirectory()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "/";
}

std::string DirectoryOf(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

std::optional<quint64> ParseNumber(std::string_view text)
{
    quint64 value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string RecordLine(FileKey key, std::string_view name, std::optional<std::string_view> value)
{
    std::string line = std::to_string(key.device);
    line += ' ';
    line += std::to_string(key.inode);
    line += ' ';
    line += name;
    if (value) {
        line += ' ';
        line += *value;
    }
    line += '\n';
    return line;
}

bool EndsInsideALine(int fd)
{
    struct stat st = {};
    char last = '\n';
    return fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
}

} // namespace

AttributeRecordStore::AttributeRecordStore(std::string path) : m_path(std::move(path)) {}

std::string AttributeRecordStore::DefaultPath()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    const std::string base = data && data[0] == '/' ? std::string(data) : HomeDirectory() + "/.local/share";
    return base + "/kelvo/attribute-records";
}

std::optional<std::string> AttributeRecordStore::Get(FileKey key, std::string_view name)
{
    Refresh();
    const auto it = m_records.find({key.device, key.inode, std::string(name)});
    if (it == m_records.end())
        return std::nullopt;
    return it->second;
}

void AttributeRecordStore::Set(FileKey key, std::string_view name, std::string_view value)
{
    if (Get(key, name) == value)
        return;
    Append(RecordLine(key, name, value));
}

void AttributeRecordStore::Remove(FileKey key, std::string_view name)
{
    if (Get(key, name))
        Append(RecordLine(key, name, std::nullopt));
}

void AttributeRecordStore::Forget(FileKey key)
{
    Refresh();
    std::string lines;
    for (auto it = m_records.lower_bound({key.device, key.inode, std::string()});
         it != m_records.end() && std::get<0>(it->first) == key.device && std::get<1>(it->first) == key.inode;
         ++it)
        lines += RecordLine(key, std::get<2>(it->first), std::nullopt);
    if (!lines.empty())
        Append(lines);
}

// Follows the file as other processes append to it; a new file (another process compacted it) is read
// afresh.
void AttributeRecordStore::Refresh()
{
    struct stat st = {};
    if (stat(m_path.c_str(), &st) != 0) {
        m_records.clear();
        m_fileInode = 0;
        m_readOffset = 0;
        m_lineCount = 0;
        return;
    }
    if (!m_loaded) {
        m_loaded = true;
        Load();
        if (m_lineCount > m_records.size())
            Compact();
        return;
    }
    if (st.st_ino != m_fileInode || st.st_size < m_readOffset)
        Load();
    else if (st.st_size > m_readOffset)
        ReadFrom(m_readOffset);
}

void AttributeRecordStore::Load()
{
    m_records.clear();
    m_readOffset = 0;
    m_lineCount = 0;
    ReadFrom(0);
}

void AttributeRecordStore::ReadFrom(off_t offset)
{
    const FileDescriptor file(open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0)
        return;
    struct stat st = {};
    if (fstat(fd, &st) != 0)
        return;
    if (st.st_ino != m_fileInode) {
        m_fileInode = st.st_ino;
        if (offset != 0) {
            m_records.clear();
            m_lineCount = 0;
            offset = 0;
        }
    }
    std::string text(static_cast<std::size_t>(st.st_size > offset ? st.st_size - offset : 0), '\0');
    const ssize_t n = pread(fd, text.data(), text.size(), offset);
    if (n <= 0)
        return;
    text.resize(static_cast<std::size_t>(n));
    // A line another process is still writing is read on the next refresh.
    const std::size_t complete = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
    for (std::size_t start = 0; start < complete;) {
        const std::size_t end = text.find('\n', start);
        ApplyLine(std::string_view(text).substr(start, end - start));
        start = end + 1;
    }
    m_readOffset = offset + static_cast<off_t>(complete);
}

void AttributeRecordStore::ApplyLine(std::string_view line)
{
    ++m_lineCount;
    const auto first = line.find(' ');
    const auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos)
        return;
    const auto third = line.find(' ', second + 1);
    const std::optional<quint64> device = ParseNumber(line.substr(0, first));
    const std::optional<quint64> inode = ParseNumber(line.substr(first + 1, second - first - 1));
    if (!device || !inode)
        return;
    RecordId id{*device, *inode, std::string(line.substr(second + 1, third - second - 1))};
    if (third == std::string_view::npos)
        m_records.erase(id);
    else
        m_records[std::move(id)] = std::string(line.substr(third + 1));
}

// Rewrites the file with only the records that still hold; a crash leaves either the old or the new file.
void AttributeRecordStore::Compact()
{
    const FileLock lock(LockFd());
    Load();
    std::string text;
    for (const auto& [id, value] : m_records)
        text += RecordLine({std::get<0>(id), std::get<1>(id)}, std::get<2>(id), value);
    try {
        ReplacementFile compacted(m_path);
        compacted.write(text);
        compacted.commitDurably();
    } catch (const Failure&) {
        return; // the records stay valid uncompacted
    }
    Load();
}

void AttributeRecordStore::Append(const std::string& lines)
{
    const FileLock lock(LockFd());
    const FileDescriptor file(open(m_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!file.isOpen())
        RaiseErrno(errno, m_path);
    // A process killed in the middle of a line leaves it unfinished; the new lines must not extend it.
    WriteAll(file.get(), EndsInsideALine(file.get()) ? "\n" + lines : lines, m_path);
    ReadFrom(m_readOffset);
}

// Appends and compaction take this lock, so a compaction never drops a line appended beside it.
int AttributeRecordStore::LockFd()
{
    if (!m_lockFd.isOpen()) {
        if (const int err = MakeOwnDirectory(DirectoryOf(m_path)))
            RaiseErrno(err, DirectoryOf(m_path));
        m_lockFd = FileDescriptor(open((m_path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!m_lockFd.isOpen())
            RaiseErrno(errno, m_path + ".lock");
    }
    return m_lockFd.get();
}

namespace {

std::mutex g_storeMutex;

// The store of the current user, followed to a new place when the data directory changes.
template <typename Action> auto WithUserStore(Action action)
{
    static std::unique_ptr<AttributeRecordStore> store;
    const std::lock_guard guard(g_storeMutex);
    const std::string path = AttributeRecordStore::DefaultPath();
    if (!store || store->path() != path)
        store = std::make_unique<AttributeRecordStore>(path);
    return action(*store);
}

bool Unsupported(int err)
{
    return err == ENOTSUP || err == EOPNOTSUPP;
}

// The name an extended-attribute call takes for a location: a file found through an open directory
// goes through the process's own view of that descriptor, so no path is resolved again.
class AttributePath final
{
public:
    explicit AttributePath(const FileLocation& location) : m_location(location)
    {
        if (m_location.directoryFd >= 0)
            m_text = "/proc/self/fd/" + std::to_string(m_location.directoryFd) + "/" + m_location.name;
    }

    const char* c_str() const { return m_text.empty() ? m_location.path.c_str() : m_text.c_str(); }

private:
    const FileLocation& m_location;
    std::string m_text;
};

// A user extended attribute needs write permission even for its owner; the write bit is lent for the
// change and taken back after it.
template <typename Change> int WithOwnerWrite(const RecordTarget& target, Change change)
{
    if (change() == 0)
        return 0;
    const int err = errno;
    if (err != EACCES)
        return -1;
    struct stat st = {};
    const AttributePath path(target.location);
    const int statResult = target.fd >= 0 ? fstat(target.fd, &st) : lstat(path.c_str(), &st);
    if (statResult != 0 || (st.st_mode & S_IWUSR) || st.st_uid != geteuid())
        return errno = err, -1;
    const auto setMode = [&](mode_t mode) {
        return target.fd >= 0 ? fchmod(target.fd, mode)
                              : fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW);
    };
    if (setMode((st.st_mode | S_IWUSR) & 07777) != 0)
        return errno = err, -1;
    const int result = change();
    const int changeErr = errno;
    setMode(st.st_mode & 07777);
    errno = changeErr;
    return result;
}

} // namespace

std::optional<std::string> ReadRecord(const RecordTarget& target, const char* name)
{
    if (!g_forceStore && !target.link) {
        char buffer[256];
        const ssize_t n =
            target.fd >= 0 ? fgetxattr(target.fd, name, buffer, sizeof buffer)
                           : lgetxattr(AttributePath(target.location).c_str(), name, buffer, sizeof buffer);
        if (n >= 0)
            return std::string(buffer, static_cast<std::size_t>(n));
        if (!Unsupported(errno))
            return std::nullopt;
    }
    return WithUserStore([&](AttributeRecordStore& store) { return store.Get(target.key, name); });
}

void WriteRecord(const RecordTarget& target, const char* name, const std::string& value)
{
    if (!g_forceStore && !target.link) {
        const int result = WithOwnerWrite(target, [&] {
            return target.fd >= 0 ? fsetxattr(target.fd, name, value.data(), value.size(), 0)
                                  : lsetxattr(AttributePath(target.location).c_str(), name, value.data(),
                                              value.size(), 0);
        });
        if (result == 0)
            return;
        if (!Unsupported(errno))
            RaiseErrno(errno, target.location.path);
    }
    WithUserStore([&](AttributeRecordStore& store) { store.Set(target.key, name, value); });
}

void RemoveRecord(const RecordTarget& target, const char* name)
{
    if (!g_forceStore && !target.link) {
        const int result = WithOwnerWrite(target, [&] {
            return target.fd >= 0 ? fremovexattr(target.fd, name)
                                  : lremovexattr(AttributePath(target.location).c_str(), name);
        });
        if (result == 0 || errno == ENODATA)
            return;
        if (!Unsupported(errno))
            RaiseErrno(errno, target.location.path);
    }
    WithUserStore([&](AttributeRecordStore& store) { store.Remove(target.key, name); });
}

void ForgetRecords(FileKey key)
{
    // Only a store that exists can hold records; most file systems never need one.
    struct stat st = {};
    if (!g_forceStore && stat(AttributeRecordStore::DefaultPath().c_str(), &st) != 0)
        return;
    WithUserStore([&](AttributeRecordStore& store) { store.Forget(key); });
}

void ForceAttributeRecordStore(bool force)
{
    g_forceStore = force;
}

} // namespace kelvo
