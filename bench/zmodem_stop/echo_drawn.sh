#!/bin/sh
# echo_drawn.sh BUILD [RATE SIZE]...
#
# How soon the real window draws a shell that echoes a killed receiver's
# tail. On an X server (xcb): a local shell session, in it hv_delayshell
# (25 ms each way, RATE bytes a second, 2 MiB held) running a far bash
# through script and tee (far.out: what a plain terminal would show), `rz`
# typed there, a ZMODEM send from the Transfer menu, and `rz` killed a
# second after the data flows. One line per case: the seconds from the
# kill until the far bash had said more than 500 bytes (its echo of what it
# read of our data), until the window's terminal had drawn some two hundred
# characters more than it showed at the kill (screenshots, some 0.3 s
# apart: the session log is written in blocks, the drawing is not), and
# until the far bash last said anything within 20 s. ECHO_DRAWN_SHOTS names
# a folder for the screenshot of each case in which the echo was first seen.
set -eu
build=$(cd "$1" && pwd)
shift
[ $# -ge 2 ] || set -- 100000 4194304 100000 4194304 100000 4194304
for tool in xvfb-run xdotool rz import; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done
if [ "${ECHO_DRAWN_INNER:-}" != 1 ]; then
    ECHO_DRAWN_INNER=1 exec xvfb-run -a -s "-screen 0 1600x1000x24" sh "$0" "$build" "$@"
fi
work=$(mktemp -d)
far=$work/far
mkdir -p "$far" "$work/data" "$work/xdg"
chmod 700 "$work/xdg"
cat >"$work/far.sh" <<EOF
#!/bin/sh
cd $far
exec script -qfec "env LANG=C.UTF-8 PS1='far\\\$ ' bash --norc -i" /dev/null | tee -a $work/far.out
EOF
chmod +x "$work/far.sh"
cat >"$work/data/halvorstead_sessions.json" <<'EOF'
{"groups":[],"sessions":[{"id":"echo","name":"echo","type":"local","icon":"","status":"idle","host":"","port":"","env_type":"auto"}]}
EOF
export QT_QPA_PLATFORM=xcb HALVORSTEAD_DATA_DIR=$work/data XDG_RUNTIME_DIR=$work/xdg SHELL=/bin/bash
"$build/halvorstead" >"$work/app.log" 2>&1 &
app=$!
trap 'kill $app 2>/dev/null || true; [ -n "${ECHO_DRAWN_KEEP:-}" ] || rm -rf "$work"; echo "work $work" >&2' EXIT
wid=$(timeout 30 xdotool search --sync --onlyvisible --pid $app | head -n 1)
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.2f", a - b }'; }
size() { cat "$@" 2>/dev/null | wc -c; }
await() { # CONDITION TENTHS WHY
    tries=0
    until eval "$1"; do
        tries=$((tries + 1)); [ $tries -lt "$2" ] || { echo "FAIL: $3"; exit 1; }
        sleep 0.1
    done
}
xdotool windowactivate --sync "$wid" 2>/dev/null || xdotool windowfocus --sync "$wid"
xdotool mousemove 69 177 click --repeat 2 --delay 80 1
sleep 2
xdotool mousemove 760 400 click 1
sleep 0.5
# How lit the terminal's area is: two hundred characters make some 0.006.
lit() {
    import -window root "$work/now.png"
    convert "$work/now.png" -crop 1000x540+250+130 -colorspace gray -format '%[fx:mean]' info:
}
say() { xdotool type --delay 2 "$1"; xdotool key Return; }
while [ $# -ge 2 ]; do
    rate=$1 size=$2
    shift 2
    head -c "$size" /dev/urandom >"$work/data.bin"
    rm -f "$far/data.bin" "$far/peer.pid"
    say "HV_DELAY_RATE=$rate HV_DELAY_HOLD=2097152 HV_DELAY_SHELL=$work/far.sh $build/tests/support/hv_delayshell"
    sleep 3
    say "bash -c 'echo \$\$ >peer.pid; exec rz -y'"
    await '[ -s "$far/peer.pid" ]' 100 "rz did not start"
    sleep 1
    # Transfer > Send File > ZMODEM, by the pointer (rows of 24 px).
    xdotool mousemove 275 46 click 1 sleep 0.5 mousemove 288 75 click 1 sleep 0.5 mousemove 417 75 click 1
    dialog=$(timeout 10 xdotool search --sync --onlyvisible --name Zmodem | head -n 1)
    xdotool windowfocus --sync "$dialog" type "$work/data.bin"
    xdotool key Return
    await '[ -s "$far/data.bin" ]' 300 "no data arrived"
    sleep 1
    farAt=$(size "$work/far.out") litAt=$(lit)
    start=$(now)
    kill -KILL "$(cat "$far/peer.pid")"
    said= drawn= last=$farAt grew=0
    while [ "$(since "$start" | cut -d. -f1)" -lt 20 ]; do
        t=$(since "$start")
        farNow=$(size "$work/far.out")
        [ -n "$said" ] || [ $((farNow - farAt)) -le 500 ] || said=${t}s
        if [ -z "$drawn" ] && [ "$(awk -v a="$(lit)" -v b="$litAt" 'BEGIN { print (a - b > 0.006) }')" = 1 ]; then
            drawn=${t}s
            [ -z "${ECHO_DRAWN_SHOTS:-}" ] || cp "$work/now.png" "$ECHO_DRAWN_SHOTS/$rate-$size-$(date +%s).png"
        fi
        [ "$farNow" = "$last" ] || { last=$farNow; grew=$t; }
        [ -z "$drawn" ] || sleep 0.1
    done
    printf 'echo-drawn rate=%s size=%s far-said=%s drawn=%s far-last-said=%ss far-bytes=%s\n' \
        "$rate" "$size" "${said:-never}" "${drawn:-never}" "$grew" $((last - farAt))
    # Back to the local shell: the far one's line cleared, then left.
    xdotool key ctrl+c
    say "exit"
    sleep 3
done
