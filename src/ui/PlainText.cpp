#include "ui/PlainText.h"

namespace kelvo {

using namespace Qt::StringLiterals;

QString PlainToolTip(const QString& text)
{
    if (text.isEmpty())
        return {};
    return u"<p style=\"white-space:pre-wrap\">"_s + text.toHtmlEscaped() + u"</p>"_s;
}

QString PlainNotificationText(const QString& text)
{
    return text.toHtmlEscaped();
}

} // namespace kelvo
