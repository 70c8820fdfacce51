#!/bin/sh
# Compares tftp_serve with tftpd-hpa's in.tftpd in one run: a get and a put
# of the same file with the tftp-hpa client against each server, both serving
# one folder on loopback. Prints one line per case with the best of ROUNDS.
#
#   compare.sh TFTP_SERVE [SIZE_MIB=20] [ROUNDS=5]
#
# in.tftpd is taken from $IN_TFTPD, or unpacked (not installed) from the
# tftpd-hpa package into a cache folder. Needs root (in.tftpd drops to nobody).
set -eu
serve=${1:?usage: compare.sh TFTP_SERVE [SIZE_MIB] [ROUNDS]}
mib=${2:-20}
rounds=${3:-5}
port_hv=26990
port_ref=26991

work=$(mktemp -d "${TMPDIR:-/tmp}/tftpbench.XXXXXX")
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

tftpd=${IN_TFTPD:-}
if [ -z "$tftpd" ]; then
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/halvorstead-bench/tftpd-hpa
    tftpd=$cache/root/usr/sbin/in.tftpd
    if [ ! -x "$tftpd" ]; then
        mkdir -p "$cache"
        (cd "$cache" && apt-get download tftpd-hpa >/dev/null && dpkg-deb -x tftpd-hpa_*.deb root)
    fi
fi

served=$work/served
client=$work/client
mkdir -p "$served" "$client"
chmod 777 "$served"   # in.tftpd writes as nobody
head -c $((mib * 1048576)) /dev/urandom > "$served/data.bin"
chmod 644 "$served/data.bin"
cp "$served/data.bin" "$client/up.bin"

"$serve" --root "$served" --port $port_hv --bind 127.0.0.1 --quiet >/dev/null &
pids="$pids $!"
"$tftpd" -L -u nobody -c -s "$served" -a 127.0.0.1:$port_ref &
pids="$pids $!"
sleep 0.5

now() { date +%s.%N; }

# run_once PORT get|put: seconds for one transfer; checks the data.
run_once() {
    if [ "$2" = get ]; then
        rm -f "$client/got.bin"
        t0=$(now)
        (cd "$client" && timeout 120 tftp 127.0.0.1 "$1" -m binary -c get data.bin got.bin)
        t1=$(now)
        cmp -s "$client/got.bin" "$served/data.bin" || { echo "get from port $1: data differs" >&2; exit 1; }
    else
        name=put_$1.bin
        rm -f "$served/$name"
        t0=$(now)
        (cd "$client" && timeout 120 tftp 127.0.0.1 "$1" -m binary -c put up.bin "$name")
        t1=$(now)
        cmp -s "$served/$name" "$client/up.bin" || { echo "put to port $1: data differs" >&2; exit 1; }
    fi
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f\n", b - a }'
}

min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }

# The two servers take turns within each round, so that a busy machine
# slows both alike; the best round of each is reported.
for op in get put; do
    hv=""
    ref=""
    i=0
    while [ $i -lt "$rounds" ]; do
        i=$((i + 1))
        hv=$(min "$hv" "$(run_once $port_hv $op)")
        ref=$(min "$ref" "$(run_once $port_ref $op)")
    done
    printf 'tftp %s %d MiB (tftp-hpa client, best of %d): tftp_serve %.3f s (%.1f MiB/s)  in.tftpd %.3f s (%.1f MiB/s)\n' \
        "$op" "$mib" "$rounds" "$hv" "$(awk -v m="$mib" -v t="$hv" 'BEGIN { print m / t }')" \
        "$ref" "$(awk -v m="$mib" -v t="$ref" 'BEGIN { print m / t }')"
done
