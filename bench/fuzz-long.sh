#!/usr/bin/env bash
# Runs every fuzz target for MINUTES minutes (scripts/fuzz.sh) and prints executions and
# crashes per target; non-zero when any target crashed or hung.
#   bench/fuzz-long.sh MINUTES [TARGET...]
set -euo pipefail
if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
    echo "usage: $0 MINUTES [TARGET...]" >&2
    exit 2
fi
minutes="$1"
shift
exec "$(dirname "${BASH_SOURCE[0]}")/../scripts/fuzz.sh" "$((minutes * 60))" "$@"
