#include "cli/SetValidation.h"

#include "cli/UsageError.h"
#include "config/SetRules.h"

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

QString UsageText(const SetProblem& problem)
{
    const QString& s = problem.subject;
    switch (problem.kind) {
    case SetProblemKind::NoName:
        return u"a set needs a name"_s;
    case SetProblemKind::PaddedName:
        return u"set name \"%1\" begins or ends with a space"_s.arg(s);
    case SetProblemKind::NameCharacters:
        return u"set name \"%1\": use only letters, digits and spaces"_s.arg(s);
    case SetProblemKind::DuplicateName:
        return u"a set named \"%1\" already exists"_s.arg(s);
    case SetProblemKind::NoSource:
        return u"a source directory is required (--source)"_s;
    case SetProblemKind::RelativeSource:
        return u"source %1 is not an absolute path; give the whole path, beginning with /"_s.arg(s);
    case SetProblemKind::SourceIsAFile:
        return u"source %1 is a file; a set backs up a directory"_s.arg(s);
    case SetProblemKind::SourceMissing:
        return u"source directory %1 does not exist (--force adds the set anyway)"_s.arg(s);
    case SetProblemKind::NoDestination:
        return u"a destination directory is required (--dest)"_s;
    case SetProblemKind::RelativeDestination:
        return u"destination %1 is not an absolute path; give the whole path, beginning with /"_s.arg(s);
    case SetProblemKind::SameDirectory:
        return u"source and destination are the same directory"_s;
    case SetProblemKind::DestinationInsideSource:
        return u"the destination lies inside the source; the set would back up its own copy"_s;
    case SetProblemKind::SourceInsideDestination:
        return u"the source lies inside the destination; the set would back up its own copy"_s;
    case SetProblemKind::OwnNameWithoutSubDirectory:
        return u"--keep name needs --keep-subdir: a kept copy of the same name needs its own directory"_s;
    case SetProblemKind::SubDirectoryName:
        return u"--keep-subdir takes the name of one sub directory, not \"%1\""_s.arg(s);
    case SetProblemKind::SubDirectoryBackedUp:
        return u"--keep-subdir: %1 is a folder the set backs up; its backup would mix with the kept copies"_s
            .arg(s);
    }
    return {};
}

} // namespace

void ValidateSet(const BackupSets& sets, std::size_t index, bool force)
{
    if (const std::optional<SetProblem> problem = FindSetProblem(sets, index, force))
        throw UsageError(UsageText(*problem));
}

} // namespace kelvo::cli
