#include "ui/ToolbarCommand.h"

#include <QAction>
#include <QIcon>
#include <QToolBar>

namespace kelvo {

using namespace Qt::StringLiterals;

QAction* AddToolbarCommand(QToolBar& toolbar, const QString& caption, const QString& icon,
                           const QString& toolTip)
{
    QAction* action = toolbar.addAction(QIcon(u":/kelvo/toolbar/%1.png"_s.arg(icon)), caption);
    // A tool button escapes the & of a caption it takes from the action's text; one it takes from
    // the action's icon text keeps it as the access key.
    action->setIconText(caption);
    action->setToolTip(toolTip);
    toolbar.widgetForAction(action)->setFocusPolicy(Qt::TabFocus);
    return action;
}

} // namespace kelvo
