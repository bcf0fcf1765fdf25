#include "platform/ProcessStarter.h"

#include <QProcess>

namespace kelvo {

bool ProcessStarter::Start(const QString& program, const QStringList& arguments)
{
    return QProcess::startDetached(program, arguments);
}

} // namespace kelvo
