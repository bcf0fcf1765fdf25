#pragma once

#include <QString>

namespace kelvo {

// File names, paths, set names, settings and log lines are not always the user's own: another account
// that writes in a shared destination names the files a run shows. Qt reads a tool tip as markup
// whenever Qt::mightBeRichText says it may be one, and a desktop's notification server may read a
// balloon's body as markup; labels and message boxes take Qt::PlainText instead.

// text as a tool tip that shows it as it is, spaces and line breaks kept; empty stays empty (no tip).
QString PlainToolTip(const QString& text);

// text as the body of a tray balloon that shows it as it is.
QString PlainNotificationText(const QString& text);

} // namespace kelvo
