#pragma once

#include <QString>

class QWidget;

namespace kelvo {

// The message boxes of the windows, so that tests answer them instead of a person. The program uses
// the QMessageBox default; a box without a title of its own carries the program's, "Kelvo".
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;

    // A stop icon with OK: refused input or a failure.
    virtual void stop(QWidget* parent, const QString& text, const QString& title = {});
    // An information icon with OK.
    virtual void information(QWidget* parent, const QString& text, const QString& title = {});
    // A warning icon with OK: a choice that does not work without another.
    virtual void warning(QWidget* parent, const QString& text, const QString& title = {});
    // A question icon with Yes and No; true for Yes.
    virtual bool question(QWidget* parent, const QString& text, const QString& title = {});

    // The one the program uses.
    static MessageBoxes& Desktop();
};

} // namespace kelvo
