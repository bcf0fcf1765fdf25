#include "platform/MountedDrive.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace kelvo {

namespace {

bool IsOctalEscape(const std::string& digits)
{
    return digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos;
}

// mountinfo writes a blank, a tab, a newline and a backslash of a mount point as "\" and three octal
// digits.
std::string Unescaped(const std::string& field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && IsOctalEscape(field.substr(i + 1, 3))) {
            text += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

bool Holds(const std::string& mountPoint, const std::string& path)
{
    if (mountPoint == "/")
        return true;
    return path.starts_with(mountPoint) &&
           (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream stream(line);
    for (std::string field; stream >> field;)
        fields.push_back(field);
    return fields;
}

// The mount point and the type of one line: the fifth field, and the first after the "-" that ends
// the optional fields.
std::optional<std::string> DriveOfLine(const std::vector<std::string>& fields)
{
    for (std::size_t i = 6; i + 1 < fields.size(); ++i) {
        if (fields[i] == "-")
            return fields[4] + ' ' + fields[i + 1];
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> DriveIn(const std::string& mountInfo, const std::string& resolvedPath)
{
    std::optional<std::string> drive;
    std::size_t longest = 0;
    std::istringstream lines(mountInfo);
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> fields = Fields(line);
        const std::optional<std::string> candidate = DriveOfLine(fields);
        if (!candidate)
            continue;
        const std::string mountPoint = Unescaped(fields[4]);
        if (Holds(mountPoint, resolvedPath) && mountPoint.size() >= longest) {
            longest = mountPoint.size();
            drive = candidate;
        }
    }
    return drive;
}

std::optional<std::string> DriveOf(const std::string& directory)
{
    char resolved[PATH_MAX];
    if (!::realpath(directory.c_str(), resolved))
        return std::nullopt;
    std::ifstream file("/proc/self/mountinfo");
    std::ostringstream text;
    text << file.rdbuf();
    return DriveIn(text.str(), resolved);
}

} // namespace kelvo
