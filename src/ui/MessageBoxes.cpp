#include "ui/MessageBoxes.h"

#include "ui/OpenDialog.h"

#include <QMessageBox>

namespace kelvo {

namespace {

// A box's text often holds a path, a set name or a file name: shown as it is, never as markup.
QMessageBox* Show(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& title,
                  QMessageBox::StandardButtons buttons)
{
    auto* box =
        new QMessageBox(icon, title.isEmpty() ? QStringLiteral("Kelvo") : title, text, buttons, parent);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    OpenDialog(*box);
    return box;
}

} // namespace

void MessageBoxes::stop(QWidget* parent, const QString& text, const QString& title)
{
    Show(parent, QMessageBox::Critical, text, title, QMessageBox::Ok);
}

void MessageBoxes::warning(QWidget* parent, const QString& text, const QString& title)
{
    Show(parent, QMessageBox::Warning, text, title, QMessageBox::Ok);
}

void MessageBoxes::information(QWidget* parent, const QString& text, const QString& title)
{
    Show(parent, QMessageBox::Information, text, title, QMessageBox::Ok);
}

void MessageBoxes::question(QWidget* parent, const QString& text, std::function<void(bool yes)> answered,
                            const QString& title)
{
    QMessageBox* box = Show(parent, QMessageBox::Question, text, title, QMessageBox::Yes | QMessageBox::No);
    QObject::connect(box, &QMessageBox::finished, box,
                     [answered = std::move(answered)](int button) { answered(button == QMessageBox::Yes); });
}

MessageBoxes& MessageBoxes::Desktop()
{
    static MessageBoxes boxes;
    return boxes;
}

} // namespace kelvo
