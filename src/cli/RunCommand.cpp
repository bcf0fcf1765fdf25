#include "cli/RunCommand.h"

#include "cli/CliObserver.h"
#include "cli/Console.h"
#include "cli/Interruption.h"
#include "cli/SetEditor.h"
#include "cli/UsageError.h"
#include "config/RunRecords.h"
#include "engine/BackupRun.h"
#include "engine/DirectoryLists.h"

#include <unistd.h>

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

// The set index the run takes. For one set every other set is left out of the lists, so that the
// run neither walks their trees nor counts them in its progress.
qint16 ChooseSets(Configuration& configuration, const CommandLine& commandLine)
{
    if (!commandLine.runOneSet)
        return AllSets;
    const std::size_t index = SetIndexByName(configuration.sets, commandLine.setName);
    if (!configuration.sets[index].flEnabled)
        throw UsageError(u"set \"%1\" is disabled; kelvo-cli enable \"%1\" lets it run"_s.arg(
            configuration.sets[index].SetName));
    for (std::size_t other = 0; other < configuration.sets.size(); ++other)
        configuration.sets[other].flEnabled = other == index;
    return static_cast<qint16>(index);
}

} // namespace

int RunSets(SettingsStore& store, const CommandLine& commandLine)
{
    Configuration configuration;
    LoadConfiguration(store, configuration);
    const qint16 setIndex = ChooseSets(configuration, commandLine);

    // From here a Ctrl-C or SIGTERM ends the run with its own exit code, also while the folders are listed.
    InstallInterruptionHandler();
    RunState state;
    QString startedByWindows;
    BuildDirectoryLists(configuration, startedByWindows, state);

    CliObserver observer(isatty(STDERR_FILENO) ? stderr : nullptr);
    RunStatistics statistics;
    const SystemClock clock;
    RunContext context{configuration, state, statistics, observer, clock, false};
    const BackupSets before = configuration.sets;
    RunBackup(context, setIndex);
    observer.finish();

    PrintCounters({{"Directories searched", statistics.directoriesSearched},
                   {"Files examined", statistics.filesExamined},
                   {"Files copied", statistics.filesCopied},
                   {"Errors", statistics.errors}});
    StoreRunRecords(store, WithNewRunRecords(before, configuration.sets));
    if (InterruptionRequested())
        return ExitInterrupted;
    return statistics.errors == 0 ? ExitRunClean : ExitRunWithErrors;
}

} // namespace kelvo::cli
