#include "ui/PlainText.h"

namespace kelvo {

using namespace Qt::StringLiterals;

QString PlainToolTip(const QString& text)
{
    // One line per line of text, as a tool tip without markup shows it: a path is never broken at "/".
    return text.isEmpty() ? QString() : u"<p style=\"white-space:pre\">"_s + text.toHtmlEscaped() + u"</p>"_s;
}

QString PlainNotificationText(const QString& text)
{
    return text.toHtmlEscaped();
}

} // namespace kelvo
