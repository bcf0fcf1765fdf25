#pragma once

#include "platform/FileDescriptor.h"

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct inotify_event;

namespace kelvo {

// One inotify descriptor and the directories it watches: a root and, when asked, every directory
// below it, new ones included. Symbolic links below the root are never followed. Knows nothing of
// the event loop; ChangeWatch reads it when the descriptor is readable.
class WatchedTree final
{
public:
    // ignoredPaths: absolute, without trailing separators; they must outlive the tree.
    explicit WatchedTree(const std::vector<std::string>& ignoredPaths);

    // Opens the descriptor and watches directory. Empty on success, else a sentence for a person;
    // isOpen() is false when not even the root could be watched.
    QString Arm(const std::string& directory, bool subDirectories);
    bool isOpen() const { return m_fd.isOpen(); }
    int descriptor() const { return m_fd.get(); }
    bool outOfWatches() const { return m_outOfWatches; }

    struct Reading
    {
        bool changed = false;
        bool drained = false; // nothing more is queued now
        bool failed = false;  // the descriptor cannot be read: reading it again is no use
    };
    // Reads at most maxBuffers buffers of events. Directories that appear get watches; with
    // lastReading (the tree is about to close) they count as changes instead, unlooked at.
    Reading Read(int maxBuffers, bool lastReading = false);

private:
    bool watchAt(int atFd, const char* name, const std::string& path);
    bool watchContents(int fd, const std::string& path);
    int addWatch(int fd, const std::string& path);
    bool handle(const inotify_event& event, std::string_view name, bool lastReading);
    bool handleDirectoryEntry(uint32_t mask, const std::string& path, bool lastReading);
    bool watchNewDirectory(const std::string& path);
    void forgetBelow(const std::string& path);
    void rewatchAll();
    bool isIgnored(const std::string& path) const;
    void noteUnwatchable(const std::string& path, int error);
    QString walkProblem() const;

    const std::vector<std::string>& m_ignoredPaths;
    FileDescriptor m_fd;
    std::string m_root;
    int m_rootWatch = -1;
    bool m_subDirectories = false;
    std::unordered_map<int, std::string> m_paths; // watch descriptor -> directory
    bool m_outOfWatches = false;
    int m_unwatchable = 0;
    std::string m_firstUnwatchable;
    int m_firstError = 0;
};

} // namespace kelvo
