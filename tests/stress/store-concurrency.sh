#!/usr/bin/env bash
# Many kelvo-cli processes against one settings store: concurrent adds lose nothing, and saves killed
# at random moments leave the old or the new file, never a broken one or a pile of temporaries.
# Usage: store-concurrency.sh BIN_DIR
set -euo pipefail
cli="$1/kelvo-cli"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-stress-XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$work/src"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

writers=4 adds=50
for w in $(seq 1 "$writers"); do
    (
        for n in $(seq 1 "$adds"); do
            "$cli" add "W${w} N${n}" --source "$work/src" --dest "$work/dest/$w/$n" >/dev/null 2>&1 ||
                echo "W${w} N${n}" >>"$work/failed-adds"
        done
    ) &
done
wait
[ -e "$work/failed-adds" ] && fail "$(wc -l <"$work/failed-adds") add commands exited non-zero"
kept=$("$cli" list | grep -c '^W')
[ "$kept" -eq $((writers * adds)) ] || fail "$kept of $((writers * adds)) sets kept"
echo "concurrent adds: $kept of $((writers * adds)) kept"

kills=200
values=(7 8 9 10 11)
conf="$XDG_CONFIG_HOME/kelvo/Kelvo.conf"
for k in $(seq 1 "$kills"); do
    (
        while :; do
            "$cli" settings IntReRunTime "${values[RANDOM % 5]}" >/dev/null 2>&1 &
            echo $! >"$work/saver"
            wait $! || true
        done
    ) 2>/dev/null &
    loop=$!
    sleep "0.0$((RANDOM % 10))$((RANDOM % 10))"
    # The loop stops first, so that the kelvo-cli it started last dies in the middle of its work.
    kill -STOP "$loop"
    kill -KILL "$(cat "$work/saver")" 2>/dev/null || true
    kill -KILL "$loop"
    wait "$loop" 2>/dev/null || true
    value=$("$cli" settings IntReRunTime 2>"$work/err") || fail "round $k: the file no longer loads"
    [ -s "$work/err" ] && fail "round $k: $(cat "$work/err")"
    case " 60 ${values[*]} " in *" $value "*) ;; *) fail "round $k: IntReRunTime is \"$value\"" ;; esac
    [ "$("$cli" list | grep -c '^W')" -eq $((writers * adds)) ] || fail "round $k: sets lost"
done
ls "$work"/config/kelvo/*unreadable* >/dev/null 2>&1 && fail "a file was set aside as unreadable"
"$cli" settings IntReRunTime 12 >/dev/null
stray=$(find "$work/config/kelvo" -name '.Kelvo.conf.kelvo-*' | wc -l)
[ "$stray" -eq 0 ] || fail "$stray temporary files left after a save"
echo "kill -9 during saves: $kills rounds, $failures failures"

# 100,000 keys load at once; a parser that grows with the square of the keys takes minutes. The limit
# is generous: it only tells linear from quadratic on a busy machine.
sets=6250
awk -v sets="$sets" -v dir="$work" 'BEGIN {
    for (i = 0; i < sets; i++) {
        printf "[Sets\\Big %d]\nSourceDirFile = %s/src\nDestDir = %s/big/%d\n", i, dir, dir, i
        printf "CopyOptions = OpDate\nSyncOptions = srcToDest\nArchiveOptions = OpSeq\nArchiveSubDir =\n"
        printf "Filters = *.*\nflEnabled = True\nflOverwrite = True\nflSubDirectories = True\n"
        printf "flArchive = False\nflArchiveSubDir = False\nflRemovedDeletedFiles = False\nLastDate = Never run\n\n"
    }
    print "[Sets]"
    for (i = 0; i < sets; i++)
        printf "Big %d = Big %d\n", i, i
}' >"$conf"
start=$(date +%s%N)
listed=$(timeout 60 "$cli" list | grep -c '^Big' || true)
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
[ "$listed" -eq "$sets" ] || fail "$listed of $sets sets listed from a file of $((sets * 16)) keys"
[ "$elapsed_ms" -lt 10000 ] || fail "listing $((sets * 16)) keys took $elapsed_ms ms"
echo "$((sets * 16)) keys listed in $elapsed_ms ms"
[ "$failures" -eq 0 ]
