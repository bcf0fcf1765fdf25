#pragma once

#include "config/Configuration.h"
#include "engine/Clock.h"
#include "engine/RunObserver.h"
#include "platform/FileDescriptor.h"

#include <QString>

#include <functional>
#include <string>

namespace kelvo {

class Failure;

// The bytes of line with their control characters escaped: \n, \r, \t, \xHH (C1 controls in UTF-8 as two of
// them) and \\ for a backslash, so that the escapes stay unambiguous. A file name comes from whoever can
// write in a set's folders: escaped, it can neither end a line of the log and forge the lines after
// it, nor move the cursor, retitle the terminal or write the clipboard of whoever reads the log or
// kelvo-cli's output.
std::string EscapedLine(const std::string& line);

// The full path of "kelvo.log" in StrLogFileDir.
std::string LogFilePath(const GeneralSettings& settings);

// The run's log "kelvo.log": opened at the start of a run, one line per event, closed and trimmed to
// IntLogFileSize mebibytes at the end. Lines end with "\n"; file names are written as raw bytes and
// every other text as UTF-8, control characters and the backslash escaped (\n, \r, \t, \xHH, \\).
// Each line is written at once under a lock on the log, so a crash keeps everything logged before it
// and runs of several processes, trims included, lose no line of each other's. The log is made 0600
// and a symbolic link, FIFO or device in its place is refused.
class LogFile final
{
public:
    // Every error line also goes to observer's errorReported, whether or not the log is on.
    LogFile(GeneralSettings& settings, const Clock& clock, RunObserver& observer);
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // When flLogFileOn: opens the log for appending (creating it) and writes the start line. Any failure
    // switches flLogFileOn off in memory and is reported to the observer; the run goes on without a log.
    void Open();

    // d and t are the directory processed and the matching directory on the other side, both ending
    // with "/"; f is a file name. A line is written only when the log is open and its switches are on;
    // a failed write closes the log for the rest of the run and is reported to the observer.
    void Copied(const std::string& d, const std::string& t, const std::string& f);
    void CopyFailed(const std::string& d, const std::string& t, const std::string& f);
    void Deleted(const std::string& t, const std::string& f);
    // A removed file that the set keeps as a copy instead of deleting it; kept is the copy's path.
    void DeletedAndKept(const std::string& t, const std::string& f, const std::string& kept);
    // A kept copy that the set's limits on kept copies took away; path is the copy's full path.
    void DeletedKeptCopy(const std::string& path);

    // The lines of the run's error handler, by failure number: 75 and 76, 61, 53, and any other.
    void AccessError(const QString& description, const std::string& t);
    void DiskFull(const std::string& t, const QString& description);
    void FileNotFound(const QString& description);
    void OtherError(const QString& description, int number, const std::string& t,
                    const std::string& lastSeen);

    // A line of its own: Note is informational, Problem an error line.
    void Note(const std::string& line);
    void Problem(const std::string& line);

    // An error line outside any run (the real-time watch that cannot be armed): written on its own,
    // with no start or end line, when the log is on; reported to the observer either way.
    void ProblemOutsideRun(const std::string& line);
    // A line of information outside any run, written on its own when the log is on.
    void NoteOutsideRun(const std::string& line);

    // Writes the end line (that the run was stopped, or that it completed), closes the log and cuts it
    // to its size limit. Failures raise kelvo::Failure.
    void Close(bool stopped);

private:
    void writeOutsideRun(const std::function<void()>& write);
    void WriteLine(const std::string& line);
    void WriteErrorLine(const std::string& line);
    void reportUnavailable(const Failure& failure);
    std::string Stamp() const;

    GeneralSettings& m_settings;
    const Clock& m_clock;
    RunObserver& m_observer;
    std::string m_path;
    FileDescriptor m_log;
};

// Cuts the file at path to its last 1048576 × sizeInMebibytes bytes (nothing when the size is 0 or
// less), moving the cut forward to the start of a UTF-8 character. The file is replaced atomically,
// so a crash while trimming keeps the whole log. Failures raise kelvo::Failure.
void TrimLogFile(const std::string& path, qint16 sizeInMebibytes);

// Shows the log; the main window implements it with the desktop's handler for text files.
class LogViewer
{
public:
    virtual ~LogViewer() = default;
    virtual void openTextFile(const QString& path) = 0;
    virtual void showMessage(const QString& text) = 0;
};

// Opens the log when it exists, else says that it does not.
void ViewLogFile(const GeneralSettings& settings, LogViewer& viewer);

} // namespace kelvo
