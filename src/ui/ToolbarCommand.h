#pragma once

#include <QString>

class QAction;
class QToolBar;

namespace kelvo {

// Adds a command to a window's toolbar with the picture of that name (":/kelvo/toolbar/<icon>.png").
// The caption's & marks its access key, which the button underlines and answers to (Alt and the
// letter); the button is reached by Tab, as the window's push buttons are. Qt's tool buttons do
// neither by themselves.
QAction* AddToolbarCommand(QToolBar& toolbar, const QString& caption, const QString& icon,
                           const QString& toolTip);

} // namespace kelvo
