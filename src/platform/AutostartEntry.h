#pragma once

#include "platform/Failure.h"

#include <QString>
#include <QStringList>

namespace kelvo {

// The desktop's autostart entry of the program, $XDG_CONFIG_HOME/autostart/kelvo.desktop, seen as a
// command line in the form the start-up value of the registry helpers uses: "<program>" /W.
class AutostartEntry final
{
public:
    AutostartEntry(); // the location of the current user

    const QString& filePath() const { return m_filePath; }

    // "" when there is no entry or it is disabled.
    QString command() const;
    // An empty command disables the entry with Hidden=true, which also masks a
    // system-wide entry of the same name that a package may install.
    Outcome setCommand(const QString& commandLine);

private:
    QString m_filePath;
};

// Splits a command line of blank-separated words, where "..." groups a word with blanks.
QStringList SplitCommandLine(const QString& commandLine);
// The arguments as a desktop-entry Exec value, escaped for the file.
QString ExecValue(const QStringList& arguments);
// The arguments of a desktop-entry Exec value as read from the file.
QStringList ExecArguments(const QString& value);

} // namespace kelvo
