#pragma once

#include "config/Configuration.h"
#include "engine/Clock.h"

#include <QDate>
#include <QHash>

#include <functional>

namespace kelvo {

// Shows a desktop notification: a short summary and a body of plain text. The program gives the
// session's notification service; without one, or in tests, it may do nothing.
using NotifyFunction = std::function<void(const QString& summary, const QString& body)>;

// What the user is told of runs when no window may be looking: a run that failed, a set that backs
// up again after a failure, and an enabled set without a completed run for IntStaleDays days.
class RunNotices final
{
public:
    RunNotices(NotifyFunction notify, const Clock& clock);

    // A run that was not stopped has ended; before are the sets as it began, ran those it went through
    // (WithNewRunRecords), errors those it counted and firstError its first error line. One
    // notification for a failure, one for the sets that complete again.
    void runEnded(const BackupSets& before, const BackupSets& ran, qint64 errors, const QString& firstError);
    // Tells of each stale set at most once a day (by this process: a restart may tell it again).
    void checkStale(const Configuration& configuration);

private:
    void notify(const QString& summary, const QString& body) const;

    NotifyFunction m_notify;
    const Clock& m_clock;
    QDateTime m_started; // a set never run counts from here
    QHash<QString, QDate> m_staleToldOn;
};

} // namespace kelvo
