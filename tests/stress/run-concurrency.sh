#!/usr/bin/env bash
# Many kelvo-cli runs against one tree: runs of one set started at once wait for each other and end
# clean, and runs killed at random moments leave every backup file whole (the old or the new
# contents), with no unfinished copy left once the next run has been through.
# Usage: run-concurrency.sh BIN_DIR
set -euo pipefail
cli="$1/kelvo-cli"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-stress-XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR" "$work/src" "$work/log"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for d in $(seq 1 20); do
    mkdir -p "$work/src/d$d/sub"
    for f in $(seq 1 25); do
        printf 'file %s %s\n' "$d" "$f" >"$work/src/d$d/f$f.txt"
        printf 'deeper %s %s\n' "$d" "$f" >"$work/src/d$d/sub/g$f.txt"
    done
done
"$cli" settings StrLogFileDir "$work/log" >/dev/null
"$cli" settings flLogFileOn true >/dev/null
"$cli" add Tree --source "$work/src" --dest "$work/dst" --delete-removed >/dev/null

runs=8
for r in $(seq 1 "$runs"); do
    "$cli" run Tree >"$work/out$r" 2>&1 &
done
statuses=0
for job in $(jobs -p); do
    wait "$job" || statuses=$((statuses + 1))
done
[ "$statuses" -eq 0 ] && ! grep -q 'Errors: [1-9]' "$work"/out* || fail "concurrent runs reported errors: $(cat "$work"/out*)"
diff -r "$work/src" "$work/dst" >/dev/null || fail "concurrent runs left the backup unlike its source"
echo "$runs concurrent runs of one set: $statuses failed"

# One big file, rewritten between runs with one byte value, so any mix of old and new shows.
"$cli" add Big --source "$work/big" --dest "$work/bigdst" --force >/dev/null
mkdir -p "$work/big"
kills=30 interrupted=0
for k in $(seq 1 "$kills"); do
    byte=$(printf '%03o' $((k % 90 + 33)))
    head -c 8000000 /dev/zero | tr '\0' "\\$byte" >"$work/big/blob"
    "$cli" run Big >/dev/null 2>&1 &
    run=$!
    sleep "0.0$((RANDOM % 10))"
    kill -KILL "$run" 2>/dev/null || true
    wait "$run" 2>/dev/null || true
    if [ -e "$work/bigdst/blob" ]; then
        first=$(head -c 1 "$work/bigdst/blob" | od -An -to1 | tr -d ' ')
        others=$(tr -d "\\$first" <"$work/bigdst/blob" | wc -c)
        size=$(stat -c %s "$work/bigdst/blob")
        [ "$first" = "$byte" ] || interrupted=$((interrupted + 1))
        [ "$others" -eq 0 ] && [ "$size" -eq 8000000 ] || fail "round $k: the backup is torn ($size bytes, $others odd)"
    fi
done
"$cli" run Big >/dev/null 2>&1 || fail "the run after the kills failed"
cmp -s "$work/big/blob" "$work/bigdst/blob" || fail "the run after the kills did not complete the copy"
stray=$(find "$work/bigdst" -name '*.kelvo-partial-*' | wc -l)
[ "$stray" -eq 0 ] || fail "$stray unfinished copies left after the next run"
echo "kill -9 during runs: $kills rounds ($interrupted before the copy was done), $failures failures"

# Runs killed while they back up a private folder, under a umask that opens everything: the backup
# of that folder is never, at any moment, readable by others.
mkdir -p "$work/private/secret/inner"
for f in $(seq 1 2000); do printf 'secret %s\n' "$f" >"$work/private/secret/s$f.txt"; done
cp "$work/private/secret/"s1*.txt "$work/private/secret/inner/"
chmod 700 "$work/private/secret"
"$cli" add Private --source "$work/private" --dest "$work/privdst" >/dev/null
opened=0
for k in $(seq 1 15); do
    rm -rf "$work/privdst"
    (umask 000 && exec "$cli" run Private) >/dev/null 2>&1 &
    run=$!
    sleep "0.0$((RANDOM % 10))"
    kill -KILL "$run" 2>/dev/null || true
    wait "$run" 2>/dev/null || true
    [ -z "$(find "$work/privdst" -maxdepth 1 -name secret -perm /077 2>/dev/null)" ] || opened=$((opened + 1))
done
[ "$opened" -eq 0 ] || fail "$opened killed runs left the backup of a 0700 folder open to others"
echo "kill -9 while backing up a private folder: 15 rounds, $opened left it open"
[ "$failures" -eq 0 ]
