#pragma once

#include "platform/AttributeRecordStore.h"
#include "platform/FileSystem.h"

#include <optional>
#include <string>
#include <string_view>

// The texts of the records the program keeps on a file (AttributeRecordStore.h says where they live).
namespace kelvo {

inline constexpr const char* ArchiveRecordName = "user.kelvo.archive";
inline constexpr const char* CreatedRecordName = "user.kelvo.created";
inline constexpr const char* SyncedRecordName = "user.kelvo.synced";

// A time as "seconds.nanoseconds"; nullopt for any other text.
std::string FormatTime(FileTime time);
std::optional<FileTime> ParseTime(std::string_view text);

// A file's size and time as "size seconds.nanoseconds"; nullopt for any other text.
std::string StateRecord(const FileState& state);
std::optional<FileState> ParseStateRecord(std::string_view record);

// The record that marks a file as backed up: it holds only while the file keeps this size and time,
// and only for the file it was written on. `mv` and `cp -a` carry the record to another file (another
// inode, or another file system), which must not count as backed up; old records without the
// identity read as not backed up, which costs one copy.
std::string ArchiveRecord(const FileState& state, FileKey key);

// Writes the records that make a copy carry its source's creation time and archive state; the archive
// record names the copy's own size and time.
void CarryRecords(const RecordTarget& copy, FileTime created, bool archive, const FileState& copyState);

} // namespace kelvo
