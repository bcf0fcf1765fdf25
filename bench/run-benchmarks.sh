#!/usr/bin/env bash
# Times `kelvo-cli run` against cp and rsync, and the main window's run against kelvo-cli, on the same
# generated trees, and how much a run slows a foreground read; see bench/README.md.
#
# Usage: bench/run-benchmarks.sh [W1 W2 W3 W4 W5 W6 W7 B1 B2 X1 X2 L1 G2 G5]   (no argument: all)
# Environment: RUNS (5), SCALE (1), BENCH_DIR (/tmp/kelvo-bench), KELVO_CLI (build/bin/kelvo-cli),
#              KELVO_GUI (build/bin/kelvo_bench_gui), SKIP_KELVO=1 to time only cp and rsync,
#              KEEP_TREES=0 to delete the generated sources.
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
generator=$repo/bench/generate-tree.py
# The system interpreter starts in a tenth of the time of a version manager's shim.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
runs=${RUNS:-5}
scale=${SCALE:-1}
skip_kelvo=${SKIP_KELVO:-0}
bench_dir=$(realpath -m "${BENCH_DIR:-/tmp/kelvo-bench}")
kelvo=$(realpath -m "${KELVO_CLI:-$repo/build/bin/kelvo-cli}")
gui=$(realpath -m "${KELVO_GUI:-$repo/build/bin/kelvo_bench_gui}")
trees=$bench_dir/trees
work=$bench_dir/work
times_file=$bench_dir/times.txt
rss_file=$bench_dir/rss.txt
failures_file=$bench_dir/failures.txt
tool_output=$bench_dir/tool-output.txt
memory_file=$bench_dir/memory.txt
probe_file=$bench_dir/probe.txt
growth_file=$bench_dir/growth.txt
skipped_file=$bench_dir/skipped.txt
# The btrfs and XFS images are made, mounted and removed again by each invocation.
images=$bench_dir/fs
# The main window runs without a display unless one is asked for.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

all_workloads=(W1 W2 W3 W4 W5 W6 W7 B1 B2 X1 X2 L1 G2 G5)
declare -A first_run=([cpu]=cp)
declare -A label=([kelvo]=kelvo-cli [gui]=window [dialog]="+dialog" [cp]="cp -a" [cpu]="cp -au" [rsync]="rsync -a"
    [idle]="read, idle" [low]="read, low" [normal]="read, normal")
declare -A description=(
    [W1]="one 1 GiB file, full copy"
    [W2]="20,000 files of 1-16 KiB, full copy"
    [W3]="the W2 tree, nothing changed"
    [W4]="the W2 tree, 1% of the files rewritten"
    [W5]="200,000 files of 64-512 bytes, nothing changed"
    [W6]="copies of /usr/share/doc and /usr/include, full copy"
    [W7]="the W6 tree, nothing changed"
    [B1]="one 1 GiB file, full copy on btrfs"
    [B2]="the W2 tree, full copy on btrfs"
    [X1]="one 1 GiB file, full copy on XFS"
    [X2]="the W2 tree, full copy on XFS"
    [L1]="a cold read of a 500 MB file, idle and during a W2 full copy"
    [G2]="the W2 tree, full copy, main window against kelvo-cli"
    [G5]="the W5 tree, nothing changed, main window against kelvo-cli"
)

window_workload() { [[ $1 == G* ]]; }
# The main window's runs: alone, and with the settings dialog opened during the run and left open.
window_tool() { [[ $1 == gui || $1 == dialog ]]; }
full_copy_workload() { [[ $1 == W[126] || $1 == [BX][12] ]]; }
# Workloads on a btrfs (B) or XFS (X) loop image, which the file system can clone within.
image_workload() { [[ $1 == [BX][12] ]]; }
file_system_of() { case $1 in B*) echo btrfs ;; X*) echo xfs ;; esac }
declare -A mkfs_package=([btrfs]=btrfs-progs [xfs]=xfsprogs)

# True when one of the workloads given after the file system runs on it.
wants_file_system() {
    local fs=$1 workload
    shift
    for workload in "$@"; do
        image_workload "$workload" && [ "$(file_system_of "$workload")" = "$fs" ] && return 0
    done
    return 1
}

say() { printf '%s\n' "$*" >&2; }
die() {
    say "run-benchmarks.sh: $*"
    exit 1
}

scaled() { awk -v n="$1" -v s="$scale" 'BEGIN { v = int(n * s + 0.5); print (v < 1 ? 1 : v) }'; }

check_arguments() {
    [[ $runs =~ ^[1-9][0-9]*$ ]] || die "RUNS must be a positive whole number, not '$runs'"
    awk -v s="$scale" 'BEGIN { exit !(s + 0 > 0) }' || die "SCALE must be a number above 0, not '$scale'"
    local workload
    for workload in "$@"; do
        [[ -n ${description[$workload]:-} ]] || die "unknown workload '$workload' (choose from ${all_workloads[*]})"
        if { window_workload "$workload" || [ "$workload" = L1 ]; } && [ "$skip_kelvo" = 1 ]; then
            die "$workload times only Kelvo; leave SKIP_KELVO unset"
        fi
    done
}

