#pragma once

#include <QString>

#include <functional>
#include <span>
#include <vector>

class QAction;
class QToolBar;

namespace kelvo {

// One command of a window's toolbar, with the picture of that name (":/kelvo/toolbar/<icon>.png").
struct ToolbarCommand
{
    QString caption; // its & marks the access key
    QString toolTip;
    QString icon;
};

// Fills a window's toolbar with its commands in order, each picture above its caption; triggered
// gets the number of the command, from 1. Each caption's & marks its access key, which the button
// underlines and answers to (Alt and the letter); the buttons are reached by Tab, as the window's
// push buttons are. Qt's tool buttons do neither by themselves.
std::vector<QAction*> FillToolbar(QToolBar& toolbar, std::span<const ToolbarCommand> commands,
                                  const std::function<void(int command)>& triggered);

} // namespace kelvo
