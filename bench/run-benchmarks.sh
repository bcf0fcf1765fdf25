#!/usr/bin/env bash
# Times `kelvo-cli run` against cp and rsync, and the main window's run against kelvo-cli, on the same
# generated trees; see bench/README.md.
#
# Usage: bench/run-benchmarks.sh [W1 W2 W3 W4 W5 G2 G5]   (no argument: all seven)
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
# The main window runs without a display unless one is asked for.
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

all_workloads=(W1 W2 W3 W4 W5 G2 G5)
declare -A first_run=([cpu]=cp)
declare -A label=([kelvo]=kelvo-cli [gui]=window [dialog]="+dialog" [cp]="cp -a" [cpu]="cp -au" [rsync]="rsync -a")
declare -A description=(
    [W1]="one 1 GiB file, full copy"
    [W2]="20,000 files of 1-16 KiB, full copy"
    [W3]="the W2 tree, nothing changed"
    [W4]="the W2 tree, 1% of the files rewritten"
    [W5]="200,000 files of 64-512 bytes, nothing changed"
    [G2]="the W2 tree, full copy, main window against kelvo-cli"
    [G5]="the W5 tree, nothing changed, main window against kelvo-cli"
)

window_workload() { [[ $1 == G* ]]; }
# The main window's runs: alone, and with the settings dialog opened during the run and left open.
window_tool() { [[ $1 == gui || $1 == dialog ]]; }

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
        if window_workload "$workload" && [ "$skip_kelvo" = 1 ]; then
            die "$workload times only Kelvo; leave SKIP_KELVO unset"
        fi
    done
}

install_missing_tools() {
    local missing=()
    command -v rsync >/dev/null || missing+=(rsync)
    /usr/bin/time -f %M true >/dev/null 2>&1 || missing+=(time)
    command -v "$python" >/dev/null || missing+=(python3)
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

generate_small_tree() {
    generate_tree "$(small_tree)" tree --seed 2 --files "$(scaled 20000)" --dirs "$(scaled 400)" \
        --depth 3 --min-size 1024 --max-size 16384
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
    local end=$EPOCHREALTIME
    awk -v w="$workload" -v t="$tool" -v s="$start" -v e="$end" \
        'BEGIN { printf "%s %s %.6f\n", w, t, e - s }' >>"$times_file"
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

# A copy counts only when the destination holds the same files with the same contents.
verify_copy() {
    local workload=$1 tool=$2 src=$3 dst=$4
    if ! diff -rq "$src" "$dst" >"$bench_dir/diff.txt" 2>&1; then
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
    case $1 in
    W1 | W2) kelvo_and cp rsync ;;
    G*) printf '%s\n' kelvo gui dialog ;;
    *) kelvo_and rsync cpu ;;
    esac
}

