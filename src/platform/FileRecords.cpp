#include "platform/FileRecords.h"

#include <charconv>

namespace kelvo {

std::string FormatTime(FileTime time)
{
    return std::to_string(time.seconds) + "." + std::to_string(time.nanoseconds);
}

std::optional<FileTime> ParseTime(std::string_view text)
{
    const auto dot = text.find('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    FileTime time;
    const char* end = text.data() + text.size();
    const auto sec = std::from_chars(text.data(), text.data() + dot, time.seconds);
    const auto nsec = std::from_chars(text.data() + dot + 1, end, time.nanoseconds);
    if (sec.ec != std::errc() || sec.ptr != text.data() + dot || nsec.ec != std::errc() || nsec.ptr != end)
        return std::nullopt;
    return time;
}

std::string StateRecord(const FileState& state)
{
    return std::to_string(state.size) + " " + FormatTime(state.modified);
}

std::optional<FileState> ParseStateRecord(std::string_view record)
{
    const auto blank = record.find(' ');
    if (blank == std::string_view::npos)
        return std::nullopt;
    FileState state;
    const char* end = record.data() + blank;
    const auto size = std::from_chars(record.data(), end, state.size);
    const std::optional<FileTime> modified = ParseTime(record.substr(blank + 1));
    if (size.ec != std::errc() || size.ptr != end || !modified)
        return std::nullopt;
    state.modified = *modified;
    return state;
}

std::string ArchiveRecord(const FileState& state, FileKey key)
{
    return StateRecord(state) + " " + std::to_string(key.device) + " " + std::to_string(key.inode);
}

void CarryRecords(const RecordTarget& copy, FileTime created, bool archive, const FileState& copyState)
{
    WriteRecord(copy, CreatedRecordName, FormatTime(created));
    if (archive)
        RemoveRecord(copy, ArchiveRecordName);
    else
        WriteRecord(copy, ArchiveRecordName, ArchiveRecord(copyState, copy.key));
}

} // namespace kelvo
