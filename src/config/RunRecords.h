#pragma once

#include "config/Configuration.h"

#include <QDateTime>

#include <optional>
#include <tuple>

namespace kelvo {

// The fields a run writes of a set: how it ended, and then the drives it found its roots on. Set is
// BackupSet or const BackupSet, so the fields can be compared and copied as one.
template <typename Set> auto RunOutcomeFields(Set& set)
{
    return std::tie(set.LastDate, set.LastResult, set.LastCompleted, set.FirstAttempt);
}
template <typename Set> auto RunRecordFields(Set& set)
{
    return std::tuple_cat(RunOutcomeFields(set), std::tie(set.SourceDrive, set.DestDrive));
}

// How a set's last run ended, as its LastResult key holds it: "completed", or "failed (3 errors)".
// An empty text (a store of an older version, a set never run) is unknown; a run that was stopped
// leaves the text as it was.
enum class RunOutcome { Unknown, Completed, Failed };
RunOutcome RunOutcomeOf(const BackupSet& set);

// The end of a set's run that went through the set: its result, LastDate, LastCompleted when no
// error was counted, and FirstAttempt when the set had none yet.
void RecordRunOutcome(BackupSet& set, qint64 errors, const QDateTime& ended);

// LastDate, LastCompleted and FirstAttempt hold the local time as "07/12/2026 14:05:10".
QString RunStampText(const QDateTime& time);
// Nothing for an empty text or one that is no such time ("Never run", a hand edit).
std::optional<QDateTime> RunStampTime(const QString& text);

// Since when the set has no completed run: its last completed run, else its first attempt; nothing
// when the store knows neither.
std::optional<QDateTime> IncompleteSince(const BackupSet& set);

// The sets of after whose run records (dates, result, drives) differ from those of the set of the same
// name in before, or that before does not hold: what a run learnt, and nothing it did not touch.
BackupSets WithNewRunRecords(const BackupSets& before, const BackupSets& after);

} // namespace kelvo
