#include "schedule/ProgramStatus.h"

namespace kelvo {

using namespace Qt::StringLiterals;

QString NoSetYetText()
{
    return u"There is no backup set yet. Click Edit Sets to add one."_s;
}

QString StatusToolTip(const ProgramStatus& status)
{
    const QString title = u"Kelvo"_s;
    if (!status.hasSets)
        return title + u" - "_s + NoSetYetText();
    if (status.running)
        return title + u" - backing up: %1%"_s.arg(status.percent);
    if (!status.lastRunEnded.isValid())
        return title;
    const QString ended = title + u" - last run "_s + status.lastRunEnded.toString(u"hh:mm"_s);
    if (status.lastRunErrors == 0)
        return ended + u" completed"_s;
    return ended + (status.lastRunErrors == 1 ? u" failed: 1 error"_s
                                              : u" failed: %1 errors"_s.arg(status.lastRunErrors));
}

bool ShowsErrors(const ProgramStatus& status)
{
    return status.lastRunEnded.isValid() && status.lastRunErrors > 0;
}

} // namespace kelvo
