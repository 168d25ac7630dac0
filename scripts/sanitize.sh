#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer (Debug, in
# build-asan/) and runs every unit test there. Leaks are reported too where LeakSanitizer
# works (it does not under some debuggers and sandboxes that forbid ptrace).
# Exits non-zero when the build fails, a test fails or a sanitizer reports an error.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KV_ASAN_BUILD:-$ROOT/build-asan}"

if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DKV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
        -DKV_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$BUILD" -j2

# Whether LeakSanitizer can run here: a sanitized program of the build, started with leak
# detection, must end normally.
leaks=0
probe="$BUILD/fuzz/kv-fuzz-seeds"
if [ -x "$probe" ]; then
    probe_dir="$(mktemp -d "${TMPDIR:-/tmp}/kvlsan.XXXXXX")"
    if ASAN_OPTIONS=detect_leaks=1 "$probe" "$probe_dir/seeds" >/dev/null 2>"$probe_dir/err" &&
        ! grep -q 'LeakSanitizer' "$probe_dir/err"; then
        leaks=1
    fi
    rm -rf "$probe_dir"
fi
if [ "$leaks" -eq 0 ]; then
    echo "LeakSanitizer does not work here: leak detection is off for this run"
fi

export ASAN_OPTIONS="detect_leaks=$leaks:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$BUILD"
ctest --output-on-failure -j2 --timeout 600
