#!/bin/sh
# window.sh BUILD SSHSTATE PORT [RUN] [RATE EVENT SIZE]...
#
# An in-band transfer from the real window on an X server (xcb), as a user
# makes it: a local shell session, in it hv_delayshell (25 ms each way, RATE
# bytes a second, 2 MiB held) running ssh to the fixture's sshd (tests/
# fixtures/sshd.sh start SSHSTATE PORT), the peer typed there, the transfer
# started from the Transfer menu and the file or folder typed into the
# dialog. RUN is "zmodem" (the default: `rz` and our send), "kermit-send"
# (`gkermit -i -P -r` and our send) or "kermit-receive" (`gkermit -i -P -s`
# and our receive). A second after the data flows comes EVENT: "esc" (Esc
# once), "esc2" (twice, 0.3 s apart), "int", "term" or "kill" (the peer
# sent SIGINT, SIGTERM or SIGKILL; a peer that goes on 3 s after SIGINT
# then gets Esc, timed from there), "esc-kill" or "esc-stop" (Esc, and half
# a second on the peer killed, or stopped by SIGSTOP: gkermit takes SIGTSTP
# and goes on), "stop-esc" (the peer stopped, and Esc half a second on,
# timed from the Esc) or "whole" (nothing: the run goes to its end). Then a
# command is typed, again every half second until it has run (what a peer
# still running reads is lost to it). The window sends no keys but Esc while
# the run is on, so a try that meets the run's end reaches the shell without
# its head: the command is one whose every tail is no command (the tail "ed"
# of an earlier one ran ed), and such cut tries are counted on their own
# ("cut=N" in shell-ran). One line per case: the
# seconds from the event to the command running; for "whole" whether the
# file arrived whole; "shell-ran" what else the far bash ran (its history:
# our bytes taken for a command), "echoed" how many packet marks the far
# side showed after the shell was back (ours echoed, or a peer's left
# running) and "bash-said" how many complaints of bash's (a syntax error, a
# command not found: lines no history holds) came after the event. The far
# bash runs in C.UTF-8, as a user's does. The command is given
# WINDOW_SH_WAIT seconds (default 60) to run. WINDOW_SH_SHOT names a
# screenshot taken at a failure or a case with no answer; WINDOW_SH_SHOTS a
# folder for one of every case, a second after the answer.
set -eu
build=$(cd "$1" && pwd) state=$(cd "$2" && pwd) port=$3
shift 3
run=zmodem
case "${1:-}" in zmodem|kermit-send|kermit-receive) run=$1; shift ;; esac
if [ $# -eq 0 ] && [ $run = zmodem ]; then
    set -- 20000 esc 4194304 20000 esc2 4194304 20000 kill 4194304 20000 whole 196608 \
        100000 esc 4194304 100000 esc2 4194304 100000 kill 4194304 100000 whole 1048576 \
        1000000 esc 16777216 1000000 esc2 16777216 1000000 kill 16777216 1000000 whole 8388608
elif [ $# -eq 0 ]; then
    # Kermit moves about 90 bytes a round trip: some 1.5 KB/s at 25 ms each way.
    for rate in 20000 100000 1000000; do
        for event in esc esc2 int term kill esc-kill esc-stop stop-esc; do set -- "$@" $rate $event 1048576; done
        set -- "$@" $rate whole 65536
    done
fi
for tool in xvfb-run xdotool; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done
if [ "${WINDOW_SH_INNER:-}" != 1 ]; then
    WINDOW_SH_INNER=1 exec xvfb-run -a -s "-screen 0 1600x1000x24" sh "$0" "$build" "$state" "$port" $run "$@"
fi
case $run in zmodem) peer=rz ;; *) peer=gkermit ;; esac
command -v $peer >/dev/null || { echo "FAIL: $peer is not installed"; exit 1; }
user=$(cat "$state/user")
home=$(getent passwd "$user" | cut -d: -f6)
far=$home/zmwin
work=$(mktemp -d)
mkdir -p "$far" "$work/data" "$work/xdg" "$work/recv"
chown "$user" "$far"
chmod 700 "$work/xdg"
# What the far side shows goes through tee into far.out as well, for the
# count of packet marks after the shell is back.
cat >"$work/far.sh" <<EOF
#!/bin/sh
exec ssh -tt -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
    -i $state/keys/id_ed25519 -p $port $user@127.0.0.1 \
    "cd $far && LANG=C.UTF-8 HISTFILE=$far/hist HISTCONTROL= HISTSIZE=10000 PROMPT_COMMAND='history -a' exec bash --norc -i" | tee -a $work/far.out
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
# The line of the case: hv_delayshell under the session's local shell.
line_up() { for shell in $(pgrep -P $app); do pgrep -P "$shell" >/dev/null && return 0; done; return 1; }
alive() { [ -s "$far/peer.pid" ] && kill -0 "$(cat "$far/peer.pid")" 2>/dev/null; }
# signal SIG: to the peer; one already gone is noted on the case's line.
signal() { kill -"$1" "$(cat "$far/peer.pid")" 2>/dev/null || note="$note peer-gone-before-$1"; }
# await CONDITION TENTHS WHY: polls the condition, failing the case with WHY after TENTHS tenths of a second.
await() {
    tries=0
    until eval "$1"; do
        tries=$((tries + 1)); [ $tries -lt "$2" ] || fail "$3"
        sleep 0.1
    done
}
# Whether the data flows: what the receiving side has written so far.
flowing() {
    case $run in
    kermit-receive) [ -n "$(find "$work/recv" -type f -size +0 2>/dev/null)" ] ;;
    *) [ -s "$far/data.bin" ] ;;
    esac
}
# Transfer > Send File or Receive File > the protocol, by the pointer:
# after a first run Alt+T no longer opened the menu here. Rows of 24 px.
menu() { # DIRECTION-ROW ITEM-ROW
    xdotool mousemove 275 46 click 1 sleep 0.5 mousemove 288 $((75 + 24 * $1)) click 1 sleep 0.5 \
        mousemove 417 $((75 + 24 * $1 + 24 * $2)) click 1
}

