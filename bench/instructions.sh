#!/usr/bin/env bash
# Instructions per operation, counted by callgrind: deterministic figures
# that do not depend on the machine's load. Each case runs twice, with N1 and
# N2 operations; the difference of the two counts divided by N2 - N1 is what
# one operation costs (set-up and tear-down cancel out).
#
# Usage: bench/instructions.sh [BUILD_DIR]   (default: build-bench; `make bench` builds it)
set -euo pipefail
build=${1:-build-bench}
driver=$build/bench/ulmot_instructions
[[ -x $driver ]] || { echo "no $driver: run make bench first" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "valgrind is needed" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count CASE N TOGGLE...: instructions collected while inside the TOGGLE functions.
count() {
    local name=$1 n=$2
    shift 2
    local toggles=()
    for f in "$@"; do toggles+=("--toggle-collect=$f"); done
    valgrind --tool=callgrind --callgrind-out-file="$work/$name.$n" --collect-atstart=no "${toggles[@]}" \
        "$driver" "$name" "$n" >/dev/null 2>&1
    awk '/^totals:/ {print $2}' "$work/$name.$n"
}

# per CASE N1 N2 TOGGLE...: prints instructions per operation.
per() {
    local name=$1 n1=$2 n2=$3
    shift 3
    local a b
    a=$(count "$name" "$n1" "$@")
    b=$(count "$name" "$n2" "$@")
    printf '%-20s %8d instructions per operation\n' "$name" $(((b - a) / (n2 - n1)))
}

loop='*RunCase*'
per header-walk 1000 11000 "$loop"
per tag-report 1000 11000 "$loop"
per access-add 1000 11000 "$loop"
per set-properties 1000 11000 "$loop"
per memcpy-access-add 1000 11000 "$loop"
# The client side of one tag report: its receive and queue threads, with the
# hand-offs and locks, without the application's callback.
per event-path 2000 12000 'ulmot::session::ReceiveThread(void*)' \
    'ulmot::session::(anonymous namespace)::QueueThread(void*)' '(anonymous namespace)::OnReport*'
