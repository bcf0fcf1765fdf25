#pragma once

#include "config/BackupSet.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace kelvo {

class SettingsStore;

// General settings; the fields carry their key names. Before the first load every field holds its
// empty value: the defaults, names and ranges are the table's (GeneralSettingKeys.h).
struct GeneralSettings
{
    QString StrLogFileDir;
    qint16 IntLogFileSize{};
    bool flLogFileOn{};
    bool flLogFileSuccess{};
    bool flLogFileErrors{};
    bool flLogDeletes{};
    bool flScreenSaver{};
    QString StrAltScreenSaver;
    bool flReRun{};
    qint16 IntReRunTime{};
    bool flSysTray{};
    bool flWindowsStart{};
    bool flDelay{};
    bool flShowStatusBar{};
    bool flStatusBarAOT{};
    QString StrStatusBarPos;
    QString StrRealTime;
    bool flRunWhenIdle{};  // back up when the session's screen saver starts or the screen locks
    qint16 IntStaleDays{}; // days without a completed run of an enabled set before it is told; 0 never
    bool flLowPriority{};  // runs while the user works take the idle I/O class and nice 10

    bool operator==(const GeneralSettings&) const = default;
};

// Indexed from 0 in store order; after a load never empty (one record with an empty SetName when
// the store holds no set).
using BackupSets = std::vector<BackupSet>;

// The configuration as this process last read it from the store or wrote it there.
struct ConfigurationBase
{
    GeneralSettings settings;
    BackupSets sets; // named sets only
};

// The configuration in memory, owned by the application and handed to whoever needs it.
struct Configuration
{
    GeneralSettings settings;
    BackupSets sets;
    // What a save measures this process's changes against; none before the first load, or when
    // everything in memory is new (the legacy import).
    std::optional<ConfigurationBase> base;
};

// Replaces the configuration in memory with the store's. When there is no configuration file at all
// but an older version's store, imports that store and commits it through the set list editor's Done
// command: the commit, then the older store is renamed ("Saver.conf.imported") so the import happens
// once, then doneWindowSteps (the editor's window steps; they end the program in "CONFIG" and "SS").
void LoadConfiguration(SettingsStore& store, Configuration& configuration,
                       const std::function<void()>& doneWindowSteps = {});
// Writes the configuration; fills empty CopyOptions, SyncOptions and Filters in memory. Under the
// store's lock it re-reads what is stored now and writes this process's changes since its base over
// it: each general setting and each field of a set that changed, the sets added and removed. What
// another process changed meanwhile stays, and so does its removal of a set that this process has
// not edited (a run's new records are no edit). The order of the sets is this process's when it moved
// sets, else the stored one with this process's new sets at its end.
void SaveConfiguration(SettingsStore& store, Configuration& configuration);
// Writes what a run learnt of its sets into the store as it is now: each set's dates and result, and
// its drives when it still has the roots it was run with, for the sets that still exist. ranSets holds
// only the sets the run went through (WithNewRunRecords), so another process's newer records of the
// others stay.
void StoreRunRecords(SettingsStore& store, const BackupSets& ranSets);
// The commit of every editor: save, then load.
void CommitConfiguration(SettingsStore& store, Configuration& configuration);
// An editor's own copy of the sets, with the sets in memory it was taken from. A load of the
// configuration in memory (the countdown's) leaves the copy alone, and its commit carries only what
// the editor changed, so neither replaces the other.
struct SetsDraft
{
    BackupSets sets;
    std::optional<BackupSets> base; // none when everything in memory was new (nothing loaded yet)
};
SetsDraft DraftOf(const Configuration& configuration);
// The commit of an editor's draft: its changes go over the sets in memory (with what runs stamped
// there since), then save and load. A save that fails leaves the configuration in memory as it was.
void CommitDraft(SettingsStore& store, Configuration& configuration, const SetsDraft& draft);
// Loads, changes and commits while holding the store's lock, so that no other process's change comes
// between what change saw and what it decided (two adds of one name cannot both succeed).
void ChangeConfiguration(SettingsStore& store, const std::function<void(Configuration&)>& change);

} // namespace kelvo
