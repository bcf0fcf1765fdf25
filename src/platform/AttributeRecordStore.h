#pragma once

#include "platform/FileDescriptor.h"

#include <QtGlobal>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <tuple>

namespace kelvo {

// A file's identity for records kept apart from the file.
struct FileKey
{
    quint64 device = 0;
    quint64 inode = 0;
};

// The program's per-file records (archive state, carried creation time, what the last two-way run left)
// for files whose file system keeps no user extended attributes: one append-only text file per user,
// read once per process and followed as other processes append to it, compacted when a process first
// loads it.
class AttributeRecordStore final
{
public:
    explicit AttributeRecordStore(std::string path);
    AttributeRecordStore(const AttributeRecordStore&) = delete;
    AttributeRecordStore& operator=(const AttributeRecordStore&) = delete;

    std::optional<std::string> Get(FileKey key, std::string_view name);
    void Set(FileKey key, std::string_view name, std::string_view value);
    void Remove(FileKey key, std::string_view name);
    void Forget(FileKey key); // every record of a file that is gone

    const std::string& path() const { return m_path; }

    // $XDG_DATA_HOME/kelvo/attribute-records, with the XDG default under the home directory.
    static std::string DefaultPath();

private:
    using RecordId = std::tuple<quint64, quint64, std::string>;

    void Refresh();
    void Load();
    void ReadFrom(off_t offset);
    void ApplyLine(std::string_view line);
    void Compact();
    void Append(const std::string& lines);
    int LockFd();

    std::string m_path;
    std::map<RecordId, std::string> m_records;
    ino_t m_fileInode = 0;
    off_t m_readOffset = 0;
    std::size_t m_lineCount = 0;
    bool m_loaded = false;
    FileDescriptor m_lockFd;
};

struct FileLocation;

// Records on the file itself (user extended attributes) where the file system allows them, else in the
// current user's AttributeRecordStore. When fd is -1 the file is found at location, and a symbolic
// link there is never followed. A symbolic link itself (link) can hold no user attributes: its records
// are always in the store.
struct RecordTarget
{
    const FileLocation& location;
    int fd;
    FileKey key;
    bool link;
};

std::optional<std::string> ReadRecord(const RecordTarget& target, const char* name);
void WriteRecord(const RecordTarget& target, const char* name, const std::string& value);
void RemoveRecord(const RecordTarget& target, const char* name);
void ForgetRecords(FileKey key);

// Lets a test send every record to the per-user store, as on a file system without extended attributes.
void ForceAttributeRecordStore(bool force);

} // namespace kelvo
