#include "config/RunRecords.h"

#include <QRegularExpression>

#include <algorithm>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

const QString Completed = u"completed"_s;
const QString StampFormat = u"dd/MM/yyyy hh:mm:ss"_s;

QString FailedText(qint64 errors)
{
    return errors == 1 ? u"failed (1 error)"_s : u"failed (%1 errors)"_s.arg(errors);
}

} // namespace

RunOutcome RunOutcomeOf(const BackupSet& set)
{
    if (set.LastResult == Completed)
        return RunOutcome::Completed;
    if (set.LastResult.startsWith(u"failed"_s))
        return RunOutcome::Failed;
    return RunOutcome::Unknown;
}

void RecordRunOutcome(BackupSet& set, qint64 errors, const QDateTime& ended)
{
    const QString stamp = RunStampText(ended);
    set.LastDate = stamp;
    set.LastResult = errors == 0 ? Completed : FailedText(errors);
    if (errors == 0)
        set.LastCompleted = stamp;
    if (set.FirstAttempt.isEmpty())
        set.FirstAttempt = stamp;
}

QString RunStampText(const QDateTime& time)
{
    return time.toString(StampFormat);
}

std::optional<QDateTime> RunStampTime(const QString& text)
{
    const QDateTime time = QDateTime::fromString(text, StampFormat);
    return time.isValid() ? std::optional<QDateTime>(time) : std::nullopt;
}

std::optional<QDateTime> IncompleteSince(const BackupSet& set)
{
    if (const std::optional<QDateTime> completed = RunStampTime(set.LastCompleted))
        return completed;
    return RunStampTime(set.FirstAttempt);
}

BackupSets WithNewRunRecords(const BackupSets& before, const BackupSets& after)
{
    BackupSets changed;
    for (const BackupSet& set : after) {
        const auto old = std::find_if(before.begin(), before.end(),
                                      [&](const BackupSet& b) { return b.SetName == set.SetName; });
        if (!set.SetName.isEmpty() && (old == before.end() || RunRecordFields(*old) != RunRecordFields(set)))
            changed.push_back(set);
    }
    return changed;
}

} // namespace kelvo
