#!/usr/bin/env bash
# The X session of scripts/screenshots.sh: BIN OUT.
set -euo pipefail
bin=$1 out=$2
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
cp -r /usr/share/doc "$work/documents"
"$bin/kelvo-cli" add Documents --source "$work/documents" --dest "$work/backup" >/dev/null
"$bin/kelvo-cli" settings flShowStatusBar true >/dev/null
"$bin/kelvo-cli" settings flReRun true >/dev/null

openbox >/dev/null 2>&1 &
trayer --edge top --align right --widthtype pixel --width 120 --height 24 --SetPartialStrut true \
    --SetDockType true --transparent false >/dev/null 2>&1 &
sleep 2

window_shot() { # NAME WINDOW_ID: the window with its frame
    import -window root -crop "$(frame_geometry "$2")" +repage "$out/$1.png"
}
frame_geometry() {
    local frame
    frame=$(xwininfo -id "$1" -children | awk '/Parent window id/ {print $4}')
    xwininfo -id "$frame" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4}
        /Width/ {w=$2} /Height/ {h=$2} END {printf "%dx%d+%d+%d", w, h, x, y}'
}
wait_window() { # NAME: the id of the first window with exactly that title
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1) && [ -n "$id" ] && { echo "$id"; return; }
        sleep 0.1
    done
    echo "no window $1" >&2; return 1
}
stop_kelvo() {
    kill -TERM "$1"; wait "$1" || { echo "kelvo ended with $?" >&2; exit 1; }
}

# The main window and the status bar after the first run, at 100% and at 200%.
"$bin/kelvo" & pid=$!
id=$(wait_window Kelvo); sleep 6
window_shot main-window "$id"
import -window root "$out/desktop.png"
# The tray menu: minimised, the window goes to the tray; a right click on the icon opens the menu.
xdotool windowminimize "$id"; sleep 1
tray=$(xdotool search --onlyvisible --class trayer | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove $((X + WIDTH - 12)) $((Y + HEIGHT / 2)) click 3; sleep 1
import -window root -crop 420x300+860+0 +repage "$out/tray-menu.png"
xdotool key Escape
stop_kelvo $pid

QT_SCALE_FACTOR=2 "$bin/kelvo" & pid=$!
id=$(wait_window Kelvo); sleep 4
window_shot main-window-200 "$id"
stop_kelvo $pid

# The status bar in each corner of the work area (the panel at the top leaves room above TL and TR).
for corner in TL TR BL BR; do
    "$bin/kelvo-cli" settings StrStatusBarPos $corner >/dev/null
    "$bin/kelvo" /m & pid=$!
    id=$(wait_window KelvoStatusBar); sleep 1
    import -window root -resize 50% "$out/status-bar-$corner.png"
    stop_kelvo $pid
done

# The screen saver: black, the statistics bouncing over it while it backs up; a key ends it.
rm -rf "$work/backup"
"$bin/kelvo" /s & pid=$!
sleep 2; import -window root "$out/screen-saver-1.png"
sleep 1; import -window root "$out/screen-saver-2.png"
xdotool key shift
wait $pid && echo "screen saver ended on a key"

# The dialogs, opened as a person would: the toolbar of the main window and of the editor.
"$bin/kelvo-cli" add Pictures --source "$work/documents/bash" --dest "$work/backup-pictures" >/dev/null
"$bin/kelvo" & pid=$!
id=$(wait_window Kelvo); sleep 2
xdotool mousemove --window "$id" 25 22 click 1 # Edit Sets
editor=$(wait_window "Edit Sets"); sleep 1
window_shot editor "$editor"
xdotool mousemove --window "$editor" 70 22 click 1 # Properties of the selected set
options=$(wait_window "Set Configuration"); sleep 1
window_shot set-properties "$options"
xdotool key alt+a; sleep 1
window_shot set-properties-advanced "$options"
xdotool key Escape; sleep 1
xdotool mousemove --window "$editor" 452 30 click 1 # About
about=$(wait_window "About Kelvo"); sleep 1
window_shot about "$about"
xdotool key Return; sleep 1
xdotool windowactivate --sync "$editor" key Escape; sleep 1
xdotool mousemove --window "$id" 80 22 click 1 # Settings
settings=$(wait_window "Kelvo Settings"); sleep 1
window_shot settings "$settings"
xdotool key Escape; sleep 1
stop_kelvo $pid

# The restore window, to get back a letter overwritten since its last backup: Edit Sets, Restore, the
# set Letters in the list of sets, the letter in the tree, Restore. The set takes no part in runs, so
# the program's first run does not back up the mistake.
mkdir -p "$work/letters/2026" "$work/letters/old"
echo "Dear Anna, a first draft" >"$work/letters/2026/to-anna.txt"
echo "Invoice 118" >"$work/letters/2026/invoice.odt"
echo "Notes" >"$work/letters/notes.txt"
echo "Dear Uncle" >"$work/letters/old/to-uncle.txt"
"$bin/kelvo-cli" add Letters --source "$work/letters" --dest "$work/backup-letters" --keep seq \
    --delete-removed >/dev/null
touch -d "-9 days" "$work/letters/2026/to-anna.txt"
"$bin/kelvo-cli" run Letters >/dev/null
echo "Dear Anna, a second draft" >"$work/letters/2026/to-anna.txt"
touch -d "-2 days" "$work/letters/2026/to-anna.txt"
"$bin/kelvo-cli" run Letters >/dev/null
echo "Dear Anna, the letter as sent" >"$work/letters/2026/to-anna.txt"
"$bin/kelvo-cli" run Letters >/dev/null
rm "$work/letters/2026/invoice.odt"
"$bin/kelvo-cli" run Letters >/dev/null
echo "Shopping list" >"$work/letters/2026/to-anna.txt"
"$bin/kelvo-cli" disable Letters >/dev/null
"$bin/kelvo" & pid=$!
id=$(wait_window Kelvo); sleep 2
xdotool windowactivate --sync "$id" key alt+e
editor=$(wait_window "Edit Sets"); sleep 1
xdotool key alt+t
restore=$(wait_window "Restore Files"); sleep 1
xdotool key alt+b End alt+f Down Right Down Down; sleep 1 # Letters, 2026, to-anna.txt
xdotool key alt+r; sleep 2
window_shot restore "$restore"
xdotool key Escape; sleep 1
xdotool windowactivate --sync "$editor" key Escape; sleep 1
grep -q "the letter as sent" "$work/letters/2026/to-anna.txt" || { echo "the letter was not restored" >&2; exit 1; }
stop_kelvo $pid

# The editor alone, as "kelvo /C" opens it on an empty list.
rm -rf "$XDG_CONFIG_HOME/kelvo"
"$bin/kelvo" /c & pid=$!
editor=$(wait_window "Edit Sets"); sleep 1
window_shot editor-empty "$editor"
xdotool windowactivate --sync "$editor" key Escape
wait $pid && echo "the editor alone ended on Escape"
