#!/usr/bin/env bash
# The X session of scripts/desktop-check.sh: BIN OUT.
set -uo pipefail
bin=$1 out=$2
work=$(mktemp -d)
cleanup() {
    kill $(jobs -p) 2>/dev/null
    chattr -R -i "$work" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
    XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
cli() { "$bin/kelvo-cli" "$@" >/dev/null; }
log=$HOME/kelvo.log
failed=0

check() { # NAME COMMAND...: one line of the report
    if "${@:2}"; then echo "PASS $1"; else echo "FAIL $1" && failed=1; fi
}
wait_for() { # SECONDS COMMAND...: true once the command is
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}
window_of() { # TITLE: the largest visible window of that title (the tray icon's window has it too)
    local id best="" best_width=0
    for id in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$id")"
        ((WIDTH > best_width)) && best=$id best_width=$WIDTH
    done
    echo "$best"
}
has_window() { [ -n "$(window_of "$1")" ]; }
runs() {
    local count
    count=$(grep -c '^COMPLETED backup\|^STOPPED backup' "$log" 2>/dev/null)
    echo "${count:-0}"
}
runs_ended() { [ "$(runs)" -ge "$1" ]; }
notifications() { grep -c 'member=Notify' "$work/notify.log"; }
files_in() { find "$1" -type f 2>/dev/null | wc -l; }
more_files_than() { [ "$(files_in "$1")" -gt "$2" ]; }
# Edit Sets from the main window's toolbar.
open_editor() {
    xdotool mousemove --window "$(window_of Kelvo)" 25 22 click 1
    wait_for 10 has_window "Edit Sets" && sleep 1
}
stop_kelvo() { kill -TERM "$1" && wait "$1"; }
tray_area() { # the notification area's geometry, for import -crop
    local tray
    tray=$(xdotool search --onlyvisible --class trayer | head -n 1)
    eval "$(xdotool getwindowgeometry --shell "$tray")"
    echo "${WIDTH}x${HEIGHT}+${X}+${Y}"
}
red_pixels() { # PNG: pixels of the error badge's red
    convert "$1" -fx 'r > 0.7 && g < 0.3 && b < 0.3 ? 1 : 0' -format '%[fx:int(mean * w * h + 0.5)]' info:
}

cat >"$work/dunstrc" <<'CONF'
[global]
    geometry = "420x5-10+40"
    font = DejaVu Sans 10
[urgency_normal]
    timeout = 0
CONF
openbox >/dev/null 2>&1 &
trayer --edge top --align right --widthtype pixel --width 120 --height 24 --SetPartialStrut true \
    --SetDockType true --transparent false >/dev/null 2>&1 &
trayer_pid=$!
dunst -config "$work/dunstrc" >/dev/null 2>&1 &
dbus-monitor --session "type='method_call',interface='org.freedesktop.Notifications',member='Notify'" \
    >"$work/notify.log" 2>&1 &
sleep 2

# A set whose destination cannot be written (immutable even to root): one notification, a red tray
# icon, and the Last Run column says failed. Unlocked, the next run says it works again.
mkdir -p "$work/letters" "$work/locked"
cp -r /usr/share/doc/bash "$work/letters/"
chattr +i "$work/locked"
cli add Letters --source "$work/letters" --dest "$work/locked"
"$bin/kelvo" &
pid=$!
wait_for 30 runs_ended 1 && sleep 2
check "a failing set gives one notification" [ "$(notifications)" = 1 ]
import -window root "$out/failed-desktop.png"
import -window root -crop "$(tray_area)" +repage "$out/tray-failed.png"
check "the tray icon turns red" [ "$(red_pixels "$out/tray-failed.png")" -gt 20 ]
eval "$(xdotool search --onlyvisible --class trayer getwindowgeometry --shell %1)"
xdotool mousemove $((X + WIDTH - 12)) $((Y + HEIGHT / 2)); sleep 2
import -window root -crop 520x120+760+0 +repage "$out/tray-tooltip-failed.png"
xdotool mousemove 640 400
open_editor
xdotool windowsize "$(window_of "Edit Sets")" 1260 330 windowmove "$(window_of "Edit Sets")" 10 200; sleep 1
import -window root -crop 1280x400+0+180 +repage "$out/editor-last-run-failed.png"
xdotool windowactivate --sync "$(window_of "Edit Sets")" key Escape
stop_kelvo $pid
chattr -i "$work/locked"
"$bin/kelvo" &
pid=$!
wait_for 30 runs_ended 2 && sleep 2
check "the next completed run says the set backs up again" [ "$(notifications)" = 2 ]
import -window root -crop "$(tray_area)" +repage "$out/tray-completed.png"
check "the tray icon is no longer red" [ "$(red_pixels "$out/tray-completed.png")" -lt 5 ]
stop_kelvo $pid

# A dialog opened during a run and left open: the run goes on to its end.
python3 bench/generate-tree.py tree --seed 2 --files 120000 --dirs 1200 --depth 3 --min-size 1024 \
    --max-size 16384 "$work/big"
cli remove Letters
cli add Big --source "$work/big" --dest "$work/big-backup"
total=$(files_in "$work/big")
runs_before=$(runs)
"$bin/kelvo" &
pid=$!
wait_for 30 more_files_than "$work/big-backup" 100
eval "$(xdotool search --onlyvisible --class trayer getwindowgeometry --shell %1)"
xdotool mousemove $((X + WIDTH - 14)) $((Y + HEIGHT / 2)); sleep 0.3; xdotool mousemove $((X + WIDTH - 12)) $((Y + HEIGHT / 2)); sleep 2
import -window root -crop 520x60+760+0 +repage "$out/tray-tooltip-running.png"
xdotool mousemove 640 700
xdotool mousemove --window "$(window_of Kelvo)" 80 22 click 1 # Settings
wait_for 10 has_window "Kelvo Settings"
copied_when_opened=$(files_in "$work/big-backup")
wait_for 120 runs_ended $((runs_before + 1))
check "a run goes on while the settings dialog stays open ($copied_when_opened of $total files when it opened)" \
    eval '[ "$(files_in "$work/big-backup")" = "$total" ] && has_window "Kelvo Settings"'
import -window root "$out/dialog-open-run-ended.png"
xdotool windowactivate --sync "$(window_of "Kelvo Settings")" key Escape
stop_kelvo $pid

# An edit in Edit Sets outlives the countdown's reload and run: the set unticked there stays so.
cli add Small --source "$work/letters" --dest "$work/small-backup"
cli settings flReRun true
cli settings IntReRunTime 1
runs_before=$(runs)
"$bin/kelvo" &
pid=$!
wait_for 60 runs_ended $((runs_before + 1)) && sleep 1
open_editor
editor=$(window_of "Edit Sets")
xdotool windowactivate --sync "$editor" key Home space # the first set, Big, untick
sleep 1
import -window root "$out/editor-unticked.png"
wait_for 90 runs_ended $((runs_before + 2)) && sleep 2
import -window root "$out/editor-after-countdown.png"
xdotool windowactivate --sync "$editor" key Return # Done
sleep 2
check "an edit in Edit Sets survives the countdown's run" \
    eval '"$bin/kelvo-cli" list | grep -A12 "^Big" | grep -q "enabled: *no"'
stop_kelvo $pid
cli settings flReRun false

# The watched set: a folder made after the run is backed up at once.
cli settings StrRealTime Small
runs_before=$(runs)
"$bin/kelvo" &
pid=$!
wait_for 60 runs_ended $((runs_before + 1)) && sleep 1
mkdir -p "$work/letters/new folder/deeper"
echo "written after the run" >"$work/letters/new folder/deeper/note.txt"
check "a folder made in the watched set is backed up" \
    wait_for 30 [ -f "$work/small-backup/new folder/deeper/note.txt" ]
stop_kelvo $pid
cli settings StrRealTime None

# Started by the autostart entry with no notification area: minimised on the taskbar, not shown.
kill $trayer_pid
sleep 1
"$bin/kelvo" /W &
pid=$!
sleep 4
iconic() {
    local id
    for id in $(xdotool search --name '^Kelvo$'); do
        xprop -id "$id" WM_STATE 2>/dev/null | grep -q Iconic && return 0
    done
    return 1
}
check "/W without a tray starts minimised" iconic
import -window root "$out/autostart-minimised.png"
stop_kelvo $pid

echo "notifications sent (summary: first line of the body):"
awk '/member=Notify/ { n = 0; next }
    /^   string "/ { line = substr($0, 12); gsub(/"$/, "", line); if (++n == 3) summary = line; if (n == 4) print "  " summary ": " line }' \
    "$work/notify.log"
exit $failed
