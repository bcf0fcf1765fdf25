#pragma once

#include "config/BackupSet.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace kelvo::cli {

enum class Command { Help, List, Settings, Add, Edit, Remove, Enable, Disable, Run, Versions, Restore };

// The set options of "add" and "edit"; an option that was not given is empty, so "edit" changes only
// what was asked for. Paths are absolute.
struct SetOptions
{
    std::optional<QString> SourceDirFile;
    std::optional<QString> DestDir;
    std::optional<QString> Filters;
    std::optional<CopyCriterion> CopyOptions;
    std::optional<SyncMode> SyncOptions;
    std::optional<bool> flEnabled;
    std::optional<bool> flOverwrite;
    std::optional<bool> flSubDirectories;
    std::optional<bool> flRemovedDeletedFiles;
    std::optional<bool> flArchive;
    std::optional<KeptCopyNaming> ArchiveOptions;
    std::optional<bool> flArchiveSubDir;
    std::optional<QString> ArchiveSubDir;
    std::optional<qint16> KeepMaxCopies;
    std::optional<qint16> KeepDays;
    bool force = false; // accept a source that does not exist (yet)
};

struct CommandLine
{
    Command command = Command::Help;
    QString setName; // add, edit, remove, enable, disable, versions, restore; run when runOneSet
    bool runOneSet = false;
    QStringList settingArguments; // settings: none, KEY, or KEY VALUE
    SetOptions options;
    QString path;                       // versions, restore: as given
    int version = 0;                    // restore --version; 0: the newest
    std::optional<QString> toDirectory; // restore --to, absolute
};

// The arguments after the program name. Raises UsageError for anything it cannot act on.
CommandLine ParseCommandLine(const QStringList& arguments);

} // namespace kelvo::cli
