#pragma once

#include <QString>

#include <exception>
#include <string>

namespace kelvo {

// The failure numbers on which the backup run's handler acts.
enum ErrorNumber : int {
    ErrInvalidArgument = 5,
    ErrOverflow = 6,
    ErrFileNotFound = 53,
    ErrDiskFull = 61,
    ErrPermissionDenied = 70,
    ErrPathFileAccess = 75,
    ErrPathNotFound = 76,
};

// The runtime's standard text for a failure number ("File not found", "Disk full", ...).
QString ErrorDescription(int number);

// ENOENT 53, ENOTDIR 76, EACCES/EPERM/EROFS 70, ENOSPC/EDQUOT 61, EINVAL 5, anything else 75.
int ErrorNumberFromErrno(int err);

// A failure with a number and the path it concerns. The program raises numbers, never its own types.
class Failure final : public std::exception
{
public:
    explicit Failure(int number, std::string path = {});

    int number() const noexcept { return m_number; }
    QString description() const { return ErrorDescription(m_number); }
    const std::string& path() const noexcept { return m_path; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    int m_number;
    std::string m_path;
    std::string m_what;
};

// What a call from the windows or the command line into the lower layers gives back: success, or the
// errno value of its failure, which becomes one message for a person.
class [[nodiscard]] Outcome final
{
public:
    static Outcome Success() { return Outcome(0); }
    static Outcome FromErrno(int err) { return Outcome(err); }

    bool succeeded() const noexcept { return m_errno == 0; }
    int errnoValue() const noexcept { return m_errno; }
    // The system's text for the failure ("Permission denied").
    QString systemText() const;

private:
    explicit Outcome(int err) : m_errno(err) {}
    int m_errno;
};

// Every warning of the program goes through here: one line on stderr, for a problem it works around.
void Warn(const QString& line);

// Raises the failure for errno value err on path. A missing entry whose parent directory is missing
// too raises 76 (path not found) instead of 53 (file not found).
[[noreturn]] void RaiseErrno(int err, const std::string& path);

} // namespace kelvo
