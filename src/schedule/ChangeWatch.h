#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

namespace kelvo {

class WatchedTree;

// Watches one set's source directory (and its sub directories when asked, new ones included) for the
// changes a backup cares about: files created, deleted, written, renamed, or given new attributes.
// Directories only count through what they hold: making or removing an empty one is no change, while
// a directory moved or renamed (it carries its files along) and a new one that already holds files are.
// Kelvo's own runs change the source too (a two-way copy, the archive mark cleared): expect one more
// run after such a run, which then finds nothing to do.
class ChangeWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ChangeWatch)
public:
    explicit ChangeWatch(QObject* parent = nullptr);
    ~ChangeWatch() override; // closes the descriptor

    // Starts watching; replaces any earlier watch without a gap: the new descriptor and its watches are
    // set up before the old descriptor is read one last time (its pending events count as a change, and
    // changed() may be emitted before this returns) and closed. Returns an empty text on success, else
    // one sentence for a person. A directory that is missing or cannot be watched at all leaves nothing
    // open (WatchHandle() is -1); when only some directories below it could not be watched (no more
    // inotify watches, no permission), the text says so and the others stay watched. A tree that needs
    // more than half of the user's inotify watches is the one exception to "without a gap": it is
    // watched again only once the old watches are closed.
    QString StartWatch(const QString& directory, bool subDirectories);
    void StopWatch();        // stops and closes the descriptor; harmless when idle
    int WatchHandle() const; // the inotify descriptor, -1 when idle
    // True when a change was seen since the last call (or since StartWatch took over pending events);
    // clears it. Changes are sticky until taken, so a change seen while a run is busy is not lost.
    // Events already queued by the kernel are read first.
    bool TakeChange();
    // Paths of Kelvo's own files (the log file, its settings and data folders), absolute: changes to
    // them, or below them, are not changes of the set. Directories among them are not watched from the
    // next StartWatch on.
    void SetIgnoredPaths(std::vector<std::string> paths);

signals:
    void changed(); // a change arrived while none was pending (TakeChange() would now return true)

private:
    void readEvents();
    bool readLastEvents();
    void closeTree();

    std::unique_ptr<WatchedTree> m_tree;
    QSocketNotifier* m_notifier = nullptr; // a child, only while m_tree is open
    std::vector<std::string> m_ignoredPaths;
    bool m_changed = false;
};

} // namespace kelvo
