#pragma once

#include "platform/FileSystem.h"

#include <string>

namespace kelvo {

// The new contents of a file, written beside it and put in its place only when complete. Until
// commit() the old file is untouched; a replacement that is destroyed uncommitted leaves nothing
// behind. Where the file system allows it the new file has no name at all until the commit, so even
// a crash leaves no stray file. Failures raise kelvo::Failure; a short write is never taken for
// success.
class ReplacementFile final
{
public:
    explicit ReplacementFile(const FileLocation& destination);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    int fd() const { return m_fd; }
    void write(const char* data, std::size_t size);
    // Closes the file (checking the close) and puts it in the destination's place.
    void commit();

private:
    void openUnnamed();
    void openNamed();
    bool linkUnnamedAs(const std::string& name);
    void nameUnnamed();
    void closeFile();
    std::string temporaryName() const;
    void discard() noexcept;

    std::string m_destination; // the full path, for failures
    int m_directoryFd;         // names below are relative to it
    std::string m_name;
    std::string m_tempName; // empty while the file has no name
    int m_fd = -1;
};

} // namespace kelvo
