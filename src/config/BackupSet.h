#pragma once

#include <QString>

#include <optional>

namespace kelvo {

struct BackupSet
{
    QString SetName;
    QString SourceDirFile;
    QString DestDir;
    // The option fields hold the texts the store holds, so a text this version does not know is
    // written back as it was read; the program reads and writes them only through the functions below.
    QString CopyOptions;
    QString SyncOptions;
    QString ArchiveOptions;
    QString ArchiveSubDir;
    QString Filters;
    bool flEnabled = false;
    bool flOverwrite = false;
    bool flSubDirectories = false;
    bool flArchive = false;
    bool flArchiveSubDir = false;
    bool flRemoved = false;
    bool flRemovedDeletedFiles = false;
    // Limits on the kept copies of each file: at most this many, none kept longer than this many days;
    // 0 is no limit. A store without the keys reads 0, so older sets keep every copy as before.
    qint16 KeepMaxCopies = 0;
    qint16 KeepDays = 0;
    QString LastDate;
    // The end of the last run that went through the set (RunRecords.h): its result, and when the set
    // last completed and was first run; empty before a run of this version.
    QString LastResult;
    QString LastCompleted;
    QString FirstAttempt;
    // The mounted drive that held SourceDirFile and DestDir at the end of the last run that went
    // through the set (DriveOf); empty before it. A run finds the roots on these drives again or runs
    // nothing: a drive that is not plugged in leaves an empty folder of the system disk in its place.
    QString SourceDrive;
    QString DestDrive;

    bool operator==(const BackupSet&) const = default;
};

enum class SyncMode { OneWay, TwoWay, Reverse };
// An empty CopyOptions is "OpDate", which every save writes in its place; an empty ArchiveOptions
// (a key missing from a hand-edited file) is "OpSeq", the naming that never replaces a kept copy.
enum class CopyCriterion { Date, ArchiveFlag, Size, Unknown };
enum class KeptCopyNaming { OwnName, Sequence, Date, Unknown };
SyncMode SyncModeOf(const BackupSet& set);
// The same, with nothing for a text other than the three (an empty text is one way).
std::optional<SyncMode> KnownSyncModeOf(const BackupSet& set);
CopyCriterion CopyCriterionOf(const BackupSet& set);
KeptCopyNaming KeptCopyNamingOf(const BackupSet& set);

// The text the store keeps for each known value ("OpDate", "srcToDest", "OpSeq"), and back: the value
// a text stands for exactly, nothing for any other text (an empty one too).
QString StoredText(SyncMode mode);
QString StoredText(CopyCriterion criterion);
QString StoredText(KeptCopyNaming naming);
template <typename Option> std::optional<Option> OptionOfStoredText(const QString& text);

// An option field holding a text that the program does not know, by its key name.
struct UnknownOption
{
    QString key;
    QString value;
};
// The first of CopyOptions, SyncOptions and ArchiveOptions that holds an unknown text (a hand edit
// such as "opdate"): such a set is not run, since it would copy or keep nothing without a word.
std::optional<UnknownOption> FindUnknownOption(const BackupSet& set);

// A set as every editor starts one: enabled, one way, by date, every file, sub directories included,
// overwriting, kept copies numbered, never run.
BackupSet NewBackupSet(const QString& name);

} // namespace kelvo
