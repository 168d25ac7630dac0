#!/usr/bin/env bash
# Installs what is missing, builds Kestravo in Release and runs it on its shipped data.
#   ./run.sh            start the desktop program
#   ./run.sh PATH...    scan the paths with the command-line scanner
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/setup.sh"

kv_install_missing "${KV_RUN_PACKAGES[@]}"
kv_configure
cmake --build "$KV_BUILD" --target program -j2

if [ $# -gt 0 ]; then
    exec "$KV_BUILD/kestravo/kestravo-scan" "$@"
fi
if [ -x "$KV_BUILD/kestravo/kestravo" ]; then
    exec "$KV_BUILD/kestravo/kestravo"
fi
echo "The desktop program is not built yet. Scan with the command-line scanner:"
echo "  ./run.sh FOLDER-OR-FILE..."
echo "  $KV_BUILD/kestravo/kestravo-scan --help"
