#pragma once

#include <QString>

#include <functional>
#include <vector>

namespace kelvo {

class SettingsStore;

// General settings; the fields carry their key names. Before the first load every field holds its
// empty value.
struct GeneralSettings
{
    QString StrLogFileDir;
    qint16 IntLogFileSize = 0;
    bool flLogFileOn = false;
    bool flLogFileSuccess = false;
    bool flLogFileErrors = false;
    bool flLogDeletes = false;
    bool flScreenSaver = false;
    QString StrAltScreenSaver;
    bool flReRun = false;
    qint16 IntReRunTime = 0;
    bool flSysTray = false;
    bool flWindowsStart = false;
    bool flDelay = false;
    bool flShowStatusBar = false;
    bool flStatusBarAOT = false;
    QString StrStatusBarPos;
    QString StrRealTime;

    bool operator==(const GeneralSettings&) const = default;
};

struct BackupSet
{
    QString SetName;
    QString SourceDirFile;
    QString DestDir;
    QString CopyOptions;    // "OpDate", "OpArchive", "OpFileSize"
    QString SyncOptions;    // "srcToDest", "srcAndDest", "destToSrc"
    QString ArchiveOptions; // "OpKeep", "OpSeq", "OpDate"
    QString ArchiveSubDir;
    QString Filters;
    bool flEnabled = false;
    bool flOverwrite = false;
    bool flSubDirectories = false;
    bool flArchive = false;
    bool flArchiveSubDir = false;
    bool flRemoved = false;
    bool flRemovedDeletedFiles = false;
    QString LastDate;

    bool operator==(const BackupSet&) const = default;
};

// Indexed from 0 in store order; after a load never empty (one record with an empty SetName when
// the store holds no set).
using BackupSets = std::vector<BackupSet>;

// The configuration in memory, owned by the application and handed to whoever needs it.
struct Configuration
{
    GeneralSettings settings;
    BackupSets sets;
};

// Replaces the configuration in memory with the store's. On the first start after an older version,
// imports the legacy store and commits it through the set list editor's Done command: the commit,
// then doneWindowSteps (the editor's window steps; they end the program in "CONFIG" and "SS").
void LoadConfiguration(SettingsStore& store, Configuration& configuration,
                       const std::function<void()>& doneWindowSteps = {});
// Writes the whole configuration; fills empty CopyOptions, SyncOptions and Filters in memory.
void SaveConfiguration(SettingsStore& store, Configuration& configuration);
// The commit of every editor: save, then load.
void CommitConfiguration(SettingsStore& store, Configuration& configuration);

} // namespace kelvo
