#pragma once

#include "config/BackupSet.h"

#include <QDateTime>

#include <optional>
#include <string>
#include <string_view>

// How kept copies and conflict copies are named, and how such a name is read back.
namespace kelvo {

// The stamp of a kept copy or conflict copy made at now: "ddMMyyyy-hhmmss", zero-padded, so that no
// two times of a day share a stamp.
std::string DateStamp(const QDateTime& now);

// "report.doc.conflict-07122026-091115": the destination's version that a two-way run set aside.
std::string ConflictCopyName(const std::string& name, const QDateTime& now);

// Whether a file name in a destination directory is one of the set's kept copies beside their file
// ("report.doc.1", "report.doc.07122026-091115", "report.doc.07122026-091115.2", and the stamps of
// older versions without leading zeros, "report.doc.07122026-91115") or a conflict copy of any set,
// which the delete scan must leave alone and a two-way set never carries across.
bool IsKeptCopyName(const BackupSet& set, std::string_view name);
// Whether a file name has the shape the set's naming gives its kept copies, wherever it keeps them:
// numbered ("report.doc.3") or stamped ("report.doc.07122026-091115", "...-091115.2"). A kept copy
// under the file's own name and a conflict copy have no such shape.
bool HasKeptCopyShape(const BackupSet& set, std::string_view name);
// Whether a file name is that of a conflict copy ("report.doc.conflict-07122026-091115"), which
// two-way runs never carry to the other side.
bool IsConflictCopyName(std::string_view name);
// Whether a directory is the set's sub directory of kept copies, whose files the delete scan must
// leave alone whatever the source holds under that name, and which a two-way set never carries across.
bool IsKeptCopyFolder(const BackupSet& set, std::string_view directory);

// The name of the file whose kept copy or conflict copy name is, by any naming a set has or had
// (numbered, stamped, stamped and numbered, conflict): "report.doc" for "report.doc.3". nullopt for a
// name of no such shape.
std::optional<std::string_view> KeptCopyBase(std::string_view name);

} // namespace kelvo
