#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace kelvo {

// The message boxes of the windows, so that tests answer them instead of a person. The program uses
// the QMessageBox default; a box without a title of its own carries the program's, "Kelvo". Every
// box returns at once and stays open beside a run (see OpenDialog); what depends on the person's
// answer is given to question as a continuation.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;

    // A stop icon with OK: refused input or a failure.
    virtual void stop(QWidget* parent, const QString& text, const QString& title = {});
    // A warning icon with OK.
    virtual void warning(QWidget* parent, const QString& text, const QString& title = {});
    // An information icon with OK.
    virtual void information(QWidget* parent, const QString& text, const QString& title = {});
    // A question icon with Yes and No; answered gets true for Yes, false for No (and Esc or the close
    // box). It is never called when the parent is destroyed before the person answers.
    virtual void question(QWidget* parent, const QString& text, std::function<void(bool yes)> answered,
                          const QString& title = {});

    // The one the program uses.
    static MessageBoxes& Desktop();
};

} // namespace kelvo
