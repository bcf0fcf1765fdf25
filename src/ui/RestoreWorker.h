#pragma once

#include "config/BackupSet.h"
#include "engine/Restore.h"

#include <QObject>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

namespace kelvo {

class Clock;

// What the restore window asks for: place at version (0: the newest), in its place or below toDirectory.
struct RestoreRequest
{
    BackupSet set;
    RestorePlace place;
    int version = 0;
    std::optional<std::string> toDirectory;
};

// Restores on a thread of its own, so that neither the window nor a run of the program waits for it.
// Like kelvo-cli restore it holds the set's run lock: a run of the set and the restore wait for each
// other. Whatever it does reaches this object's thread through queued calls, as the signals below; the
// thread never touches a window.
class RestoreWorker final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RestoreWorker)

public:
    explicit RestoreWorker(const Clock& clock, QObject* parent = nullptr);
    // Stops a restore that is busy and waits for its end.
    ~RestoreWorker() override;

    void start(RestoreRequest request);
    bool busy() const { return m_thread.joinable(); }
    // The restore ends between two chunks, leaving no partly written file; finished follows.
    void requestStop() { m_stop = true; }
    void stopAndWait();

signals:
    void waitingForRun();
    void progressChanged(int percent);
    void currentFileChanged(const QString& name);
    // A line the person should read: a file kept aside, an error.
    void lineReported(const QString& line);
    void finished(const kelvo::RestoreSummary& summary);

private:
    class Observer;

    void run(const RestoreRequest& request);
    RestoreSummary restore(Observer& observer, const RestoreRequest& request);
    void report(const std::string& line);
    template <typename Call> void post(Call call);

    const Clock& m_clock;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

} // namespace kelvo
