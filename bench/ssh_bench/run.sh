#!/bin/sh
# Starts a private sshd on loopback, fills a file on the "remote" side and runs
# ssh_bench against it, which also times OpenSSH's own client in the same run.
#   bench/ssh_bench/run.sh BUILD_DIR [MiB] [ssh_bench options...]
set -eu
build=$1
mib=${2:-64}
shift $(($# < 2 ? $# : 2))
root=$(cd "$(dirname "$0")/../.." && pwd)
state=$(mktemp -d)
port=${HV_BENCH_PORT:-22250}
# Where the fixture's throw-away account can read it.
file=$(mktemp /tmp/hv_bench_${mib}m.XXXXXX)
trap '"$root/tests/fixtures/sshd.sh" stop "$state" $port; rm -rf "$state"; rm -f "$file"' EXIT INT TERM
"$root/tests/fixtures/sshd.sh" start "$state" $port
head -c "${mib}M" /dev/urandom > "$file"
chmod 644 "$file"
# The debug log (in the private temporary folder) tells the bench which
# cipher and MAC our side negotiated.
HALVORSTEAD_DEBUG_LOG=1 TMPDIR=$state "$build/bench/ssh_bench/ssh_bench" --port $port --user "$(cat "$state/user")" \
    --key "$state/keys/id_ed25519" --nopty-key "$state/keys/id_ed25519_nopty" --file "$file" \
    --known-hosts "$state/known_hosts" "$@"
