#include "app/Startup.h"

#include "config/AppState.h"
#include "config/Configuration.h"
#include "platform/Failure.h"
#include "platform/InstanceLock.h"
#include "platform/ProcessStarter.h"

#include <QtDebug>

#include <optional>

namespace kelvo {

namespace {

// The number at the start of text, blanks before it skipped; 0 when there is none or it does not fit.
qint32 LeadingNumber(const QString& text)
{
    const QString rest = text.trimmed();
    qsizetype end = 0;
    while (end < rest.size() && rest[end] >= u'0' && rest[end] <= u'9')
        ++end;
    bool ok = false;
    const qint32 number = rest.left(end).toInt(&ok);
    return ok ? number : 0;
}

} // namespace

QString CommandLineFromArguments(const QStringList& arguments)
{
    return arguments.mid(1).join(u' ');
}

StartRequest Main(const QString& commandLine, AppState& state)
{
    state.ReRunCounter = 0;
    state.TrayIconShown = false;
    const QString switchText = commandLine.trimmed().toUpper().left(2);
    if (switchText == QStringLiteral("/C")) {
        state.RunMode = RunModeConfig;
        return {StartAction::ShowSetListEditor};
    }
    if (switchText == QStringLiteral("/B") || switchText.isEmpty()) {
        state.RunMode = RunModeApplication;
        return {StartAction::StartApplication};
    }
    if (switchText == QStringLiteral("/M") || switchText == QStringLiteral("/W")) {
        state.RunMode = RunModeApplication;
        state.StartMinimised = QStringLiteral("MIN");
        if (switchText == QStringLiteral("/W"))
            state.StartedByWindows = QStringLiteral("WIN");
        return {StartAction::StartApplication};
    }
    if (switchText == QStringLiteral("/S")) {
        state.RunMode = RunModeScreenSaver;
        return {StartAction::StartApplication};
    }
    if (switchText == QStringLiteral("/A")) {
        state.RunMode = RunModeScreenSaver;
        return {StartAction::ChangePassword, LeadingNumber(commandLine.mid(2))};
    }
    return {StartAction::EndAtOnce};
}

namespace {

std::optional<quintptr> WindowNumber(const QString& text)
{
    bool ok = false;
    const quintptr number = text.startsWith(u"0x", Qt::CaseInsensitive) ? text.mid(2).toULongLong(&ok, 16)
                                                                        : text.toULongLong(&ok, 10);
    if (!ok || number == 0)
        return std::nullopt;
    return number;
}

} // namespace

ScreenSaverTarget ScreenSaverTargetOf(const QString& commandLine, const QByteArray& xscreensaverWindow)
{
    // xscreensaver writes its options with one dash or two.
    QStringList words = commandLine.split(u' ', Qt::SkipEmptyParts);
    for (QString& word : words) {
        if (word.startsWith(QStringLiteral("--")))
            word.remove(0, 1);
    }
    const qsizetype given = words.indexOf(QStringLiteral("-window-id"));
    if (given >= 0 && given + 1 < words.size()) {
        if (const std::optional<quintptr> window = WindowNumber(words[given + 1]))
            return {ScreenSaverTarget::Kind::GivenWindow, *window};
    }
    if (const std::optional<quintptr> window =
            WindowNumber(QString::fromLatin1(xscreensaverWindow).trimmed()))
        return {ScreenSaverTarget::Kind::GivenWindow, *window};
    if (words.contains(QStringLiteral("-root")))
        return {ScreenSaverTarget::Kind::RootWindow, 0};
    return {};
}

bool CheckPreviousInstance(InstanceLock& lock)
{
    return lock.TryAcquire();
}

bool StartAlternativeScreenSaver(const GeneralSettings& settings, ProcessStarter& starter)
{
    if (!settings.flScreenSaver)
        return false;
    if (settings.StrAltScreenSaver.trimmed().isEmpty()) {
        Warn(QStringLiteral("Kelvo: no alternative screen saver is set; starting none."));
        return false;
    }
    if (!starter.Start(settings.StrAltScreenSaver, {QStringLiteral("/S")})) {
        Warn(QStringLiteral("Kelvo: the alternative screen saver \"%1\" could not be started.")
                 .arg(settings.StrAltScreenSaver));
        return false;
    }
    return true;
}

} // namespace kelvo
