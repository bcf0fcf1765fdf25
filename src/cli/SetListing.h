#pragma once

#include "config/Configuration.h"

#include <QStringList>

namespace kelvo::cli {

// The lines "list" prints for one set: its name, then one indented "field: value" line per field,
// in the words the add and edit options take.
QStringList DescribeSet(const BackupSet& set);

} // namespace kelvo::cli