while [ $# -ge 3 ]; do
    rate=$1 event=$2 size=$3
    shift 3
    head -c "$size" /dev/urandom >"$work/data.bin"
    rm -rf "$far/data.bin" "$far/peer.pid" "$far/zmok" "$far/hist" "$work/recv"/*
    say "HV_DELAY_RATE=$rate HV_DELAY_HOLD=2097152 HV_DELAY_SHELL=$work/far.sh $build/tests/support/hv_delayshell"
    sleep 3
    case $run in
    zmodem) say "bash -c 'echo \$\$ >peer.pid; exec rz -y'" ;;
    kermit-send) say "bash -c 'echo \$\$ >peer.pid; exec gkermit -i -P -r'" ;;
    kermit-receive)
        cp "$work/data.bin" "$far/data.bin"
        chown "$user" "$far/data.bin"
        say "bash -c 'echo \$\$ >peer.pid; exec gkermit -i -P -s data.bin'" ;;
    esac
    await alive 100 "$peer did not start"
    sleep 1
    case $run in
    zmodem) menu 0 0; title=Zmodem; pick=$work/data.bin ;;
    kermit-send) menu 0 3; title=Kermit; pick=$work/data.bin ;;
    kermit-receive) menu 1 3; title=Kermit; pick=$work/recv ;;
    esac
    dialog=$(timeout 10 xdotool search --sync --onlyvisible --name "$title" | head -n 1)
    xdotool windowfocus --sync "$dialog" type "$pick"
    xdotool key Return
    # A folder typed in goes into it; the next Return chooses it.
    [ $run != kermit-receive ] || { sleep 0.5; xdotool key Return; }
    # A second after the data flows.
    await flowing 300 "no data arrived"
    sleep 1
    start=$(now) note= before=$(stat -c %s "$work/far.out")
    case $event in
    esc) xdotool key Escape ;;
    esc2) xdotool key Escape sleep 0.3 key Escape ;;
    int)
        # gkermit goes on after SIGINT: then Esc, timed from there.
        signal INT
        sleep 3
        ! alive || { note="$note peer-went-on-then-esc"; xdotool key Escape; start=$(now); } ;;
    term) signal TERM ;;
    esc-kill) xdotool key Escape sleep 0.5; signal KILL ;;
    esc-stop) xdotool key Escape sleep 0.5; signal STOP ;;
    stop-esc) signal STOP; sleep 0.5; xdotool key Escape; start=$(now) ;;
    kill) signal KILL ;;
    whole)
        await '! alive' 6000 "the run did not end"
        start=$(now) ;;
    esac
    tries=0
    until [ -e "$far/zmok" ]; do
        tries=$((tries + 1))
        [ $tries -lt $((${WINDOW_SH_WAIT:-60} * 10)) ] || break
        # One call: the line end is the text's own (type takes the rest of its arguments for text).
        [ $((tries % 5)) -ne 1 ] || xdotool key ctrl+u type --delay 2 "touch zmok
"
        sleep 0.1
    done
    took=$( [ -e "$far/zmok" ] && since "$start" || echo none)
    [ "$took" != none ] || [ -z "${WINDOW_SH_SHOT:-}" ] || import -window root "$WINDOW_SH_SHOT"
    # Marks shown from a second after the shell answered to two seconds on.
    sleep 1
    [ -z "${WINDOW_SH_SHOTS:-}" ] || { mkdir -p "$WINDOW_SH_SHOTS"; import -window root "$WINDOW_SH_SHOTS/$run-$rate-$event.png"; }
    shown=$(stat -c %s "$work/far.out")
    sleep 2
    echoed=$(tail -c +$((shown + 1)) "$work/far.out" | tr -cd '\001' | wc -c)
    echoed=$((echoed + $(tail -c +$((shown + 1)) "$work/far.out" | grep -o '\^A' | wc -l)))
    said=$(tail -c +$((before + 1)) "$work/far.out" | grep -c 'bash: ' || true)
    whole=
    if [ "$event" = whole ]; then
        case $run in
        kermit-receive) got=$work/recv/data.bin ;;
        *) got=$far/data.bin ;;
        esac
        whole=" file=$(cmp -s "$work/data.bin" "$got" && echo whole || echo DIFFERS)"
    fi
    # Every line the far bash ran but ours: none is owed to our bytes.
    ran=$(grep -v -e "^bash -c 'echo" "$far/hist" 2>/dev/null | tr -c '[:print:]\n' '?' | awk '
        length($0) && length($0) <= 10 && substr("touch zmok", 11 - length($0)) == $0 { if (length($0) < 10) cut++; next }
        { printf "%s|", $0 } END { if (cut) printf "cut=%d|", cut }' || true)
    printf 'window ssh %s delay=25ms rate=%s size=%s event=%s next-command=%ss%s%s echoed=%s shell-ran=[%s] bash-said=%s\n' \
        "$run" "$rate" "$size" "$event" "$took" "$whole" "$note" "$echoed" "$ran" "$said"
    # Out of the far shell and the line, back to the local shell (a peer
    # still there would take the exit for its own).
    ! alive || { kill -KILL "$(cat "$far/peer.pid")"; sleep 3; }
    tries=0
    while line_up; do
        tries=$((tries + 1)); [ $tries -lt 10 ] || fail "the far shell did not leave"
        xdotool key ctrl+c
        say "exit"
        sleep 2
    done
done
