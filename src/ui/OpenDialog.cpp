#include "ui/OpenDialog.h"

#include <QFileDialog>

namespace kelvo {

void OpenDialog(QDialog& dialog)
{
    if (dialog.isVisible()) {
        dialog.raise();
        dialog.activateWindow();
        return;
    }
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.show();
}

namespace {

void OpenChooser(QFileDialog* chooser, ChosenPath chosen)
{
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(chooser, &QFileDialog::fileSelected, chooser, std::move(chosen));
    OpenDialog(*chooser);
}

} // namespace

void BrowseFolderDialog(QWidget* parent, const QString& title, const QString& start, ChosenPath chosen)
{
    auto* chooser = new QFileDialog(parent, title, start);
    chooser->setFileMode(QFileDialog::Directory);
    chooser->setOption(QFileDialog::ShowDirsOnly);
    OpenChooser(chooser, std::move(chosen));
}

void BrowseFileDialog(QWidget* parent, const QString& filter, const QString& start, ChosenPath chosen)
{
    auto* chooser = new QFileDialog(parent, {}, start, filter);
    chooser->setFileMode(QFileDialog::ExistingFile);
    OpenChooser(chooser, std::move(chosen));
}

} // namespace kelvo
