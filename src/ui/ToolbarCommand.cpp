#include "ui/ToolbarCommand.h"

#include <QAction>
#include <QIcon>
#include <QToolBar>

namespace kelvo {

using namespace Qt::StringLiterals;

std::vector<QAction*> FillToolbar(QToolBar& toolbar, std::span<const ToolbarCommand> commands,
                                  const std::function<void(int command)>& triggered)
{
    toolbar.setIconSize(QSize(16, 16));
    toolbar.setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    std::vector<QAction*> actions;
    for (const ToolbarCommand& command : commands) {
        QAction* action =
            toolbar.addAction(QIcon(u":/kelvo/toolbar/%1.png"_s.arg(command.icon)), command.caption);
        // A tool button escapes the & of a caption it takes from the action's text; one it takes from
        // the action's icon text keeps it as the access key.
        action->setIconText(command.caption);
        action->setToolTip(command.toolTip);
        toolbar.widgetForAction(action)->setFocusPolicy(Qt::TabFocus);
        const int number = int(actions.size()) + 1;
        QObject::connect(action, &QAction::triggered, &toolbar, [triggered, number] { triggered(number); });
        actions.push_back(action);
    }
    return actions;
}

} // namespace kelvo