# Full copies into a fresh destination each time. The previous destination is moved aside rather
# than deleted: on these file systems a copy right after a mass delete runs several times slower.
full_copy() {
    local workload=$1 src=$2
    local base=$work/$workload trash=$work/$workload/trash tool rep
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
            time_tool "$workload" "$tool" "$workload" "$src" "$dst"
            ((rep > 0)) || verify_copy "$workload" "$tool" "$src" "$dst"
        done < <(rotated "$rep" "${tools[@]}")
    done
    rm -rf "$base"
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

run_workload() {
    say "== $1: ${description[$1]} ($runs runs, scale $scale)"
    case $1 in
    W1)
        local src=$trees/w1-scale$scale
        generate_tree "$src" bigfile --seed 1 --size "$(scaled $((1 << 30)))"
        full_copy W1 "$src"
        ;;
    W2) generate_small_tree && full_copy W2 "$(small_tree)" ;;
    W3) generate_small_tree && unchanged_rerun W3 "$(small_tree)" ;;
    W4) generate_small_tree && changed_rerun ;;
    W5) generate_many_small_files_tree && unchanged_rerun W5 "$(many_small_files_tree)" ;;
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
print_window_table() {
    local format='%-4s %-10s %9s %7s %8s %7s %9s %7s  %-60s %s\n' workload tool
    (($#)) || return 0
    printf '\n'
    printf "$format" Load Tool "Median s" "Run s" gui/cli "Gap ms" "Peak MiB" Copied Target Result
    for workload in "$@"; do
        local cli_median
        cli_median=$(median "$workload" kelvo)
        printf "$format" "$workload" kelvo-cli "$cli_median" "" "" "" "$(mib "$(peak_memory_kib "$workload" kelvo)")" \
            "" "" ""
        for tool in gui dialog; do
            local median_s kib time_ratio gap verdict
            median_s=$(median "$workload" "$tool")
            kib=$(peak_memory_kib "$workload" "$tool")
            time_ratio=$(ratio "$median_s" "$cli_median")
            gap=$(probe_field "$workload" "$tool" longest_gap_ms | largest)
            verdict=$(judge_window "$workload" "$tool" "$time_ratio" "$gap" "$kib")
            printf "$format" "$workload" "${label[$tool]}" "$median_s" \
                "$(probe_field "$workload" "$tool" seconds | middle)" "$time_ratio" "$gap" "$(mib "$kib")" \
                "$(probe_field "$workload" "$tool" files_copied | largest)" "${verdict%%$'\t'*}" "${verdict##*$'\t'}"
        done
    done
    printf '\nGap ms: the longest the event loop went without a turn, the worst of all timed runs.\n'
    printf '+dialog: the settings dialog opened 50 ms into the run and left open until its end.\n'
    printf 'Peak MiB: the largest max RSS of the timed runs. Every run of the window: %s\n' "$probe_file"
}

# Prints "target<TAB>pass|FAIL" for kelvo's row of a workload.
judge() {
    local workload=$1 cp_ratio=$2 rsync_ratio=$3 pass=1 target
    case $workload in
    W1) target="<= 2.0x cp -a" && { at_most "$cp_ratio" 2.0 || pass=0; } ;;
    W2) target="<= 1.3x cp -a, <= 1.0x rsync -a" &&
        { at_most "$cp_ratio" 1.3 && at_most "$rsync_ratio" 1.0 || pass=0; } ;;
    *) target="<= 1.0x rsync -a" && { at_most "$rsync_ratio" 1.0 || pass=0; } ;;
    esac
    grep -qx "$workload kelvo" "$failures_file" 2>/dev/null && { pass=0 && target="$target; copy differs"; }
    printf '%s\t%s\n' "$target" "$([ $pass = 1 ] && echo pass || echo FAIL)"
}

print_table() {
    local format='%-4s %-10s %9s %9s %12s  %-32s %s\n' workload tool
    (($#)) || return 0
    printf '\n'
    printf "$format" Load Tool "Median s" kelvo/cp kelvo/rsync Target Result
    for workload in "$@"; do
        local cp_tool=cpu kelvo_median cp_median rsync_median
        [[ $workload == W[12] ]] && cp_tool=cp
        kelvo_median=$(median "$workload" kelvo)
        cp_median=$(median "$workload" "$cp_tool")
        rsync_median=$(median "$workload" rsync)
        for tool in "$cp_tool" rsync; do
            printf "$format" "$workload" "${label[$tool]}" "$(median "$workload" "$tool")" "" "" "" ""
        done
        [ "$skip_kelvo" = 1 ] && continue
        local cp_ratio rsync_ratio verdict
        cp_ratio=$(ratio "$kelvo_median" "$cp_median")
        rsync_ratio=$(ratio "$kelvo_median" "$rsync_median")
        verdict=$(judge "$workload" "$cp_ratio" "$rsync_ratio")
        printf "$format" "$workload" kelvo-cli "$kelvo_median" "$cp_ratio" "$rsync_ratio" \
            "${verdict%%$'\t'*}" "${verdict##*$'\t'}"
    done
    print_memory
    printf '\nkelvo/cp compares with cp -a for full copies (W1, W2) and with cp -au for re-runs.\n'
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

usage() { sed -n '5,8s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; }

main() {
    case ${1:-} in -h | --help) usage && return 0 ;; esac
    local workloads=("$@")
    ((${#workloads[@]})) || workloads=("${all_workloads[@]}")
    check_arguments "${workloads[@]}"
    install_missing_tools
    build_kelvo_when_missing "${workloads[@]}"
    mkdir -p "$bench_dir"
    rm -rf "$work"
    : >"$times_file"
    : >"$rss_file"
    : >"$failures_file"
    : >"$memory_file"
    : >"$probe_file"
    isolate_kelvo_configuration
    local workload
    for workload in "${workloads[@]}"; do
        run_workload "$workload"
    done
    rm -rf "$work"
    [ "${KEEP_TREES:-1}" = 1 ] || rm -rf "$trees"
    local copies=() windows=()
    for workload in "${workloads[@]}"; do
        if window_workload "$workload"; then windows+=("$workload"); else copies+=("$workload"); fi
    done
    print_table "${copies[@]}"
    print_window_table "${windows[@]}"
    printf '\nEvery run: %s\n' "$times_file"
}

main "$@"
