#!/usr/bin/env bash
# A serial line for the bench: one pty whose far end socat echoes back.
#   ptyecho.sh start|stop STATE     (the line is STATE/line)
set -eu
state=$2
stop() {
    [ -f "$state/pid" ] || return 0
    kill "$(cat "$state/pid")" 2>/dev/null || true
    rm -f "$state/pid"
}
case $1 in
start)
    mkdir -p "$state"
    stop
    rm -f "$state/line"
    socat pty,raw,echo=0,link="$state/line" PIPE >"$state/log" 2>&1 </dev/null &
    echo $! >"$state/pid"
    for _ in $(seq 100); do [ -e "$state/line" ] && exit 0; sleep 0.05; done
    echo "no pty from socat" >&2; exit 1 ;;
stop) stop ;;
*) echo "usage: $0 start|stop STATE" >&2; exit 2 ;;
esac
