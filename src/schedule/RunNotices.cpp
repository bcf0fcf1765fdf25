#include "schedule/RunNotices.h"

#include "config/RunRecords.h"

#include <algorithm>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 SecondsPerDay = 24 * 60 * 60;

QStringList FailedSets(const BackupSets& ran)
{
    QStringList names;
    for (const BackupSet& set : ran) {
        if (RunOutcomeOf(set) == RunOutcome::Failed)
            names << set.SetName;
    }
    return names;
}

QStringList SetsCompletedAfterFailure(const BackupSets& ran, const BackupSets& before)
{
    QStringList names;
    for (const BackupSet& set : ran) {
        const auto old = std::find_if(before.begin(), before.end(),
                                      [&](const BackupSet& b) { return b.SetName == set.SetName; });
        if (RunOutcomeOf(set) == RunOutcome::Completed && old != before.end() &&
            RunOutcomeOf(*old) == RunOutcome::Failed)
            names << set.SetName;
    }
    return names;
}

QString FailureBody(const QStringList& failedSets, qint64 errors, const QString& firstError)
{
    QString body = errors == 1 ? u"1 error"_s : u"%1 errors"_s.arg(errors);
    if (!failedSets.isEmpty())
        body = (failedSets.size() == 1 ? u"Set %1 failed: "_s : u"Sets %1 failed: "_s)
                   .arg(failedSets.join(u", "_s)) +
               body;
    return firstError.isEmpty() ? body : body + u".\n"_s + firstError;
}

} // namespace

RunNotices::RunNotices(NotifyFunction notify, const Clock& clock)
    : m_notify(std::move(notify)), m_clock(clock), m_started(clock.now())
{}

void RunNotices::notify(const QString& summary, const QString& body) const
{
    if (m_notify)
        m_notify(summary, body);
}

void RunNotices::runEnded(const BackupSets& before, const BackupSets& ran, qint64 errors,
                          const QString& firstError)
{
    if (errors > 0)
        notify(u"Kelvo: backup failed"_s, FailureBody(FailedSets(ran), errors, firstError));
    const QStringList again = SetsCompletedAfterFailure(ran, before);
    if (!again.isEmpty())
        notify(u"Kelvo: backup works again"_s,
               (again.size() == 1 ? u"Set %1 backs up again."_s : u"Sets %1 back up again."_s)
                   .arg(again.join(u", "_s)));
}

void RunNotices::checkStale(const Configuration& configuration)
{
    const qint64 days = configuration.settings.IntStaleDays;
    if (days <= 0)
        return;
    const QDateTime now = m_clock.now();
    for (const BackupSet& set : configuration.sets) {
        if (set.SetName.isEmpty() || !set.flEnabled || m_staleToldOn.value(set.SetName) == now.date())
            continue;
        const qint64 stale = IncompleteSince(set).value_or(m_started).secsTo(now) / SecondsPerDay;
        if (stale < days)
            continue;
        m_staleToldOn.insert(set.SetName, now.date());
        notify(u"Kelvo: no recent backup"_s,
               u"Set %1 has not completed a backup for %2 days."_s.arg(set.SetName).arg(stale));
    }
}

} // namespace kelvo