# Arguments: the workloads; the file systems' tools are needed only for theirs, and only root can
# mount their images.
install_missing_tools() {
    local missing=()
    command -v rsync >/dev/null || missing+=(rsync)
    /usr/bin/time -f %M true >/dev/null 2>&1 || missing+=(time)
    command -v "$python" >/dev/null || missing+=(python3)
    local fs
    for fs in btrfs xfs; do
        [ "$(id -u)" -eq 0 ] && wants_file_system "$fs" "$@" && ! command -v "mkfs.$fs" >/dev/null &&
            missing+=("${mkfs_package[$fs]}")
    done
    ((${#missing[@]})) || return 0
    say "Installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Arguments: the workloads; the main window's benchmark is needed only for theirs.
build_kelvo_when_missing() {
    [ "$skip_kelvo" = 1 ] && return 0
    local targets=() workload
    if [ -n "${KELVO_CLI:-}" ]; then
        [ -x "$kelvo" ] || die "KELVO_CLI '$kelvo' is not an executable file"
    elif [ ! -x "$kelvo" ]; then
        targets+=(kelvo-cli)
    fi
    for workload in "$@"; do
        window_workload "$workload" || continue
        if [ -n "${KELVO_GUI:-}" ]; then
            [ -x "$gui" ] || die "KELVO_GUI '$gui' is not an executable file"
        elif [ ! -x "$gui" ]; then
            targets+=(kelvo_bench_gui)
        fi
        break
    done
    if ((${#targets[@]})); then
        say "Building ${targets[*]} (Release) into $repo/build"
        "$repo/scripts/install-deps.sh"
        cmake -S "$repo" -B "$repo/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$repo/build" --target "${targets[@]}"
    fi
    [ -n "${KELVO_CLI:-}" ] && return 0
    local type
    type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$repo/build/CMakeCache.txt" 2>/dev/null || true)
    case $type in
    Release | RelWithDebInfo) ;;
    *) say "Warning: $kelvo comes from a '${type:-unknown}' build; timings mean little unless optimised" ;;
    esac
}

# kelvo-cli keeps its sets under XDG_CONFIG_HOME: a private home leaves the user's own sets alone.
isolate_kelvo_configuration() {
    local home=$bench_dir/home
    rm -rf "$home"
    mkdir -p "$home/config" "$home/data" "$home/runtime" "$bench_dir/log"
    chmod 700 "$home/runtime"
    export HOME=$home XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data XDG_RUNTIME_DIR=$home/runtime
    [ "$skip_kelvo" = 1 ] && return 0
    "$kelvo" settings StrLogFileDir "$bench_dir/log" >/dev/null
}

add_kelvo_set() {
    [ "$skip_kelvo" = 1 ] && return 0
    "$kelvo" add "$1" --source "$2" --dest "$3" >/dev/null
}

generate_tree() {
    local root=$1
    shift
    [ -d "$root" ] && return 0
    say "Generating $root"
    mkdir -p "$(dirname "$root")"
    "$python" "$generator" "$@" "$root"
}

small_tree() { echo "$trees/w2-scale$scale"; }

# Argument: where to make the tree, when not in the trees directory.
generate_small_tree() {
    generate_tree "${1:-$(small_tree)}" tree --seed 2 --files "$(scaled 20000)" --dirs "$(scaled 400)" \
        --depth 3 --min-size 1024 --max-size 16384
}

generate_big_file() { generate_tree "$1" bigfile --seed 1 --size "$(scaled $((1 << 30)))"; }

real_tree() { echo "$trees/w6"; }

# Real files rather than generated ones: many small texts, deep include paths, and symbolic links,
# some of them dangling. Not scaled.
copy_real_tree() {
    local root part parts=()
    root=$(real_tree)
    [ -d "$root" ] && return 0
    for part in /usr/share/doc /usr/include; do
        if [ -d "$part" ]; then parts+=("$part"); else say "$part does not exist; the W6 tree goes without it"; fi
    done
    ((${#parts[@]})) || return 1
    say "Copying ${parts[*]} into $root"
    rm -rf "$root.partial"
    mkdir -p "$root.partial"
    for part in "${parts[@]}"; do
        cp -a "$part" "$root.partial/" || die "could not copy $part into $root.partial"
    done
    mv "$root.partial" "$root"
}

many_small_files_tree() { echo "$trees/w5-scale$scale"; }

generate_many_small_files_tree() {
    generate_tree "$(many_small_files_tree)" tree --seed 5 --files "$(scaled 200000)" --dirs "$(scaled 2000)" \
        --depth 3 --min-size 64 --max-size 512
}

# Reads every byte and stats every entry, so the timed runs start from a warm page cache.
warm() {
    local dir
    for dir in "$@"; do
        du -s "$dir" >/dev/null
        find "$dir" -type f -print0 | xargs -0 -r cat >/dev/null
    done
}

# The tools given, rotated by one place for every repetition, so none always goes first.
rotated() {
    local shift=$1
    shift
    local tools=("$@") i
    for ((i = 0; i < ${#tools[@]}; i++)); do
        echo "${tools[(i + shift) % ${#tools[@]}]}"
    done
}

# Sets `command` to the command line of one tool's run from src to dst.
tool_command() {
    local tool=$1 set=$2 src=$3 dst=$4
    case $tool in
    kelvo) command=("$kelvo" run "$set") ;;
    gui) command=("$gui" "$src" "$dst" "$bench_dir/home/window") ;;
    dialog) command=("$gui" --dialog-open "$src" "$dst" "$bench_dir/home/window") ;;
    cp) command=(cp -a "$src/." "$dst/") ;;
    cpu) command=(cp -au "$src/." "$dst/") ;;
    rsync) command=(rsync -a "$src/" "$dst/") ;;
    *) die "no such tool: $tool" ;;
    esac
}

# A failed run ends the benchmark: the time of a run that did not do its job means nothing. A caller
# may set `wrapper` to a command that runs the tool's.
run_tool() {
    local command
    tool_command "$@"
    "${wrapper[@]}" "${command[@]}" >"$tool_output" 2>&1 || {
        local status=$?
        cat "$tool_output" >&2
        die "$2: ${label[$1]} exited with status $status"
    }
}

record_time() {
    awk -v w="$1" -v t="$2" -v s="$3" -v e="$4" 'BEGIN { printf "%s %s %.6f\n", w, t, e - s }' >>"$times_file"
}

# Runs one tool and adds its wall-clock time to the times file. Writing back the page cache that
# earlier steps left dirty is no part of the timed run. In the main window's workloads GNU time
# takes the peak memory of every timed run, of both tools alike, and the window's own line (its
# run's time, the longest stop of its event loop) goes to the probe file.
time_tool() {
    local workload=$1 tool=$2 wrapper=()
    shift 2
    window_workload "$workload" && wrapper=(/usr/bin/time -f %M -o "$bench_dir/rss.out")
    sync
    local start=$EPOCHREALTIME
    run_tool "$tool" "$@"
    record_time "$workload" "$tool" "$start" "$EPOCHREALTIME"
    window_workload "$workload" || return 0
    echo "$workload $tool $(tail -n 1 "$bench_dir/rss.out")" >>"$memory_file"
    window_tool "$tool" || return 0
    local line
    line=$(grep '^seconds=' "$tool_output") || die "$workload: ${label[$tool]} printed no result line"
    echo "$workload $tool $line" >>"$probe_file"
}

peak_rss() {
    local workload=$1 tool=$2 command
    shift 2
    tool_command "$tool" "$@"
    /usr/bin/time -f %M -o "$bench_dir/rss.out" "${command[@]}" >"$tool_output" 2>&1 ||
        die "$workload: ${label[$tool]} failed while its memory was measured"
    echo "$workload $tool $(tail -n 1 "$bench_dir/rss.out")" >>"$rss_file"
}

# A copy counts only when the destination holds the same files with the same contents, and the same
# symbolic links with the same targets (a dangling link is a link, not a missing file).
verify_copy() {
    local workload=$1 tool=$2 src=$3 dst=$4
    if ! diff -rq --no-dereference "$src" "$dst" >"$bench_dir/diff.txt" 2>&1; then
        say "$workload: ${label[$tool]} left a destination that differs from the source:"
        head -n 5 "$bench_dir/diff.txt" >&2
        echo "$workload $tool" >>"$failures_file"
    fi
}

kelvo_and() {
    [ "$skip_kelvo" = 1 ] || echo kelvo
    printf '%s\n' "$@"
}

# The tools a workload times, one a line.
tools_of() {
    if full_copy_workload "$1"; then
        kelvo_and cp rsync
    elif window_workload "$1"; then
        printf '%s\n' kelvo gui dialog
    else
        kelvo_and rsync cpu
    fi
}

# The bytes in use on the file system that holds a path, once everything written so far is on it.
used_bytes() {
    sync
    df --output=used -B1 "$1" | tail -n 1
}

# Times one full copy; on an image it also notes how much the file system grew by.
time_full_copy() {
    local workload=$1 tool=$2 src=$3 dst=$4
    if ! image_workload "$workload"; then
        time_tool "$workload" "$tool" "$workload" "$src" "$dst"
        return 0
    fi
    local before
    before=$(used_bytes "$dst")
    time_tool "$workload" "$tool" "$workload" "$src" "$dst"
    echo "$workload $tool $(($(used_bytes "$dst") - before))" >>"$growth_file"
}

# Full copies into a fresh destination each time. The previous destination is moved aside rather
# than deleted: on these file systems a copy right after a mass delete runs several times slower.
# Argument 3: where the copies go, when not in the work directory.
full_copy() {
    local workload=$1 src=$2 base=${3:-$work/$1}
    local trash=$base/trash tool rep
    mkdir -p "$trash"
    local tools
    mapfile -t tools < <(tools_of "$workload")
    add_kelvo_set "$workload" "$src" "$base/dst-kelvo"
    warm "$src"
    for ((rep = 0; rep < runs; rep++)); do
        while read -r tool; do
            local dst=$base/dst-$tool
            [ -e "$dst" ] && mv "$dst" "$trash/$tool-$rep"
            mkdir "$dst"
            time_full_copy "$workload" "$tool" "$src" "$dst"
            ((rep > 0)) || verify_copy "$workload" "$tool" "$src" "$dst"
        done < <(rotated "$rep" "${tools[@]}")
    done
    rm -rf "$base"
}

# A workload that cannot run here gets one line saying why, now and in the table.
skip_workload() {
    say "$1 skipped: $2"
    echo "$1 $2" >>"$skipped_file"
}

skip_reason() { awk -v w="$1" '$1 == w { sub(/^[^ ]+ /, ""); print; exit }' "$skipped_file"; }

# By file system: "mounted", or why its image could not be made or mounted, so that the second
# workload on it does not try again. And the images made, for release_images.
declare -A image_state=()
made_images=()

# Room for both sources and every copy of one workload (its trash is emptied at the workload's end),
# as if no tool cloned. The image is sparse: only what is written takes space on the disk below.
image_bytes() { echo $(((3 * runs + 3) * $(scaled $((1 << 30))) + (1 << 30))); }

# Makes, formats and mounts the loop image of a file system at BENCH_DIR/fs/NAME, once per
# invocation. Returns 1, with the reason in image_state, when it cannot.
mount_image() {
    local fs=$1 volume=$images/$1
    if [ -z "${image_state[$fs]:-}" ]; then
        image_state[$fs]=$(make_image "$fs" "$volume")
        made_images+=("$volume")
    fi
    [ "${image_state[$fs]}" = mounted ]
}

# Prints "mounted" or why not. The image of an invocation that was killed is unmounted first.
make_image() {
    local fs=$1 volume=$2 output
    if [ "$(id -u)" -ne 0 ]; then
        echo "mounting a $fs loop image needs root"
    elif ! command -v "mkfs.$fs" >/dev/null; then
        echo "mkfs.$fs is missing (package ${mkfs_package[$fs]})"
    else
        say "Making a $fs image at $volume.img"
        mkdir -p "$volume"
        ! mountpoint -q "$volume" || umount "$volume"
        rm -f "$volume.img"
        truncate -s "$(image_bytes)" "$volume.img"
        if ! output=$("mkfs.$fs" -q -f "$volume.img" 2>&1); then
            echo "mkfs.$fs failed: ${output%%$'\n'*}"
        elif ! output=$(mount -o loop "$volume.img" "$volume" 2>&1); then
            echo "the kernel could not mount a $fs image: ${output%%$'\n'*}"
        else
            echo mounted
        fi
    fi
}

# Unmounts the images, detaches their loop devices and deletes them, also when the benchmark fails.
release_images() {
    local volume device
    for volume in "${made_images[@]}"; do
        if mountpoint -q "$volume"; then umount "$volume" || say "Could not unmount $volume"; fi
        while read -r device; do
            losetup -d "$device" || say "Could not detach $device from $volume.img"
        done < <(losetup -n -O NAME -j "$volume.img")
        rm -f "$volume.img"
        rmdir "$volume" 2>/dev/null || true
    done
    made_images=()
}

# B1, B2, X1, X2: the source is made inside the image, where the tools can clone it.
image_copy() {
    local workload=$1 fs volume src
    fs=$(file_system_of "$workload")
    volume=$images/$fs
    mount_image "$fs" || {
        skip_workload "$workload" "${image_state[$fs]}"
        return 0
    }
    case $workload in
    ?1) src=$volume/trees/w1 && generate_big_file "$src" ;;
    ?2) src=$volume/trees/w2 && generate_small_tree "$src" ;;
    esac
    full_copy "$workload" "$src" "$volume/work/$workload"
}

# Each tool re-runs over the destination that its own first run made; cp -au's is made by cp -a.
prepare_rerun_destinations() {
    local workload=$1 src=$2 tool
    shift 2
    add_kelvo_set "$workload" "$src" "$work/$workload/dst-kelvo"
    for tool in "$@"; do
        local dst=$work/$workload/dst-$tool
        mkdir -p "$dst"
        run_tool "${first_run[$tool]:-$tool}" "$workload" "$src" "$dst"
        verify_copy "$workload" "$tool" "$src" "$dst"
    done
}

unchanged_rerun() {
    local workload=$1 src=$2 tool rep
    local tools
    mapfile -t tools < <(tools_of "$workload")
    mkdir -p "$work/$workload"
    prepare_rerun_destinations "$workload" "$src" "${tools[@]}"
    warm "$src"
    for tool in "${tools[@]}"; do
        du -s "$work/$workload/dst-$tool" >/dev/null
        run_tool "$tool" "$workload" "$src" "$work/$workload/dst-$tool"
    done
    for ((rep = 0; rep < runs; rep++)); do
        while read -r tool; do
            time_tool "$workload" "$tool" "$workload" "$src" "$work/$workload/dst-$tool"
        done < <(rotated "$rep" "${tools[@]}")
    done
    if [ "$workload" = W5 ]; then
        for tool in "${tools[@]}"; do
            peak_rss "$workload" "$tool" "$workload" "$src" "$work/$workload/dst-$tool"
        done
    fi
    rm -rf "${work:?}/$workload"
}

# Every timed repetition starts from the same state: the destination holds the backup from before
# the change, and the same files of the source get new contents and a newer modification time.
changed_rerun() {
    local workload=W4 base=$work/W4 tool rep round=0
    local src=$base/src list=$base/changed.txt
    local tools
    mapfile -t tools < <(kelvo_and rsync cpu)
    mkdir -p "$base"
    cp -a "$(small_tree)" "$src"
    "$python" "$generator" pick "$src" --fraction 0.01 --seed 4 >"$list"
    prepare_rerun_destinations "$workload" "$src" "${tools[@]}"
    for tool in "${tools[@]}"; do
        "$python" "$generator" copy-listed "$base/dst-$tool" "$base/before-$tool" "$list"
    done
    warm "$src"
    for ((rep = 0; rep < runs; rep++)); do
        while read -r tool; do
            round=$((round + 1))
            "$python" "$generator" rewrite "$src" "$list" --seed 4 --round "$round" --min-size 1024 --max-size 16384
            "$python" "$generator" copy-listed "$base/before-$tool" "$base/dst-$tool" "$list"
            time_tool "$workload" "$tool" "$workload" "$src" "$base/dst-$tool"
            ((rep > 0)) || verify_copy "$workload" "$tool" "$src" "$base/dst-$tool"
        done < <(rotated "$rep" "${tools[@]}")
    done
    rm -rf "$base"
}

light_file() { echo "$trees/l1-scale$scale/big.dat"; }
light_config=$bench_dir/home/light
# The background run of L1 while it is going, so that an interrupted benchmark can end it.
light_run=""
# Set when this kelvo-cli has no flLowPriority setting: the low-priority run is then started at idle
# I/O class and nice 10 from outside.
priority_note=""

# kelvo-cli with a configuration of its own, in which `run` backs up the L1 sets alone.
light_kelvo() { XDG_CONFIG_HOME=$light_config "$kelvo" "$@"; }

drop_caches() {
    sync
    echo 3 >/proc/sys/vm/drop_caches
}

# Two sets of the W2 tree, copied one after the other in one run: one alone lasts about ten times
# the read, but a read that slows the run down must still end before it.
prepare_light_sets() {
    local base=$1 n
    mkdir -p "$light_config" "$base/trash"
    light_kelvo settings StrLogFileDir "$bench_dir/log" >/dev/null
    for n in 1 2; do
        light_kelvo add "Light $n" --source "$(small_tree)" --dest "$base/dst-$n" >/dev/null
    done
    light_kelvo settings flLowPriority >/dev/null 2>&1 && return 0
    priority_note="kelvo-cli has no flLowPriority setting: the low run went under ionice -c3 nice -n10"
    say "L1: $priority_note"
}

# Sets `wrapper` for a run at the mode's priority, low or normal.
prepare_priority() {
    wrapper=()
    if [ -z "$priority_note" ]; then
        light_kelvo settings flLowPriority "$([ "$1" = low ] && echo true || echo false)" >/dev/null
    elif [ "$1" = low ]; then
        wrapper=(ionice -c3 nice -n10)
    fi
}

time_cold_read() {
    local start=$EPOCHREALTIME
    cat "$(light_file)" >/dev/null
    record_time L1 "$1" "$start" "$EPOCHREALTIME"
}

# The read starts 0.2 s into a run of the L1 sets, whose source is as cold as the file. The run is
# stopped once the read has ended; a run that had already ended on its own spoils the time.
time_read_during_run() {
    local mode=$1 base=$2 rep=$3 n wrapper status=0
    for n in 1 2; do
        [ -e "$base/dst-$n" ] && mv "$base/dst-$n" "$base/trash/$mode-$rep-$n"
        mkdir "$base/dst-$n"
    done
    prepare_priority "$mode"
    drop_caches
    XDG_CONFIG_HOME=$light_config "${wrapper[@]}" "$kelvo" run >"$tool_output" 2>&1 &
    light_run=$!
    sleep 0.2
    time_cold_read "$mode"
    kill -TERM "$light_run" 2>/dev/null || true
    wait "$light_run" || status=$?
    light_run=""
    # 130: stopped between two chunks; 143: killed while it was still listing the sets' folders,
    # before it takes SIGTERM as a request to stop.
    case $status in
    130 | 143) ;;
    0)
        say "L1: the run ended before the read did; the ${label[$mode]} row fails"
        echo "L1 $mode" >>"$failures_file"
        ;;
    *) cat "$tool_output" >&2 && die "L1: kelvo-cli exited with status $status" ;;
    esac
}

