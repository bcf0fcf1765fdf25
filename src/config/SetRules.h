#pragma once

#include "config/Configuration.h"

#include <QString>

#include <cstddef>
#include <optional>

namespace kelvo {

// What can be wrong with a backup set; each user interface words it in its own terms.
enum class SetProblemKind {
    NoName,
    PaddedName,     // blanks before or after the name
    NameCharacters, // anything but letters and digits of any script, their marks, and spaces
    DuplicateName,  // another set has the name, without regard to case
    NoSource,
    RelativeSource, // a path that names another folder for each working directory
    SourceIsAFile,
    SourceMissing,
    NoDestination,
    RelativeDestination,
    SameDirectory,
    DestinationInsideSource,
    SourceInsideDestination,
    OwnNameWithoutSubDirectory, // a kept copy under the file's own name needs its own folder
    SubDirectoryName,           // the kept-copy folder must be one plain name
    SubDirectoryBackedUp,       // the folder the set copies holds a folder of the kept-copy folder's name
};

// The largest limits on kept copies a set takes (BackupSet::KeepMaxCopies and KeepDays): the store,
// the dialog and kelvo-cli all hold them to these.
inline constexpr qint16 MostKeptCopies = 9999;
inline constexpr qint16 MostKeptCopyDays = 9999; // more than 27 years

struct SetProblem
{
    SetProblemKind kind;
    QString subject; // the name, path or folder name concerned
};

// The first rule that the set at index breaks, or nothing. The source must exist unless
// sourceMayBeMissing. Source and destination must not be the same directory, nor, when sub
// directories are included, one inside the other, however reached (symbolic links, bind mounts):
// such a set would copy files onto themselves or into its own tree.
std::optional<SetProblem> FindSetProblem(const BackupSets& sets, std::size_t index, bool sourceMayBeMissing);

bool IsValidSetName(const QString& name);

} // namespace kelvo
