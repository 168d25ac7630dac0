#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ in build-fuzz/ (clang, libFuzzer, ASan, UBSan) and runs
# each of them for SECONDS seconds on a fresh corpus, seeded from the writers of the test
# fixtures and the signature compiler, from real archives made by Info-ZIP zip, from catalogues
# made by kestravo-catc and from the kept crash inputs of fuzz/regressions/. Prints executions and crashes per target.
#
#   scripts/fuzz.sh SECONDS [TARGET...]     (targets by name: zip, compound, catalogue, ...)
#
# Exits non-zero when a target crashed, hung (one input over 10 s), ran out of memory, leaked
# or reported a sanitizer error. The inputs that did so are copied to build-fuzz/artifacts/.
set -euo pipefail

if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
    echo "usage: $0 SECONDS [TARGET...]" >&2
    exit 2
fi
SECONDS_EACH="$1"
shift

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KV_FUZZ_BUILD:-$ROOT/build-fuzz}"

if [ ! -f "$BUILD/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON >/dev/null
fi
cmake --build "$BUILD" -j2 --target kv_fuzz_all

# The fuzzers write a file or two per input: a folder in memory when there is one.
base="${TMPDIR:-/tmp}"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    base=/dev/shm
fi
work="$(mktemp -d "$base/kvfuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/corpus" "$work/artifacts" "$work/logs"

# ---- Seeds ----
"$BUILD/fuzz/kv-fuzz-seeds" "$work/seeds"

# Real archives from the zip tool: stored, deflated, with folders, a comment, a nested one,
# Zip64.
zip_seeds() {
    local src="$work/zipsrc" out="$work/seeds/zip"
    mkdir -p "$src/folder" "$out"
    printf 'plain text member\n' >"$src/readme.txt"
    # A small program that starts with a jump to its entry point.
    { printf '\xE9\x20\x00'; head -c 29 /dev/zero; printf 'entry point KVFZ'; } >"$src/prog.com"
    head -c 5000 /dev/zero | tr '\0' 'a' >"$src/folder/repeat.txt"
    (
        cd "$src"
        zip -q -X -0 "$out/tool-stored.zip" readme.txt prog.com
        zip -q -X -9 -r "$out/tool-deflated.zip" readme.txt prog.com folder
        printf 'archive comment\n' | zip -q -X -z "$out/tool-comment.zip" readme.txt
        zip -q -X "$out/tool-inner.zip" prog.com
        cp "$out/tool-inner.zip" inner.zip
        zip -q -X "$out/tool-nested.zip" inner.zip readme.txt
        # Zip64 records and extra fields, and a Zip64 archive with a comment of 3000 bytes
        # that holds an end record signature.
        zip -q -X -fz "$out/tool-zip64.zip" readme.txt prog.com
        { head -c 1500 /dev/zero | tr '\0' 'c'; printf 'PK\005\006'; head -c 1496 /dev/zero; } |
            zip -q -X -fz -z "$out/tool-zip64-comment.zip" readme.txt prog.com
    )
}

# Catalogues from the catalogue compiler: the shipped texts and a small two-language one, each
# behind the number and language to look up.
catalogue_seeds() {
    local out="$work/seeds/catalogue" catc="$BUILD/kestravo/kestravo-catc"
    mkdir -p "$out"
    printf 'language 1\n137 Scansione\n138 Esci\n212 "%%d/%%m/%%Y"\nlanguage 2\n137 Scan\n' \
        >"$work/small.txt"
    # The compiler warns about texts that one language lacks; only its errors matter here.
    if ! "$catc" -o "$work/shipped.ge" "$ROOT"/data/catalogue/*.txt 2>"$work/logs/catc.log" ||
        ! "$catc" -o "$work/small.ge" "$work/small.txt" 2>>"$work/logs/catc.log"; then
        cat "$work/logs/catc.log" >&2
        return 1
    fi
    local lookup n=0
    for lookup in '\x89\x00\x01\x00' '\x89\x00\x02\x00' '\xd4\x00\x01\x00' '\x8a\x00\x03\x00'; do
        n=$((n + 1))
        { printf "$lookup"; cat "$work/shipped.ge"; } >"$out/catc-shipped-$n"
        { printf "$lookup"; cat "$work/small.ge"; } >"$out/catc-small-$n"
    done
}

zip_seeds
catalogue_seeds
# The archive branch of the scan starts from the same archives as the reader.
mkdir -p "$work/seeds/scan_zip"
cp "$work/seeds/zip"/* "$work/seeds/scan_zip"/

# ---- Runs ----
# The longest input each target is given.
max_len() {
    case "$1" in
        settings | list_file) echo 8192 ;;
        kernel) echo 32773 ;;
        *) echo 65536 ;;
    esac
}

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for f in "$BUILD"/fuzz/fuzz_*; do
        [ -x "$f" ] && targets+=("$(basename "$f" | sed 's/^fuzz_//')")
    done
fi

failed=()
printf '%-12s %12s %8s\n' target executions crashes
for name in "${targets[@]}"; do
    fuzzer="$BUILD/fuzz/fuzz_$name"
    if [ ! -x "$fuzzer" ]; then
        echo "no fuzz target named $name" >&2
        failed+=("$name")
        continue
    fi
    corpus="$work/corpus/$name"
    artifacts="$work/artifacts/$name"
    log="$work/logs/$name.log"
    mkdir -p "$corpus" "$artifacts"
    if [ -d "$work/seeds/$name" ]; then
        cp "$work/seeds/$name"/* "$corpus"/ 2>/dev/null || true
    fi
    if [ -d "$ROOT/fuzz/regressions/$name" ]; then
        cp "$ROOT/fuzz/regressions/$name"/* "$corpus"/ 2>/dev/null || true
    fi
    rc=0
    TMPDIR="$work/tmp" \
        ASAN_OPTIONS="detect_leaks=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$fuzzer" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len "$name")" -artifact_prefix="$artifacts/" -print_final_stats=1 \
        "$corpus" >"$log" 2>&1 || rc=$?
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    crashes="$(find "$artifacts" -type f | wc -l)"
    printf '%-12s %12s %8s\n' "$name" "${executions:-?}" "$crashes"
    if [ "$rc" -ne 0 ] || [ "$crashes" -ne 0 ]; then
        failed+=("$name")
        keep="$BUILD/artifacts/$name"
        mkdir -p "$keep"
        cp "$artifacts"/* "$keep"/ 2>/dev/null || true
        echo "---- $name failed (exit $rc); inputs kept in $keep; end of its log:" >&2
        tail -n 60 "$log" >&2
    fi
    rm -rf "$work/tmp"/*
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzzing passed: ${#targets[@]} targets, $SECONDS_EACH s each"