# A foreground read of a cold file, alone and while Kelvo backs up at low and at normal priority.
light_touch() {
    local base=$work/L1 rep mode
    if [ "$(id -u)" -ne 0 ]; then
        skip_workload L1 "dropping the page cache before each read needs root"
        return 0
    fi
    generate_tree "$(dirname "$(light_file)")" bigfile --seed 6 --size "$(scaled 500000000)"
    generate_small_tree
    prepare_light_sets "$base"
    for ((rep = 0; rep < runs; rep++)); do
        while read -r mode; do
            if [ "$mode" = idle ]; then
                drop_caches
                time_cold_read idle
            else
                time_read_during_run "$mode" "$base" "$rep"
            fi
        done < <(rotated "$rep" idle low normal)
    done
    rm -rf "$base"
}

run_workload() {
    say "== $1: ${description[$1]} ($runs runs, scale $scale)"
    case $1 in
    W1) generate_big_file "$trees/w1-scale$scale" && full_copy W1 "$trees/w1-scale$scale" ;;
    W2) generate_small_tree && full_copy W2 "$(small_tree)" ;;
    W3) generate_small_tree && unchanged_rerun W3 "$(small_tree)" ;;
    W4) generate_small_tree && changed_rerun ;;
    W5) generate_many_small_files_tree && unchanged_rerun W5 "$(many_small_files_tree)" ;;
    W6 | W7)
        if ! copy_real_tree; then
            skip_workload "$1" "neither /usr/share/doc nor /usr/include exists"
        elif [ "$1" = W6 ]; then
            full_copy W6 "$(real_tree)"
        else
            unchanged_rerun W7 "$(real_tree)"
        fi
        ;;
    B? | X?) image_copy "$1" ;;
    L1) light_touch ;;
    G2) generate_small_tree && full_copy G2 "$(small_tree)" ;;
    G5) generate_many_small_files_tree && unchanged_rerun G5 "$(many_small_files_tree)" ;;
    esac
}

