#!/bin/sh
# The real program on an X server (xcb): its window is found, resized from
# the bottom-right edge with synthetic pointer events, maximised from the
# title bar and closed; the stored state says maximised.
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
"$bin" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
wid=$(timeout 30 xdotool search --sync --onlyvisible --name 'Halvorstead v1.2' | head -n 1)
geometry() { xdotool getwindowgeometry --shell "$wid" | tr '\n' ' '; }
eval "$(xdotool getwindowgeometry --shell "$wid")"
w0=$WIDTH h0=$HEIGHT

# Press 3 pixels inside the bottom-right corner and drag by (100, 50).
x=$((X + WIDTH - 3)); y=$((Y + HEIGHT - 3))
xdotool mousemove $x $y mousedown 1
for step in 1 2 3 4 5; do
    xdotool mousemove $((x + step * 20)) $((y + step * 10))
done
xdotool mouseup 1
tries=0
until eval "$(xdotool getwindowgeometry --shell "$wid")"; [ "$WIDTH" = $((w0 + 100)) ] && [ "$HEIGHT" = $((h0 + 50)) ]; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "FAIL: after the drag $(geometry)"; exit 1; }
    sleep 0.05
done

# A double click on the title maximises; Alt+F4 closes.
xdotool mousemove $((X + 400)) $((Y + 15)) click --repeat 2 --delay 80 1
xdotool windowfocus --sync "$wid" key alt+F4
tries=0
while kill -0 $pid 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -lt 200 ] || { echo "FAIL: the window did not close"; exit 1; }
    sleep 0.05
done
trap - EXIT
grep -rqi 'maximized=true' "$HALVORSTEAD_DATA_DIR" || { echo "FAIL: maximised state not stored"; grep -ri maximized "$HOME" || true; exit 1; }
echo "PASS"
