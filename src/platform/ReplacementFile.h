#pragma once

#include "platform/Failure.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kelvo {

// The new contents of a file, written beside it and put in its place only when complete. Until
// commit() the old file is untouched; a replacement that is destroyed uncommitted leaves nothing
// behind. Where the file system allows it the new file has no name at all until the commit, so even
// a crash leaves no stray file. Failures raise kelvo::Failure; a short write is never taken for
// success.
class ReplacementFile final
{
public:
    // The new file is made with creationMode, under the umask.
    explicit ReplacementFile(const FileLocation& destination, mode_t creationMode = 0600);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    int fd() const { return m_fd.get(); }
    void write(std::string_view data);
    // Gives the new file the permission bits of the file it replaces, if there is one, less write for
    // group and others.
    void keepDestinationPermissions();
    // Closes the file (checking the close) and puts it in the destination's place. Fast: a crash soon
    // after may lose the new contents, which suits copies that the next run makes again.
    void commit();
    // As commit(), but the contents reach the disk before the file takes the destination's name, and
    // the name reaches it before this returns: a crash leaves either the whole old or the whole new file.
    void commitDurably();

private:
    void openUnnamed(mode_t mode);
    void openNamed(mode_t mode);
    bool linkUnnamedAs(const std::string& name);
    void nameUnnamed();
    std::string temporaryName() const;
    void syncDirectory() const;
    void discard() noexcept;

    FileLocation m_location;   // keeps the directory of a long path open
    std::string m_destination; // the full path, for failures
    int m_directoryFd;         // names below are relative to it
    std::string m_name;
    std::string m_tempName; // empty while the file has no name
    FileDescriptor m_fd;
};

// Puts a symbolic link holding text in destination's place in one step: the link is made under a
// partial name beside it, given its times and records there by prepare, then renamed over the
// destination. Nothing is left under the partial name when any step fails.
void ReplaceWithSymbolicLink(const FileLocation& destination, const std::string& text,
                             const std::function<void(int directoryFd, const std::string& name)>& prepare);

// The same for a hard link to the file at existing: the destination becomes another name of that file.
void ReplaceWithHardLink(const FileLocation& destination, const FileLocation& existing,
                         const std::function<void(int directoryFd, const std::string& name)>& prepare);

// Lets a test make every replacement a named partial file, as on a file system without unnamed files.
void ForceNamedReplacements(bool force);

// The shell pattern of the hidden names that replacements of fileName take; a process killed in the
// instant before the rename leaves one behind.
std::string ReplacementNamePattern(const std::string& fileName);

// The file that path names once every symbolic link on its last component is followed; path itself
// when it is no link. A dangling link gives the file it would name.
QString FileBehindLinks(QString path);

// Replaces one of the user's own small files (configuration, desktop entries) durably, making its
// missing folders first (0700). It writes through a symbolic link to the file the link names (a link
// kept by a dotfile manager stays a link), keeps an existing file's permission bits, refuses a file the
// user made read-only (70, with the path and "read-only" in the failure), and makes a new file with
// creationMode under the umask. Raises kelvo::Failure.
void ReplaceUserFileOrThrow(const QString& path, const QByteArray& contents, mode_t creationMode);
// As ReplaceUserFileOrThrow, for a caller that tells a person.
Outcome ReplaceUserFile(const QString& path, const QByteArray& contents, mode_t creationMode);

} // namespace kelvo