middle() { sort -g | awk '{ v[NR] = $1 } END { if (NR) printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
median() { awk -v w="$1" -v t="$2" '$1 == w && $2 == t { print $3 }' "$times_file" | middle; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b > 0) printf "%.2f", a / b }'; }
at_most() { awk -v v="$1" -v limit="$2" 'BEGIN { exit !(v != "" && v <= limit) }'; }

# One field (seconds, longest_gap_ms, probe_ticks, peak_rss_kib, files_copied, dialog_open_at_end)
# of one window tool's runs of a workload, one a line.
probe_field() {
    awk -v w="$1" -v t="$2" -v f="$3" \
        '$1 == w && $2 == t { for (i = 3; i <= NF; i++) if (index($i, f "=") == 1) print substr($i, length(f) + 2) }' \
        "$probe_file"
}

largest() { sort -g | tail -n 1; }
smallest() { sort -g | head -n 1; }

peak_memory_kib() { awk -v w="$1" -v t="$2" '$1 == w && $2 == t { print $3 }' "$memory_file" | largest; }
mib() { awk -v k="$1" 'BEGIN { if (k != "") printf "%.1f", k / 1024 }'; }

# Prints "target<TAB>pass|FAIL" for one window tool's row of a workload. Below about 30 MiB no Qt
# Widgets program runs, so the window's memory has a target of its own rather than a ratio.
judge_window() {
    local workload=$1 tool=$2 time_ratio=$3 gap=$4 kib=$5 pass=1
    local target="<= 1.1x cli, gap < 100 ms, <= 40 MiB"
    at_most "$time_ratio" 1.1 && awk -v g="$gap" 'BEGIN { exit !(g != "" && g < 100) }' &&
        at_most "$kib" $((40 * 1024)) || pass=0
    if [ "$tool" = dialog ]; then
        target="$target, dialog open to the end"
        [ "$(probe_field "$workload" dialog dialog_open_at_end | smallest)" = 1 ] || pass=0
    fi
    grep -qx "$workload $tool" "$failures_file" 2>/dev/null && { pass=0 && target="$target; copy differs"; }
    printf '%s\t%s\n' "$target" "$([ $pass = 1 ] && echo pass || echo FAIL)"
}

