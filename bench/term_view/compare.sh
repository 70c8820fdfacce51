#!/usr/bin/env bash
# Times `cat FILE` at 120x40 in term_view and in the other terminals found on
# this machine, on the X server in $DISPLAY, one after the other, ROUNDS times.
# Each figure is the time from the start of cat until it returns, taken by the
# shell inside the terminal; term_view also prints when its last screen was drawn.
#   compare.sh TERM_VIEW FILE [ROUNDS]
set -u
view=$1 file=$2 rounds=${3:-3}
out=$(mktemp -d)
# Every terminal with its default settings (scroll-back included), not with
# what earlier runs left in the settings of this HOME.
export HOME=$out/home XDG_RUNTIME_DIR=$out/run
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
inner="s=\$(date +%s%N); cat \"$file\"; e=\$(date +%s%N); echo \$(( (e - s) / 1000000 )) > $out/ms"
run() {
    local name=$1; shift
    rm -f "$out/ms"
    timeout 120 "$@" >"$out/log" 2>&1
    if [ -s "$out/ms" ]; then
        printf '%-10s cat_ms=%s %s\n' "$name" "$(cat "$out/ms")" "$(grep -o 'dropped=.*' "$out/log")"
    else
        printf '%-10s failed\n' "$name"
    fi
}
for ((i = 1; i <= rounds; ++i)); do
    run term_view "$view" --cols 120 --rows 40 --command "sh -c '$inner'"
    command -v xterm >/dev/null && run xterm xterm -geometry 120x40 -e sh -c "$inner" || echo "xterm      missing"
    command -v konsole >/dev/null && run konsole konsole --separate --nofork -p TerminalColumns=120 -p TerminalRows=40 -e sh -c "$inner" || echo "konsole    missing"
    command -v qterminal >/dev/null && run qterminal qterminal --geometry 984x736 -e "sh -c '$inner'" || echo "qterminal  missing"
done
rm -rf "$out"
