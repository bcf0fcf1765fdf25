#include "cli/Commands.h"

#include "app/Configuration.h"
#include "cli/Console.h"
#include "cli/HelpText.h"
#include "cli/RunCommand.h"
#include "cli/SetEditor.h"
#include "cli/SetListing.h"
#include "cli/SettingKeys.h"
#include "platform/SettingsStore.h"

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
    }
    return ExitSuccess;
}

int ShowOrChangeSettings(SettingsStore& store, const QStringList& arguments)
{
    Configuration configuration = Loaded(store);
    if (arguments.isEmpty()) {
        for (const QString& key : SettingKeyNames())
            PrintLine(stdout, key + u'=' + SettingText(configuration.settings, key));
        return ExitSuccess;
    }
    const QString& key = arguments.first();
    if (arguments.size() == 1) {
        PrintLine(stdout, SettingText(configuration.settings, key));
        return ExitSuccess;
    }
    ChangeSetting(configuration, key, arguments[1]);
    CommitConfiguration(store, configuration);
    return ExitSuccess;
}

// Every change of the sets follows one path: load, change in memory (refusing bad input), commit.
template <typename Change> int ChangeSets(SettingsStore& store, Change change)
{
    Configuration configuration = Loaded(store);
    change(configuration);
    CommitConfiguration(store, configuration);
    return ExitSuccess;
}

} // namespace

int ExecuteCommand(SettingsStore& store, const CommandLine& commandLine)
{
    const QString& name = commandLine.setName;
    const SetOptions& options = commandLine.options;
    switch (commandLine.command) {
    case Command::Help:
        PrintLine(stdout, HelpText());
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
    }
    return ExitUsage;
}

} // namespace kelvo::cli
