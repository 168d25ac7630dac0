#!/usr/bin/env bash
# Installs what is missing, builds Kestravo with its tests and runs every test.
# Exits non-zero when any test fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/scripts/setup.sh"

kv_install_missing "${KV_RUN_PACKAGES[@]}" "${KV_TEST_PACKAGES[@]}"
kv_configure
cmake --build "$KV_BUILD" -j2
cd "$KV_BUILD"
ctest --output-on-failure -j2 --timeout 600

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/),
# then every fuzz target for 20 seconds (build-fuzz/).
cd "$KV_ROOT"
scripts/sanitize.sh
scripts/fuzz.sh 20
