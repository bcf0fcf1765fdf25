#pragma once

#include <QString>

#include <functional>

class QDialog;
class QWidget;

namespace kelvo {

// Shows a dialog modal to the whole program, as exec() would, but without an event loop of its own:
// a backup run lets events run on this thread, so a dialog waiting in exec() would hold the run until
// it closed. The caller acts on the dialog's finished() or accepted(). Window-modal (open()) would
// leave a sibling usable, such as the editor beside the settings dialog it opened. A dialog that is
// already shown is raised instead, keeping what the person typed in it.
void OpenDialog(QDialog& dialog);

// What a chooser found; never called when the person cancels.
using ChosenPath = std::function<void(const QString& path)>;
using BrowseFolder =
    std::function<void(QWidget* parent, const QString& title, const QString& start, ChosenPath chosen)>;
using BrowseFile =
    std::function<void(QWidget* parent, const QString& filter, const QString& start, ChosenPath chosen)>;

// The desktop's folder and file choosers, opened as above and destroyed when they close.
void BrowseFolderDialog(QWidget* parent, const QString& title, const QString& start, ChosenPath chosen);
void BrowseFileDialog(QWidget* parent, const QString& filter, const QString& start, ChosenPath chosen);

} // namespace kelvo
