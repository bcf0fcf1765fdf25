#!/usr/bin/env bash
# How long `kelvo-cli versions` takes to list one file's versions in a crowded backup folder: FILES files
# (default 10,000) with COPIES kept copies each beside them (default 10: 100,000 kept copies), numbered as
# a set keeping numbered copies makes them. Also times one version of a file restored to another folder.
# Prints min / median / max of RUNS (default 9) runs of each. KELVO_CLI picks the binary (default
# build/bin/kelvo-cli); BENCH_DIR the work folder (default /tmp/kelvo-versions-bench).
set -euo pipefail

cli=$(realpath "${KELVO_CLI:-$(dirname "$0")/../build/bin/kelvo-cli}")
work=${BENCH_DIR:-/tmp/kelvo-versions-bench}
files=${FILES:-10000}
copies=${COPIES:-10}
runs=${RUNS:-9}

rm -rf "$work" && mkdir -p "$work/live" "$work/backup" "$work/config"
python3 - "$work" "$files" "$copies" <<'PY'
import os, sys
work, files, copies = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(files):
    name = f"file{i:05d}.txt"
    for side in ("live", "backup"):
        with open(os.path.join(work, side, name), "w") as f:
            f.write(f"version 0 of {name}\n")
    for n in range(1, copies + 1):
        path = os.path.join(work, "backup", f"{name}.{n}")
        with open(path, "w") as f:
            f.write(f"version {n} of {name}\n")
        os.utime(path, (1_700_000_000 + n, 1_700_000_000 + n))
PY
export XDG_CONFIG_HOME=$work/config
"$cli" add Bench --source "$work/live" --dest "$work/backup" --keep seq >/dev/null
probe=$(printf 'file%05d.txt' $((files / 2)))

timed() { # label command...
    local label=$1
    shift
    local -a seconds=()
    for _ in $(seq "$runs"); do
        local start end
        start=$(date +%s.%N)
        "$@" >/dev/null
        end=$(date +%s.%N)
        seconds+=("$(echo "$end - $start" | bc)")
    done
    printf '%s\n' "${seconds[@]}" | sort -n |
        awk -v label="$label" '{ t[NR] = $1 } END { printf "%-44s min %.3f s  median %.3f s  max %.3f s\n", label, t[1], t[int((NR + 1) / 2)], t[NR] }'
}

echo "$files files, $((files * copies)) kept copies beside them in one folder, $runs runs each"
timed "kelvo-cli versions (one file, $((copies + 1)) versions)" "$cli" versions Bench "$probe"
timed "ls -f of the backup folder (for scale)" ls -f "$work/backup"
timed "kelvo-cli restore --version $((copies + 1)) --to" "$cli" restore Bench "$probe" --version $((copies + 1)) --to "$work/out"
"$cli" versions Bench "$probe" | head -3