# The main window's workloads: the time of the whole process for both tools, and for the window
# also its run alone (from Form_Load to the run's end, without starting Qt and building the window).
window_row() { printf '%-4s %-10s %9s %7s %8s %7s %9s %7s  %-60s %s\n' "$@"; }

print_window_table() {
    local workload tool
    (($#)) || return 0
    printf '\n'
    window_row Load Tool "Median s" "Run s" gui/cli "Gap ms" "Peak MiB" Copied Target Result
    for workload in "$@"; do
        local cli_median
        cli_median=$(median "$workload" kelvo)
        window_row "$workload" kelvo-cli "$cli_median" "" "" "" "$(mib "$(peak_memory_kib "$workload" kelvo)")" \
            "" "" ""
        for tool in gui dialog; do
            local median_s kib time_ratio gap verdict
            median_s=$(median "$workload" "$tool")
            kib=$(peak_memory_kib "$workload" "$tool")
            time_ratio=$(ratio "$median_s" "$cli_median")
            gap=$(probe_field "$workload" "$tool" longest_gap_ms | largest)
            verdict=$(judge_window "$workload" "$tool" "$time_ratio" "$gap" "$kib")
            window_row "$workload" "${label[$tool]}" "$median_s" \
                "$(probe_field "$workload" "$tool" seconds | middle)" "$time_ratio" "$gap" "$(mib "$kib")" \
                "$(probe_field "$workload" "$tool" files_copied | largest)" "${verdict%%$'\t'*}" "${verdict##*$'\t'}"
        done
    done
    printf '\nGap ms: the longest the event loop went without a turn, the worst of all timed runs.\n'
    printf '+dialog: the settings dialog opened 50 ms into the run and left open until its end.\n'
    printf 'Peak MiB: the largest max RSS of the timed runs. Every run of the window: %s\n' "$probe_file"
}

# Kelvo's targets: the most its median may be of cp's (cp -a for full copies, cp -au for re-runs) and
# of rsync's.
declare -A cp_limit=([W1]=1.05 [W2]=1.1 [W6]=1.0)
declare -A rsync_limit=([W2]=1.0 [W3]=1.0 [W4]=1.0 [W5]=1.0 [W6]=0.9 [W7]=0.7 [B2]=1.0 [X2]=1.0)

below() { awk -v v="$1" -v limit="$2" 'BEGIN { exit !(v != "" && v < limit) }'; }

# Prints "target<TAB>pass|FAIL" for kelvo's row of a workload.
judge() {
    local workload=$1 cp_ratio=$2 rsync_ratio=$3 kelvo_s=$4 cp_s=$5 grew_mib=$6 pass=1 targets=() text
    if [ -n "${cp_limit[$workload]:-}" ]; then
        targets+=("<= ${cp_limit[$workload]}x ${label[$(cp_tool_of "$workload")]}")
        at_most "$cp_ratio" "${cp_limit[$workload]}" || pass=0
    fi
    if [ -n "${rsync_limit[$workload]:-}" ]; then
        targets+=("<= ${rsync_limit[$workload]}x rsync -a")
        at_most "$rsync_ratio" "${rsync_limit[$workload]}" || pass=0
    fi
    # A clone takes the same few calls however large the file: a fixed allowance, not a ratio.
    if [[ $workload == [BX]1 ]]; then
        targets+=("<= 0.3 s + 5x cp -a" "grows < 200 MiB")
        at_most "$kelvo_s" "$(awk -v c="$cp_s" 'BEGIN { print 0.3 + 5 * c }')" && below "$grew_mib" 200 || pass=0
    fi
    printf -v text '%s, ' "${targets[@]}"
    text=${text%, }
    grep -qx "$workload kelvo" "$failures_file" 2>/dev/null && { pass=0 && text="$text; copy differs"; }
    printf '%s\t%s\n' "$text" "$([ $pass = 1 ] && echo pass || echo FAIL)"
}

cp_tool_of() { if full_copy_workload "$1"; then echo cp; else echo cpu; fi; }

# The median growth of the file system per copy, in MiB, for the workloads on an image.
grew_mib() {
    awk -v w="$1" -v t="$2" '$1 == w && $2 == t { print $3 / 1048576 }' "$growth_file" | middle |
        awk '{ printf "%.1f", $1 }'
}

copy_row() { printf '%-4s %-10s %9s %9s %9s %12s  %-44s %s\n' "$@"; }

print_table() {
    local workload tool
    (($#)) || return 0
    printf '\n'
    copy_row Load Tool "Median s" "Grew MiB" kelvo/cp kelvo/rsync Target Result
    for workload in "$@"; do
        local cp_tool kelvo_median cp_median rsync_median reason
        reason=$(skip_reason "$workload")
        if [ -n "$reason" ]; then
            printf '%-4s skipped: %s\n' "$workload" "$reason"
            continue
        fi
        cp_tool=$(cp_tool_of "$workload")
        kelvo_median=$(median "$workload" kelvo)
        cp_median=$(median "$workload" "$cp_tool")
        rsync_median=$(median "$workload" rsync)
        for tool in "$cp_tool" rsync; do
            copy_row "$workload" "${label[$tool]}" "$(median "$workload" "$tool")" "$(grew_mib "$workload" "$tool")" \
                "" "" "" ""
        done
        [ "$skip_kelvo" = 1 ] && continue
        local cp_ratio rsync_ratio grew verdict
        cp_ratio=$(ratio "$kelvo_median" "$cp_median")
        rsync_ratio=$(ratio "$kelvo_median" "$rsync_median")
        grew=$(grew_mib "$workload" kelvo)
        verdict=$(judge "$workload" "$cp_ratio" "$rsync_ratio" "$kelvo_median" "$cp_median" "$grew")
        copy_row "$workload" kelvo-cli "$kelvo_median" "$grew" "$cp_ratio" "$rsync_ratio" \
            "${verdict%%$'\t'*}" "${verdict##*$'\t'}"
    done
    print_memory
    printf '\nkelvo/cp compares with cp -a for full copies (W1, W2, W6, B, X) and with cp -au for re-runs.\n'
    printf 'Grew MiB: how much the btrfs or XFS image grew per copy (median), after sync.\n'
}

light_row() { printf '%-4s %-14s %9s %9s  %-32s %s\n' "$@"; }

# The cold read alone (idle) and during a run at low and at normal priority.
print_light_table() {
    local reason idle mode
    printf '\n'
    reason=$(skip_reason L1)
    if [ -n "$reason" ]; then
        printf 'L1   skipped: %s\n' "$reason"
        return 0
    fi
    idle=$(median L1 idle)
    light_row Load Read "Median s" "vs idle" Target Result
    light_row L1 "${label[idle]}" "$idle" "" "" ""
    for mode in low normal; do
        local median_s times target=reported result=""
        median_s=$(median L1 "$mode")
        times=$(ratio "$median_s" "$idle")
        if [ "$mode" = low ]; then
            target="<= 1.3x idle" result=pass
            at_most "$times" 1.3 || result=FAIL
        fi
        if grep -qx "L1 $mode" "$failures_file"; then
            target="$target; run ended first" result=FAIL
        fi
        light_row L1 "${label[$mode]}" "$median_s" "$times" "$target" "$result"
    done
    printf '\nlow, normal: the read during a kelvo-cli run of two W2 sets at low and at normal priority.\n'
    [ -z "$priority_note" ] || printf 'Note: %s.\n' "$priority_note"
}

print_memory() {
    [ -s "$rss_file" ] || return 0
    printf '\nPeak memory (max RSS) of one W5 re-run:\n'
    local tool kib
    while read -r _ tool kib; do
        local line
        line=$(awk -v k="$kib" 'BEGIN { printf "%8.1f MiB", k / 1024 }')
        if [ "$tool" = kelvo ]; then
            line+="  target < 64 MiB  $( ((kib < 64 * 1024)) && echo pass || echo FAIL)"
        fi
        printf '  %-10s %s\n' "${label[$tool]}" "$line"
    done <"$rss_file"
}

# Runs on every exit, also on a failure or Ctrl-C: a background run or a mounted image outliving the
# benchmark would hold the disk and the loop devices.
end_cleanly() {
    [ -z "$light_run" ] || kill "$light_run" 2>/dev/null || true
    release_images
}

usage() { sed -n '5,8s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; }

main() {
    case ${1:-} in -h | --help) usage && return 0 ;; esac
    local workloads=("$@")
    ((${#workloads[@]})) || workloads=("${all_workloads[@]}")
    check_arguments "${workloads[@]}"
    install_missing_tools "${workloads[@]}"
    build_kelvo_when_missing "${workloads[@]}"
    mkdir -p "$bench_dir"
    rm -rf "$work"
    : >"$times_file"
    : >"$rss_file"
    : >"$failures_file"
    : >"$memory_file"
    : >"$probe_file"
    : >"$growth_file"
    : >"$skipped_file"
    trap end_cleanly EXIT
    trap 'exit 130' INT TERM HUP
    isolate_kelvo_configuration
    local workload
    for workload in "${workloads[@]}"; do
        run_workload "$workload"
    done
    rm -rf "$work"
    [ "${KEEP_TREES:-1}" = 1 ] || rm -rf "$trees"
    release_images
    local copies=() windows=()
    for workload in "${workloads[@]}"; do
        if window_workload "$workload"; then
            windows+=("$workload")
        elif [ "$workload" != L1 ]; then
            copies+=("$workload")
        fi
    done
    print_table "${copies[@]}"
    print_window_table "${windows[@]}"
    [[ " ${workloads[*]} " != *" L1 "* ]] || print_light_table
    printf '\nEvery run: %s\n' "$times_file"
}

main "$@"
