#pragma once

#include <QString>
#include <QStringList>

namespace kelvo {

struct AppState;
struct GeneralSettings;
class InstanceLock;
class ProcessStarter;

// What the command line asks the start to open.
enum class StartAction {
    ShowSetListEditor, // "/C"
    StartApplication,  // "/S", "/B" or nothing, "/M", "/W"
    ChangePassword,    // "/A"
    EndAtOnce,         // "/P" and anything unknown
};

struct StartRequest
{
    StartAction action = StartAction::EndAtOnce;
    qint32 passwordParentWindow = 0; // "/A" only
};

// The command line as the program's switches expect it: the arguments after the program name,
// joined with single blanks.
QString CommandLineFromArguments(const QStringList& arguments);

// Reads the command line into the run modes of state (clearing the re-run counter and the tray flag)
// and says what to open.
StartRequest Main(const QString& commandLine, AppState& state);

// Where "/S" draws: its own full-screen window, or the window that an xscreensaver-style saver gives
// it ("-window-id ID" after the switch, decimal or 0x hex; else the saver's XSCREENSAVER_WINDOW;
// else "-root", the root window). In a given window the saver owns input and ends the program.
struct ScreenSaverTarget
{
    enum class Kind { OwnWindow, GivenWindow, RootWindow };
    Kind kind = Kind::OwnWindow;
    quintptr window = 0; // GivenWindow only
};
ScreenSaverTarget ScreenSaverTargetOf(const QString& commandLine, const QByteArray& xscreensaverWindow);

// Takes the single-instance mark; false when another instance of the user holds it, and the start
// must then end silently.
bool CheckPreviousInstance(InstanceLock& lock);

// In screen-saver mode with flScreenSaver set, starts StrAltScreenSaver with "/S". A missing or
// failing program gives a warning line; false when nothing was started.
bool StartAlternativeScreenSaver(const GeneralSettings& settings, ProcessStarter& starter);

} // namespace kelvo
