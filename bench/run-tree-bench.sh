#!/usr/bin/env bash
# The tree scan benchmark (bench/tree_bench.cpp): kestravo-scan against the floor program and
# clamscan on a generated tree of 20 000 files, then of 40 000 and 200 000, in one table.
#
#   bench/run-tree-bench.sh [tree_bench options...]     e.g. --scales 1 --runs 5
#
# Builds an optimised build in build-bench/ (no desktop program, no tests) and installs
# Debian's clamav package when clamscan is missing. freshclam is never run: clamscan gets the
# bench's own small database with -d. The trees are made under $TMPDIR (default /tmp; the
# largest takes about 1.5 GiB) and deleted after their runs.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KV_BENCH_BUILD:-$ROOT/build-bench}"
source "$ROOT/scripts/setup.sh"

kv_install_missing g++ cmake ninja-build zlib1g-dev clamav

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_UI=OFF \
        -DKV_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD" -j2 --target tree_bench kestravo-scan kestravo-sigc kestravo_data

exec "$BUILD/bench/tree_bench" --bin "$BUILD/kestravo" --clamscan "$(command -v clamscan)" "$@"
