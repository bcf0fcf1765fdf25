#include "cli/SetListing.h"

#include "cli/SetWords.h"

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

QString YesNo(bool value)
{
    return value ? u"yes"_s : u"no"_s;
}

QString Field(const QString& name, const QString& value)
{
    return u"  "_s + name + u": "_s + value;
}

QString LimitText(qint16 limit)
{
    return limit == 0 ? u"no limit"_s : QString::number(limit);
}

// A store of an older version knows neither.
QString OrUnknown(const QString& value)
{
    return value.isEmpty() ? u"unknown"_s : value;
}

} // namespace

QStringList DescribeSet(const BackupSet& set)
{
    return {
        set.SetName,
        Field(u"enabled"_s, YesNo(set.flEnabled)),
        Field(u"source"_s, set.SourceDirFile),
        Field(u"dest"_s, set.DestDir),
        Field(u"filters"_s, set.Filters),
        Field(u"criterion"_s, WordOfStoredText<CopyCriterion>(CriterionWords, set.CopyOptions)),
        Field(u"sync"_s, WordOfStoredText<SyncMode>(SyncWords, set.SyncOptions)),
        Field(u"overwrite"_s, YesNo(set.flOverwrite)),
        Field(u"subdirs"_s, YesNo(set.flSubDirectories)),
        Field(u"delete-removed"_s, YesNo(set.flRemovedDeletedFiles)),
        Field(u"keep"_s,
              set.flArchive ? WordOfStoredText<KeptCopyNaming>(KeepWords, set.ArchiveOptions) : u"no"_s),
        Field(u"keep-subdir"_s, set.flArchiveSubDir ? set.ArchiveSubDir : u"no"_s),
        Field(u"keep-max"_s, LimitText(set.KeepMaxCopies)),
        Field(u"keep-days"_s, LimitText(set.KeepDays)),
        Field(u"last run"_s, set.LastDate),
        Field(u"last result"_s, OrUnknown(set.LastResult)),
        Field(u"last completed"_s, OrUnknown(set.LastCompleted)),
    };
}

} // namespace kelvo::cli
