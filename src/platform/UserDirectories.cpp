#include "platform/UserDirectories.h"

#include <QDir>

namespace kelvo {

QString ConfigHome()
{
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    // Relative values are invalid by the base-directory rules and must be ignored.
    if (!configured.isEmpty() && QDir::isAbsolutePath(configured))
        return configured;
    return QDir::homePath() + QStringLiteral("/.config");
}

QString KelvoConfigDirectory()
{
    return ConfigHome() + QStringLiteral("/kelvo");
}

} // namespace kelvo
