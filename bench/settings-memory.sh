#!/usr/bin/env bash
# Peak memory of kelvo-cli on large configuration files: `list` (a load) and `settings IntReRunTime 30`
# (a load, a save and a load). Usage: bench/settings-memory.sh [SETS...]   (default 10000 100000 250000)
#
# Each count gets two files: "full", every key of every set as Kelvo writes it, and "sparse", seven keys
# a set as a script might write them (the reader fills the rest with defaults). A full file of 250,000
# sets is past the 64 MiB a settings file may hold and is skipped. KELVO_CLI picks the binary
# (default build/bin/kelvo-cli); BENCH_DIR the work folder (default /tmp/kelvo-settings-bench).
set -euo pipefail

cli=${KELVO_CLI:-$(dirname "$0")/../build/bin/kelvo-cli}
work=${BENCH_DIR:-/tmp/kelvo-settings-bench}
counts=("${@:-10000 100000 250000}")
[ -x /usr/bin/time ] || apt-get install -y time >/dev/null
mkdir -p "$work"

generate() { # count shape file
    python3 - "$@" <<'EOF'
import sys
count, shape, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
with open(path, "w") as f:
    f.write("[Settings]\nIntReRunTime = 60\n\n[Sets]\n")
    f.writelines(f"Set {i} = Set {i}\n" for i in range(count))
    for i in range(count):
        f.write(f"\n[Sets\\Set {i}]\nSourceDirFile = /home/someone/Documents/project {i}\n"
                f"DestDir = /media/backup/Documents/project {i}\n")
        if shape == "full":
            f.write("CopyOptions = OpDate\nSyncOptions = srcToDest\nArchiveOptions = OpSeq\n"
                    "ArchiveSubDir =\nFilters = *.*\n")
        f.write("flEnabled = True\nflOverwrite = True\nflSubDirectories = True\nflArchive = False\n"
                "flArchiveSubDir = False\n")
        if shape == "full":
            f.write("flRemovedDeletedFiles = False\nLastDate = 07/12/2026 14:05:09\n")
EOF
}

measure() { # file command...
    local file=$1 home=$work/home
    shift
    rm -rf "$home" && mkdir -p "$home/config/kelvo" && cp "$file" "$home/config/kelvo/Kelvo.conf"
    local status=0
    HOME=$home XDG_CONFIG_HOME=$home/config /usr/bin/time -f "%M %e" -o "$work/time" "$cli" "$@" \
        >/dev/null 2>"$work/stderr" || status=$?
    read -r rss seconds < <(tail -n 1 "$work/time") # after "Command exited with non-zero status"
    local after
    after=$(stat -c %s "$home/config/kelvo/Kelvo.conf")
    awk -v sets="$count" -v shape="$shape" -v size="$size" -v command="$1" -v rss="$rss" \
        -v seconds="$seconds" -v status="$status" -v after="$after" 'BEGIN {
        printf "%7d  %-6s  %7.1f MB  %-8s  %7.1f MB  %5.1fx  %6.2f s  %4d  %7.1f MB\n", sets, shape,
            size / 1e6, command, rss / 1e3, rss * 1e3 / size, seconds, status, after / 1e6 }'
}

echo "   sets  shape        file  command    peak RSS  ratio      time  exit  file after"
for count in ${counts[*]}; do
    for shape in full sparse; do
        file=$work/$shape-$count.conf
        [ -f "$file" ] || generate "$count" "$shape" "$file"
        size=$(stat -c %s "$file")
        if [ "$size" -gt $((64 * 1024 * 1024)) ]; then
            echo "$shape-$count: past the 64 MiB limit; skipped"
            continue
        fi
        measure "$file" list
        measure "$file" settings IntReRunTime 30
    done
done
