#include "config/AppState.h"
#include "config/Configuration.h"
#include "app/ExitProgram.h"
#include "app/Startup.h"
#include "app/WindowRegistry.h"
#include "platform/InstanceLock.h"
#include "platform/ProcessStarter.h"
#include "platform/SettingsStore.h"

#include <QCoreApplication>

#include <cstdio>
#include <exception>

using namespace kelvo;

namespace {

struct Program
{
    AppState state;
    Configuration configuration;
    SettingsStore store;
    InstanceLock lock;
    ProcessStarter starter;
    WindowRegistry windows;
    ExitProgram exitProgram{windows, {}, [] { QCoreApplication::exit(0); }};

    // The window steps of the set list editor's Done command that follow a commit: they end the
    // program when the editor is all there is ("CONFIG") or it sits over the screen saver ("SS").
    void doneWindowSteps()
    {
        if (state.RunMode == RunModeConfig || state.RunMode == RunModeScreenSaver)
            exitProgram();
    }

    void loadConfiguration()
    {
        LoadConfiguration(store, configuration, [this] { doneWindowSteps(); });
    }

    void showSetListEditor()
    {
        configuration.sets = BackupSets(1);
        loadConfiguration();
    }

    void startApplication()
    {
        if (!CheckPreviousInstance(lock))
            return;
        loadConfiguration();
        if (exitProgram.ended())
            return;
        if (state.RunMode == RunModeScreenSaver)
            StartAlternativeScreenSaver(configuration.settings, starter);
        exitProgram();
    }

    void run(const QString& commandLine)
    {
        switch (Main(commandLine, state).action) {
        case StartAction::ShowSetListEditor:
            showSetListEditor();
            break;
        case StartAction::StartApplication:
            startApplication();
            break;
        case StartAction::ChangePassword: // the desktop's screen locker owns the password
        case StartAction::EndAtOnce:
            break;
        }
    }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    try {
        Program program;
        program.run(CommandLineFromArguments(QCoreApplication::arguments()));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "Kelvo: %s\n", failure.what());
        return 1;
    }
    return 0;
}
