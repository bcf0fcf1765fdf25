#include "cli/Commands.h"

#include "cli/Console.h"
#include "cli/HelpText.h"
#include "cli/RestoreCommands.h"
#include "cli/RunCommand.h"
#include "cli/SetEditor.h"
#include "cli/SetListing.h"
#include "cli/SettingKeys.h"
#include "config/Configuration.h"
#include "platform/AutostartEntry.h"
#include "platform/SettingsStore.h"

#include <cstring>
#include <filesystem>
#include <functional>

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

Configuration Loaded(SettingsStore& store)
{
    Configuration configuration;
    LoadConfiguration(store, configuration);
    return configuration;
}

int ListSets(SettingsStore& store)
{
    for (const BackupSet& set : Loaded(store).sets) {
        if (set.SetName.isEmpty())
            continue;
        for (const QString& line : DescribeSet(set))
            PrintLine(stdout, line);
        if (const std::optional<UnknownOption> unknown = FindUnknownOption(set))
            PrintLine(stderr, u"kelvo-cli: set \"%1\": unknown value %2 for %3; the set is not run"_s.arg(
                                  set.SetName, unknown->value, unknown->key));
    }
    return ExitSuccess;
}

// The windowed program lies beside this one.
QString WindowedProgramPath()
{
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return QString::fromStdString((self.parent_path() / "kelvo").string());
}

// Starting with the desktop is the autostart entry as much as the setting; the settings dialog keeps
// the two together the same way, and still saves the setting when the entry cannot be written.
bool UpdateAutostartEntry(bool startWithDesktop)
{
    AutostartEntry entry;
    const QString command = startWithDesktop ? u"\""_s + WindowedProgramPath() + u"\" /W"_s : QString();
    if (const Outcome outcome = entry.setCommand(command); !outcome.succeeded()) {
        PrintLine(stderr, u"kelvo-cli: cannot change the autostart entry %1: %2"_s.arg(entry.filePath(),
                                                                                       outcome.systemText()));
        return false;
    }
    return true;
}

int ShowSettings(SettingsStore& store, const QStringList& arguments)
{
    const Configuration configuration = Loaded(store);
    if (arguments.isEmpty()) {
        for (const QString& key : SettingKeyNames())
            PrintLine(stdout, key + u'=' + SettingText(configuration.settings, key));
    } else {
        PrintLine(stdout, SettingText(configuration.settings, arguments.first()));
    }
    return ExitSuccess;
}

int ChangeOneSetting(SettingsStore& store, const QString& key, const QString& value)
{
    bool entryKept = true;
    ChangeConfiguration(store, [&](Configuration& configuration) {
        const bool startedWithDesktop = configuration.settings.flWindowsStart;
        ChangeSetting(configuration, key, value);
        if (configuration.settings.flWindowsStart != startedWithDesktop)
            entryKept = UpdateAutostartEntry(configuration.settings.flWindowsStart);
    });
    return entryKept ? ExitSuccess : ExitFailure;
}

int ShowOrChangeSettings(SettingsStore& store, const QStringList& arguments)
{
    if (arguments.size() < 2)
        return ShowSettings(store, arguments);
    return ChangeOneSetting(store, arguments[0], arguments[1]);
}

// Every change of the sets follows one path under the store's lock: load, change in memory (refusing
// bad input), commit.
int ChangeSets(SettingsStore& store, const std::function<void(Configuration&)>& change)
{
    ChangeConfiguration(store, change);
    return ExitSuccess;
}

} // namespace

int ExecuteCommand(SettingsStore& store, const CommandLine& commandLine)
{
    const QString& name = commandLine.setName;
    const SetOptions& options = commandLine.options;
    switch (commandLine.command) {
    case Command::Help:
        for (const QString& line : HelpText().split(u'\n'))
            PrintLine(stdout, line);
        return ExitSuccess;
    case Command::List:
        return ListSets(store);
    case Command::Settings:
        return ShowOrChangeSettings(store, commandLine.settingArguments);
    case Command::Add:
        return ChangeSets(store, [&](Configuration& c) { AddSet(c, name, options); });
    case Command::Edit:
        return ChangeSets(store, [&](Configuration& c) { EditSet(c, name, options); });
    case Command::Remove:
        return ChangeSets(store, [&](Configuration& c) { RemoveSet(c, name); });
    case Command::Enable:
        return ChangeSets(store, [&](Configuration& c) { EnableSet(c, name, true); });
    case Command::Disable:
        return ChangeSets(store, [&](Configuration& c) { EnableSet(c, name, false); });
    case Command::Run:
        return RunSets(store, commandLine);
    case Command::Versions:
        return ListVersions(store, commandLine);
    case Command::Restore:
        return RestoreVersion(store, commandLine);
    }
    return ExitUsage;
}

} // namespace kelvo::cli
