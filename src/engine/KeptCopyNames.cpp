#include "engine/KeptCopyNames.h"

#include "platform/FilePath.h"

#include <algorithm>

namespace kelvo {

namespace {

constexpr std::string_view ConflictMark = ".conflict-";

bool IsNumber(std::string_view text, std::size_t shortest, std::size_t longest)
{
    return text.size() >= shortest && text.size() <= longest &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "ddMMyyyy-hhmmss", or the stamp of older versions, whose hour, minute and second had no leading
// zeros ("-hms", three to six digits).
bool IsDateStamp(std::string_view text)
{
    return text.size() > 9 && text[8] == '-' && IsNumber(text.substr(0, 8), 8, 8) &&
           IsNumber(text.substr(9), 3, 6);
}

// What follows the last "." of name, or nothing when name has no such suffix.
std::optional<std::string_view> LastSuffix(std::string_view name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return std::nullopt;
    return name.substr(dot + 1);
}

// "report.doc.3" and "report.doc.07122026-091115": the name before the last suffix.
std::string_view BeforeLastSuffix(std::string_view name, std::string_view suffix)
{
    return name.substr(0, name.size() - suffix.size() - 1);
}

// A stamped name, with or without the number added when the stamp was taken ("a.txt.07122026-091115.2").
bool IsStampedName(std::string_view name)
{
    const std::optional<std::string_view> suffix = LastSuffix(name);
    if (!suffix)
        return false;
    if (IsDateStamp(*suffix))
        return true;
    if (!IsNumber(*suffix, 1, 7))
        return false;
    const std::optional<std::string_view> stamp = LastSuffix(BeforeLastSuffix(name, *suffix));
    return stamp && IsDateStamp(*stamp);
}

} // namespace

std::string DateStamp(const QDateTime& now)
{
    return now.toString(QStringLiteral("ddMMyyyy-hhmmss")).toStdString();
}

std::string ConflictCopyName(const std::string& name, const QDateTime& now)
{
    return name + std::string(ConflictMark) + DateStamp(now);
}

bool IsConflictCopyName(std::string_view name)
{
    const auto mark = name.rfind(ConflictMark);
    if (mark == std::string_view::npos || mark == 0)
        return false;
    const std::string_view stamp = name.substr(mark + ConflictMark.size());
    return stamp.size() == 15 && stamp[8] == '-' && IsNumber(stamp.substr(0, 8), 8, 8) &&
           IsNumber(stamp.substr(9), 6, 6);
}

bool IsKeptCopyName(const BackupSet& set, std::string_view name)
{
    // A set may have been two-way once: its conflict copies stay, whatever it is now.
    if (IsConflictCopyName(name))
        return true;
    return set.flArchive && !set.flArchiveSubDir && HasKeptCopyShape(set, name);
}

bool HasKeptCopyShape(const BackupSet& set, std::string_view name)
{
    if (KeptCopyNamingOf(set) == KeptCopyNaming::Sequence) {
        const std::optional<std::string_view> suffix = LastSuffix(name);
        return suffix && IsNumber(*suffix, 1, 7);
    }
    return KeptCopyNamingOf(set) == KeptCopyNaming::Date && IsStampedName(name);
}

bool IsKeptCopyFolder(const BackupSet& set, std::string_view directory)
{
    if (!set.flArchive || !set.flArchiveSubDir || set.ArchiveSubDir.isEmpty())
        return false;
    while (!directory.empty() && directory.back() == '/')
        directory.remove_suffix(1);
    return GetFileName(std::string(directory)) == ToFilePath(set.ArchiveSubDir);
}

std::optional<std::string_view> KeptCopyBase(std::string_view name)
{
    if (IsConflictCopyName(name))
        return name.substr(0, name.rfind(ConflictMark));
    const std::optional<std::string_view> suffix = LastSuffix(name);
    if (!suffix)
        return std::nullopt;
    const std::string_view before = BeforeLastSuffix(name, *suffix);
    if (IsDateStamp(*suffix))
        return before;
    if (!IsNumber(*suffix, 1, 7))
        return std::nullopt;
    if (IsStampedName(name))
        return BeforeLastSuffix(before, *LastSuffix(before));
    return before;
}

} // namespace kelvo
