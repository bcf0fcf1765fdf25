#include "ui/MessageBoxes.h"

#include <QMessageBox>

namespace kelvo {

namespace {

// A box's text often holds a path, a set name or a file name: shown as it is, never as markup.
QMessageBox::StandardButton Ask(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                                const QString& title, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, title.isEmpty() ? QStringLiteral("Kelvo") : title, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    return QMessageBox::StandardButton(box.exec());
}

} // namespace

void MessageBoxes::stop(QWidget* parent, const QString& text, const QString& title)
{
    Ask(parent, QMessageBox::Critical, text, title, QMessageBox::Ok);
}

void MessageBoxes::information(QWidget* parent, const QString& text, const QString& title)
{
    Ask(parent, QMessageBox::Information, text, title, QMessageBox::Ok);
}

void MessageBoxes::warning(QWidget* parent, const QString& text, const QString& title)
{
    Ask(parent, QMessageBox::Warning, text, title, QMessageBox::Ok);
}

bool MessageBoxes::question(QWidget* parent, const QString& text, const QString& title)
{
    return Ask(parent, QMessageBox::Question, text, title, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

MessageBoxes& MessageBoxes::Desktop()
{
    static MessageBoxes boxes;
    return boxes;
}

} // namespace kelvo
