#!/bin/sh
# kermit_pair.sh BUILD SSHSTATE PORT [send|receive] [RATE EVENT SIZE]...
#
# The reference beside window.sh's Kermit runs: gkermit to gkermit over the
# same line (hv_delayshell, 25 ms each way, RATE bytes a second, 2 MiB held,
# ssh to the fixture's sshd, bash there). The near gkermit sends ("send",
# the default) or receives on a pty of socat's; the far one is started by
# the far command, and bash follows it there. A second after the data flows
# comes EVENT: "int2" (the near gkermit sent SIGINT twice, 0.3 s apart, as
# Ctrl+C twice would), "term" or "kill" (the far gkermit sent SIGTERM or
# SIGKILL) or "whole". Once the near gkermit has ended, a command is typed
# to the far bash every half second until it has run. One line per case:
# the seconds from the event to the command running.
set -eu
build=$(cd "$1" && pwd) state=$(cd "$2" && pwd) port=$3
shift 3
dir=send
case "${1:-}" in send|receive) dir=$1; shift ;; esac
[ $# -gt 0 ] || set -- 20000 int2 1048576 100000 int2 1048576 1000000 int2 1048576 \
    20000 kill 1048576 100000 kill 1048576 1000000 kill 1048576
for tool in socat gkermit; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done
user=$(cat "$state/user")
home=$(getent passwd "$user" | cut -d: -f6)
far=$home/kpair
work=$(mktemp -d)
mkdir -p "$far" "$work/near"
chown "$user" "$far"
pair=
trap '[ -z "$pair" ] || kill $pair 2>/dev/null || true; rm -rf "$work"' EXIT
now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.2f", a - b }'; }
alive() { [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }
case $dir in
send) farcmd="gkermit -i -P -r" nearcmd="gkermit -i -P -s data.bin" got=$far/data.bin ;;
*) farcmd="gkermit -i -P -s data.bin" nearcmd="gkermit -i -P -r" got=$work/near/data.bin ;;
esac
cat >"$work/far.sh" <<EOF
#!/bin/sh
exec ssh -tt -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
    -i $state/keys/id_ed25519 -p $port $user@127.0.0.1 \
    "cd $far && bash -c 'echo \\\$\\\$ >peer.pid; exec $farcmd'; LANG=C.UTF-8 exec bash --norc -i"
EOF
# The near end: gkermit on the line, then the command typed until it ran.
cat >"$work/near.sh" <<EOF
#!/bin/sh
cd $work/near
sleep 3
sh -c 'echo \$\$ >near.pid; exec $nearcmd' 2>"$work/near.err" || true
tries=0
while [ ! -e $far/answered ] && [ \$tries -lt 120 ]; do
    printf '\025touch answered\r'
    sleep 0.5
    tries=\$((tries + 1))
done
printf 'exit\r'
sleep 1
EOF
chmod +x "$work/far.sh" "$work/near.sh"
while [ $# -ge 3 ]; do
    rate=$1 event=$2 size=$3
    shift 3
    rm -f "$far/data.bin" "$far/peer.pid" "$far/answered" "$work/near/data.bin" "$work/near/near.pid"
    head -c "$size" /dev/urandom >"$work/data.bin"
    if [ $dir = send ]; then
        cp "$work/data.bin" "$work/near/data.bin"
    else
        cp "$work/data.bin" "$far/data.bin"
        chown "$user" "$far/data.bin"
    fi
    HV_DELAY_RATE=$rate HV_DELAY_HOLD=2097152 HV_DELAY_SHELL=$work/far.sh \
        socat EXEC:"sh $work/near.sh",pty,raw,echo=0,setsid,ctty EXEC:"$build/tests/support/hv_delayshell",pty,raw,echo=0 &
    pair=$!
    tries=0
    # Amid the file; a whole run may be through before it is seen.
    until [ -s "$got" ] && { [ $event = whole ] || { alive "$work/near/near.pid" && alive "$far/peer.pid" &&
        [ "$(stat -c %s "$got")" -lt "$size" ]; }; }; do
        tries=$((tries + 1)); [ $tries -lt 300 ] || { echo "FAIL: no data flowed"; cat "$work/near.err"; exit 1; }
        sleep 0.1
    done
    sleep 1
    start=$(now)
    case $event in
    int2) kill -INT "$(cat "$work/near/near.pid")"; sleep 0.3; kill -INT "$(cat "$work/near/near.pid")" 2>/dev/null || true ;;
    term) kill -TERM "$(cat "$far/peer.pid")" ;;
    kill) kill -KILL "$(cat "$far/peer.pid")" ;;
    whole)
        while alive "$work/near/near.pid"; do sleep 0.1; done
        start=$(now) ;;
    esac
    tries=0
    until [ -e "$far/answered" ] || [ $tries -ge 700 ]; do
        tries=$((tries + 1)); sleep 0.1
    done
    took=$( [ -e "$far/answered" ] && since "$start" || echo none)
    whole=
    [ "$event" != whole ] || whole=" file=$(cmp -s "$work/data.bin" "$got" && echo whole || echo DIFFERS)"
    printf 'gkermit pair %s delay=25ms rate=%s size=%s event=%s next-command=%ss%s\n' "$dir" "$rate" "$size" "$event" "$took" "$whole"
    ! alive "$far/peer.pid" || kill -KILL "$(cat "$far/peer.pid")"
    ! alive "$work/near/near.pid" || kill -KILL "$(cat "$work/near/near.pid")"
    wait $pair 2>/dev/null || true
    pair=
done
