#!/bin/sh
# window.sh BUILD SSHSTATE PORT [RATE EVENT SIZE]...
#
# A ZMODEM send from the real window on an X server (xcb), as a user makes
# it: a local shell session, in it hv_delayshell (25 ms each way, RATE bytes
# a second, 2 MiB held) running ssh to the fixture's sshd (tests/fixtures/
# sshd.sh start SSHSTATE PORT), `rz` typed there, Transfer > Send File >
# Zmodem... and the file typed into the dialog. A second after the data
# flows comes EVENT: "esc" (Esc once), "esc2" (twice, 0.3 s apart), "kill"
# (rz killed) or "whole" (nothing: the run goes to its end). Then a command
# is typed, again every half second until it has run (what a receiver still
# running reads is lost to it). One line per case: the seconds from the
# event to the command running, and for "whole" whether the file arrived
# whole. The far bash runs in C.UTF-8, as a user's does. The command is
# given WINDOW_SH_WAIT seconds (default 60) to run.
set -eu
build=$1 state=$2 port=$3
shift 3
[ $# -gt 0 ] || set -- 20000 esc 4194304 20000 esc2 4194304 20000 kill 4194304 20000 whole 196608 \
    100000 esc 4194304 100000 esc2 4194304 100000 kill 4194304 100000 whole 1048576 \
    1000000 esc 16777216 1000000 esc2 16777216 1000000 kill 16777216 1000000 whole 8388608
for tool in xvfb-run xdotool; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done
if [ "${WINDOW_SH_INNER:-}" != 1 ]; then
    WINDOW_SH_INNER=1 exec xvfb-run -a -s "-screen 0 1600x1000x24" sh "$0" "$build" "$state" "$port" "$@"
fi
user=$(cat "$state/user")
home=$(getent passwd "$user" | cut -d: -f6)
far=$home/zmwin
work=$(mktemp -d)
mkdir -p "$far" "$work/data" "$work/xdg"
chown "$user" "$far"
chmod 700 "$work/xdg"
cat >"$work/far.sh" <<EOF
#!/bin/sh
exec ssh -tt -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
    -i $state/keys/id_ed25519 -p $port $user@127.0.0.1 "cd $far && LANG=C.UTF-8 exec bash -i"
EOF
chmod +x "$work/far.sh"
cat >"$work/data/halvorstead_sessions.json" <<'EOF'
{"groups":[],"sessions":[{"id":"zmwin","name":"zmwin","type":"local","icon":"","status":"idle","host":"","port":"","env_type":"auto"}]}
EOF
export QT_QPA_PLATFORM=xcb HALVORSTEAD_DATA_DIR=$work/data XDG_RUNTIME_DIR=$work/xdg SHELL=/bin/bash
"$build/halvorstead" >"$work/app.log" 2>&1 &
app=$!
trap 'kill $app 2>/dev/null || true; rm -rf "$work"' EXIT
wid=$(timeout 30 xdotool search --sync --onlyvisible --pid $app | head -n 1)
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.2f", a - b }'; }
# The session in the tree, then the terminal.
xdotool windowactivate --sync "$wid" 2>/dev/null || xdotool windowfocus --sync "$wid"
xdotool mousemove 69 177 click --repeat 2 --delay 80 1
sleep 2
xdotool mousemove 760 400 click 1
sleep 0.5
say() { xdotool type --delay 2 "$1"; xdotool key Return; }
# The screen at a failure, into $WINDOW_SH_SHOT when given.
fail() {
    [ -z "${WINDOW_SH_SHOT:-}" ] || import -window root "$WINDOW_SH_SHOT"
    echo "FAIL: $1"
    exit 1
}
alive() { [ -s "$far/peer.pid" ] && kill -0 "$(cat "$far/peer.pid")" 2>/dev/null; }

while [ $# -ge 3 ]; do
    rate=$1 event=$2 size=$3
    shift 3
    head -c "$size" /dev/urandom >"$work/data.bin"
    rm -f "$far/data.bin" "$far/peer.pid" "$far/answered"
    say "HV_DELAY_RATE=$rate HV_DELAY_HOLD=2097152 HV_DELAY_SHELL=$work/far.sh $build/tests/support/hv_delayshell"
    sleep 3
    say "bash -c 'echo \$\$ >peer.pid; exec rz -y'"
    tries=0
    until alive; do
        tries=$((tries + 1)); [ $tries -lt 100 ] || fail "rz did not start"
        sleep 0.1
    done
    sleep 1
    # Transfer > Send File > Zmodem... by the pointer: after a first run
    # Alt+T no longer opened the menu here.
    xdotool mousemove 275 46 click 1 sleep 0.5 mousemove 288 75 click 1 sleep 0.5 mousemove 417 75 click 1
    dialog=$(timeout 10 xdotool search --sync --onlyvisible --name 'Zmodem' | head -n 1)
    xdotool windowfocus --sync "$dialog" type "$work/data.bin"
    xdotool key Return
    # A second after the data flows.
    tries=0
    until [ -s "$far/data.bin" ]; do
        tries=$((tries + 1)); [ $tries -lt 300 ] || fail "no data arrived"
        sleep 0.1
    done
    sleep 1
    start=$(now)
    case $event in
    esc) xdotool key Escape ;;
    esc2) xdotool key Escape sleep 0.3 key Escape ;;
    kill) kill -9 "$(cat "$far/peer.pid")" ;;
    whole)
        tries=0
        while alive; do
            tries=$((tries + 1)); [ $tries -lt 6000 ] || fail "the run did not end"
            sleep 0.1
        done
        start=$(now) ;;
    esac
    tries=0
    until [ -e "$far/answered" ]; do
        tries=$((tries + 1))
        [ $tries -lt $((${WINDOW_SH_WAIT:-60} * 10)) ] || break
        [ $((tries % 5)) -ne 1 ] || { xdotool key ctrl+u; say "touch answered"; }
        sleep 0.1
    done
    took=$( [ -e "$far/answered" ] && since "$start" || echo none)
    [ "$took" != none ] || [ -z "${WINDOW_SH_SHOT:-}" ] || import -window root "$WINDOW_SH_SHOT"
    whole=
    [ "$event" != whole ] || whole=" file=$(cmp -s "$work/data.bin" "$far/data.bin" && echo whole || echo DIFFERS)"
    printf 'window ssh delay=25ms rate=%s size=%s event=%s next-command=%ss%s\n' "$rate" "$size" "$event" "$took" "$whole"
    # Out of the far shell and the line, back to the local shell.
    say "exit"
    sleep 2
done
