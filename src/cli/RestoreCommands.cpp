#include "cli/RestoreCommands.h"

#include "cli/CliObserver.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Interruption.h"
#include "cli/RunCommand.h"
#include "cli/SetEditor.h"
#include "cli/UsageError.h"
#include "engine/Restore.h"
#include "engine/SetRunLock.h"
#include "platform/Failure.h"
#include "platform/FilePath.h"
#include "platform/SettingsStore.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>

#include <unistd.h>

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

struct ChosenSet
{
    BackupSet set;
    RestorePlace place;
};

ChosenSet Choose(SettingsStore& store, const CommandLine& commandLine)
{
    Configuration configuration;
    LoadConfiguration(store, configuration);
    const BackupSet& set = configuration.sets[SetIndexByName(configuration.sets, commandLine.setName)];
    const std::optional<RestorePlace> place = ResolveRestorePlace(set, ToFilePath(commandLine.path));
    if (!place)
        throw UsageError(u"%1 is not inside the source of set \"%2\" (%3)"_s.arg(
            commandLine.path, set.SetName, set.SourceDirFile));
    return {set, *place};
}

QString TimeText(FileTime time)
{
    return QDateTime::fromSecsSinceEpoch(time.seconds).toString(u"yyyy-MM-dd hh:mm:ss"_s);
}

QString PathText(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// Exit code 1 alone would leave a script's user guessing why nothing was listed or restored.
int NoVersionHeld(const ChosenSet& chosen, const QString& path)
{
    PrintLine(stderr,
              u"kelvo-cli: the backup of set \"%1\" holds no version of %2"_s.arg(chosen.set.SetName, path));
    return ExitFailure;
}

int ListFolderVersions(const ChosenSet& chosen, const QString& path)
{
    const std::vector<FolderVersion> points = FolderVersions(VersionsBelow(chosen.set, chosen.place));
    const QString where = PathText(chosen.place.sides.backup + chosen.place.relative);
    for (const FolderVersion& point : points)
        PrintLine(stdout, u"%1  %2  %3  %4 files  %5"_s.arg(point.number)
                              .arg(TimeText(point.time))
                              .arg(point.size)
                              .arg(point.files)
                              .arg(where));
    return points.empty() ? NoVersionHeld(chosen, path) : ExitSuccess;
}

} // namespace

int ListVersions(SettingsStore& store, const CommandLine& commandLine)
{
    const ChosenSet chosen = Choose(store, commandLine);
    if (IsBackedUpFolder(chosen.place))
        return ListFolderVersions(chosen, commandLine.path);
    const std::vector<FileVersion> versions = VersionsOf(chosen.set, chosen.place);
    for (const FileVersion& version : versions)
        PrintLine(stdout, u"%1  %2  %3  %4"_s.arg(version.number)
                              .arg(TimeText(version.state.modified))
                              .arg(version.state.size)
                              .arg(PathText(version.path())));
    return versions.empty() ? NoVersionHeld(chosen, commandLine.path) : ExitSuccess;
}

int RestoreVersion(SettingsStore& store, const CommandLine& commandLine)
{
    const ChosenSet chosen = Choose(store, commandLine);
    const std::optional<std::vector<RestoreItem>> items =
        PlanRestore(chosen.set, chosen.place, commandLine.version);
    if (!items)
        throw UsageError(u"%1 has no version %2; kelvo-cli versions lists them"_s.arg(commandLine.path)
                             .arg(commandLine.version));
    if (items->empty())
        return NoVersionHeld(chosen, commandLine.path);
    InstallInterruptionHandler();
    CliObserver observer(isatty(STDERR_FILENO) ? stderr : nullptr);
    // A run of the set writes the trees this reads and writes: the two wait for each other.
    const SetRunLock lock(chosen.set.SetName, observer, [] {});
    const SystemClock clock;
    const std::optional<std::string> to =
        commandLine.toDirectory ? std::optional(WithTrailingSeparator(ToFilePath(*commandLine.toDirectory)))
                                : std::nullopt;
    const RestoreSummary summary = RestoreItems(
        observer, clock, chosen.set, chosen.place.sides, *items, to, [](const std::string& line) {
            PrintLine(line.starts_with("Error") ? stderr : stdout, PathText(line));
        });
    observer.finish();
    PrintCounters({{"Restored", summary.restored},
                   {"Unchanged", summary.unchanged},
                   {"Kept aside", summary.keptAside},
                   {"Errors", summary.errors}});
    if (summary.stopped || InterruptionRequested())
        return ExitInterrupted;
    return summary.errors == 0 ? ExitSuccess : ExitFailure;
}

} // namespace kelvo::cli
