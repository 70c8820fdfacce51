#!/bin/sh
# The real program on an X server (xcb): its window is found, resized from
# the bottom-right edge with synthetic pointer events, dragged by its title
# bar (a press that moves less than 4 px is a click), maximised from the
# title bar, restored by a drag, maximised again and closed; the stored state
# says maximised. With no window manager here the bar moves the window itself.
# Then, with settings that cannot be saved, Exit still ends the program.
set -eu
bin=$1
for tool in xvfb-run xdotool; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done
if [ "${2:-}" != inner ]; then
    exec xvfb-run -a -s "-screen 0 1600x1000x24" sh "$0" "$bin" inner
fi
export QT_QPA_PLATFORM=xcb HALVORSTEAD_DATA_DIR="$HOME/data"
mkdir -p "$HALVORSTEAD_DATA_DIR"
start() {
    "$bin" &
    pid=$!
    trap 'kill $pid 2>/dev/null || true' EXIT
    wid=$(timeout 30 xdotool search --sync --onlyvisible --name 'Halvorstead v1.2' | head -n 1)
}
ended() { # what failed otherwise
    tries=0
    while kill -0 $pid 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -lt 200 ] || { echo "FAIL: $1"; exit 1; }
        sleep 0.05
    done
    trap - EXIT
}
start
geometry() { xdotool getwindowgeometry --shell "$wid" | tr '\n' ' '; }
eval "$(xdotool getwindowgeometry --shell "$wid")"
w0=$WIDTH h0=$HEIGHT
drag() { # x y dx dy
    xdotool mousemove $1 $2 mousedown 1 sleep 0.1 mousemove $(($1 + $3 / 2)) $(($2 + $4 / 2)) sleep 0.1 \
        mousemove $(($1 + $3)) $(($2 + $4)) sleep 0.1 mouseup 1
    sleep 0.6 # apart from the next click: not a double click
}
expect() { # what, then a condition on X Y WIDTH HEIGHT
    what=$1; shift
    tries=0
    until eval "$(xdotool getwindowgeometry --shell "$wid")"; eval "$@"; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || { echo "FAIL: $what: $(geometry)"; exit 1; }
        sleep 0.05
    done
}

# Press 3 pixels inside the bottom-right corner and drag by (100, 50).
x=$((X + WIDTH - 3)); y=$((Y + HEIGHT - 3))
xdotool mousemove $x $y mousedown 1
for step in 1 2 3 4 5; do
    xdotool mousemove $((x + step * 20)) $((y + step * 10))
done
xdotool mouseup 1
expect "after the drag" '[ "$WIDTH" = $((w0 + 100)) ] && [ "$HEIGHT" = $((h0 + 50)) ]'

# Drags on the title: by (2, 1) nothing moves, by (30, 20) the window follows.
x0=$X y0=$Y
drag $((X + 400)) $((Y + 15)) 2 1
expect "a 3 px drag moved the window" '[ "$X" = $x0 ] && [ "$Y" = $y0 ]'
drag $((X + 400)) $((Y + 15)) 30 20
expect "the window did not follow the title" '[ "$X" = $((x0 + 30)) ] && [ "$Y" = $((y0 + 20)) ]'

# A double click on the title maximises, a drag restores, another double
# click maximises again (with no window manager the geometry stays: the
# stored state tells); Alt+F4 closes.
xdotool mousemove $((X + 400)) $((Y + 15)) click --repeat 2 --delay 80 1
sleep 0.6
drag $((X + 400)) $((Y + 15)) 40 40
expect "the restored window did not follow" '[ "$X" -gt $((x0 + 30)) ]'
xdotool mousemove $((X + 400)) $((Y + 15)) click --repeat 2 --delay 80 1
xdotool windowfocus --sync "$wid" key alt+F4
ended "the window did not close"
grep -rqi 'maximized=true' "$HALVORSTEAD_DATA_DIR" || { echo "FAIL: maximised state not stored"; grep -ri maximized "$HOME" || true; exit 1; }

# A settings file that cannot be written (a folder in its place stops root
# too): Exit tells it while the window still stands, and after OK the
# program ends.
export HALVORSTEAD_DATA_DIR="$HOME/unwritable"
mkdir -p "$HALVORSTEAD_DATA_DIR/halvorstead_settings.ini"
start
xdotool windowfocus --sync "$wid" key alt+F4
box=$(timeout 30 xdotool search --sync --onlyvisible --name 'Sessions file' | head -n 1)
[ -n "$box" ] || { echo "FAIL: the failed save was not told"; exit 1; }
xdotool search --onlyvisible --name 'Halvorstead v1.2' | grep -qx "$wid" || { echo "FAIL: told after the window went"; exit 1; }
xdotool windowfocus --sync "$box" key Return
ended "the program did not end after the failed save"
echo "PASS"
