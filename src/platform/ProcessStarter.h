#pragma once

#include <QString>
#include <QStringList>

namespace kelvo {

// Starts other programs, detached from this one. Tests replace it to see what would be started.
class ProcessStarter
{
public:
    virtual ~ProcessStarter() = default;

    // False when the program could not be started (missing, not executable).
    virtual bool Start(const QString& program, const QStringList& arguments);
};

} // namespace kelvo
