#include "schedule/ChangeWatch.h"

#include "platform/FilePath.h"
#include "schedule/WatchedTree.h"

#include <QSocketNotifier>

#include <filesystem>
#include <utility>

namespace kelvo {

namespace {

// Bounds the work of one wake-up, so a flood of events cannot hold the event loop; the notifier
// wakes again for the rest.
constexpr int BuffersPerWakeUp = 16;

std::string ComparablePath(const std::string& path)
{
    std::error_code ignored;
    std::string normal = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ignored), ignored);
    if (normal.empty())
        normal = std::filesystem::path(path).lexically_normal();
    // Without trailing separators; the file system's root becomes "", the prefix of every path.
    while (!normal.empty() && normal.back() == '/')
        normal.pop_back();
    return normal;
}

} // namespace

ChangeWatch::ChangeWatch(QObject* parent) : QObject(parent) {}

ChangeWatch::~ChangeWatch()
{
    closeTree();
}

QString ChangeWatch::StartWatch(const QString& directory, bool subDirectories)
{
    const std::string path = ToFilePath(directory);
    auto tree = std::make_unique<WatchedTree>(m_ignoredPaths);
    QString problem = tree->Arm(path, subDirectories);
    const bool announce = !m_changed;
    const bool crowdedOut = m_tree && tree->outOfWatches();
    if (m_tree && readLastEvents())
        m_changed = true;
    closeTree();
    if (crowdedOut) {
        // The old watches took the room the new ones needed: a tree of more than half the limit can
        // only be watched again after them, at the cost of a moment unwatched.
        tree.reset();
        tree = std::make_unique<WatchedTree>(m_ignoredPaths);
        problem = tree->Arm(path, subDirectories);
    }
    if (tree->isOpen()) {
        m_tree = std::move(tree);
        m_notifier = new QSocketNotifier(m_tree->descriptor(), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &ChangeWatch::readEvents);
    }
    if (m_changed && announce)
        emit changed();
    return problem;
}

void ChangeWatch::StopWatch()
{
    closeTree();
}

int ChangeWatch::WatchHandle() const
{
    return m_tree ? m_tree->descriptor() : -1;
}

bool ChangeWatch::TakeChange()
{
    // The caller is taking the change now: no signal for what this reading finds.
    if (m_notifier && m_notifier->isEnabled()) {
        const WatchedTree::Reading reading = m_tree->Read(BuffersPerWakeUp);
        if (reading.failed)
            m_notifier->setEnabled(false);
        m_changed = m_changed || reading.changed;
    }
    return std::exchange(m_changed, false);
}

void ChangeWatch::SetIgnoredPaths(std::vector<std::string> paths)
{
    m_ignoredPaths.clear();
    for (const std::string& path : paths) {
        if (!path.empty())
            m_ignoredPaths.push_back(ComparablePath(path));
    }
}

void ChangeWatch::readEvents()
{
    const WatchedTree::Reading reading = m_tree->Read(BuffersPerWakeUp);
    if (reading.failed)
        m_notifier->setEnabled(false);
    if (reading.changed && !std::exchange(m_changed, true))
        emit changed(); // last: a receiver may start or stop the watch
}

// Whatever is still queued, or cannot be read any more, counts as a change.
bool ChangeWatch::readLastEvents()
{
    if (!m_notifier->isEnabled())
        return false;
    const WatchedTree::Reading reading = m_tree->Read(BuffersPerWakeUp, true);
    return reading.changed || !reading.drained;
}

void ChangeWatch::closeTree()
{
    if (!m_notifier)
        return;
    // The notifier may be the sender of the signal being handled: it goes once that is over, and
    // watches no descriptor meanwhile.
    m_notifier->setEnabled(false);
    m_notifier->disconnect(this);
    m_notifier->deleteLater();
    m_notifier = nullptr;
    m_tree.reset();
}

} // namespace kelvo
