#pragma once

#include <QTextDocument>

namespace kelvo::test {

// What a person reads in a tool tip: QToolTip renders the text as markup whenever
// Qt::mightBeRichText says it may be markup.
inline QString VisibleToolTip(const QString& toolTip)
{
    if (!Qt::mightBeRichText(toolTip))
        return toolTip;
    QTextDocument document;
    document.setHtml(toolTip);
    return document.toPlainText();
}

} // namespace kelvo::test
