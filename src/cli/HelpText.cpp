#include "cli/HelpText.h"

namespace kelvo::cli {

QString HelpText()
{
    return QStringLiteral(R"(Usage: kelvo-cli COMMAND [ARGUMENTS]

Runs and edits Kelvo's backup sets and settings without windows, from scripts and cron.

Commands:
  list                    Show every set in store order with its fields.
  settings                Show every general setting as KEY=VALUE.
  settings KEY            Show one general setting.
  settings KEY VALUE      Change one general setting. Booleans take true or false, numbers must be
                          whole numbers in range, StrStatusBarPos takes TL, TR, BL or BR, StrRealTime
                          takes None or the name of a set. flWindowsStart also writes or disables
                          the desktop autostart entry of kelvo. flLowPriority (default true) lets
                          runs, run included, give the disk and processor to other programs first
                          (idle I/O class, nice 10); runs while the screen saver shows go at full
                          speed.
  add NAME OPTIONS        Add a set. --source and --dest are required.
  edit NAME OPTIONS       Change the given options of a set; the others keep their values.
  remove NAME             Remove a set.
  enable NAME             Let a set take part in runs.
  disable NAME            Leave a set out of runs.
  run [NAME]              Back up every enabled set, or only the named one, and print the counters.
  versions NAME PATH      List the versions of a file in the set's source that its backup holds:
                          number (1 is the backup copy, then the kept copies, newest first), time
                          of the content, size, where it lies. For a folder, its points in time.
  restore NAME PATH [--version N] [--to DIR]
                          Copy version N (default: the newest) of a file or folder back to its
                          place, or below DIR. A current file that differs is kept beside it first;
                          nothing is deleted.
  help, --help            Show this text.

Options of add and edit:
  --source DIR            Directory to back up. It must exist unless --force is given.
  --dest DIR              Destination directory.
  --filters TEXT          File patterns separated by ";" (default "*.*").
  --criterion WORD        When a file is copied: date (default), archive or size.
  --sync WORD             one-way (default, source to destination), two-way, or reverse
                          (destination to source).
  --overwrite, --no-overwrite
                          Overwrite files in the destination (default on).
  --subdirs, --no-subdirs Include sub directories (default on).
  --delete-removed, --no-delete-removed
                          Delete destination files that are gone from the source (default off);
                          with --keep they are kept instead, as replaced files are.
  --keep WORD, --no-keep  Keep the replaced file, named with a sequence number (seq), the date
                          (date) or its own name (name, needs --keep-subdir). Default off.
  --keep-subdir DIR, --no-keep-subdir
                          Move kept copies into the sub directory DIR (implies --keep seq).
  --enabled, --disabled   Whether the set takes part in runs (default enabled).
  --force                 Accept a source directory that does not exist.

Set names hold letters of any alphabet, digits and spaces only, and are unique without regard
to letter case.
Paths are stored absolute. An option may also be written --option=VALUE.

Exit status:
  0  success; for run, no error was counted
  1  run or restore counted at least one error, versions or restore found no version in the
     backup, or the settings store could not be read or written
  2  bad input: unknown command or option, bad value, unknown set; nothing was changed
  130  run or restore was interrupted (Ctrl-C); the file being copied is not left behind)");
}

} // namespace kelvo::cli
