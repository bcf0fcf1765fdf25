#include "ui/MessageBoxes.h"

#include <QMessageBox>

namespace kelvo {

namespace {

QString TitleOrProgram(const QString& title)
{
    return title.isEmpty() ? QStringLiteral("Kelvo") : title;
}

} // namespace

void MessageBoxes::stop(QWidget* parent, const QString& text, const QString& title)
{
    QMessageBox::critical(parent, TitleOrProgram(title), text);
}

void MessageBoxes::information(QWidget* parent, const QString& text, const QString& title)
{
    QMessageBox::information(parent, TitleOrProgram(title), text);
}

bool MessageBoxes::question(QWidget* parent, const QString& text, const QString& title)
{
    return QMessageBox::question(parent, TitleOrProgram(title), text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

MessageBoxes& MessageBoxes::Desktop()
{
    static MessageBoxes boxes;
    return boxes;
}

} // namespace kelvo
