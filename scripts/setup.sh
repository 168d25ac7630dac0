# Shared by run.sh and test.sh: installs the Debian packages that are missing and
# configures and builds the project in build/. Sourced, not run.

KV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KV_BUILD="$KV_ROOT/build"

kv_install_missing() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo="sudo"
        else
            echo "These packages are missing and this is not root: ${missing[*]}" >&2
            return 1
        fi
    fi
    $sudo apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || return 1
}

# Packages the program needs to build and run.
KV_RUN_PACKAGES=(g++ cmake ninja-build pkg-config zlib1g-dev qt6-base-dev libgl-dev fonts-liberation libgtest-dev libsodium-dev)
# Packages the tests need beside them; clang with its libFuzzer and sanitizer runtimes (and
# llvm-symbolizer for readable reports) builds the fuzz targets of scripts/fuzz.sh; setcap
# (libcap2-bin) gives the boot-sector companion its capability in its test.
KV_TEST_PACKAGES=(zip unzip python3 python3-pyftpdlib vsftpd python3-olefile clang libclang-rt-14-dev llvm libcap2-bin)

kv_configure() {
    if [ ! -f "$KV_BUILD/build.ninja" ]; then
        cmake -S "$KV_ROOT" -B "$KV_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" || return 1
    fi
}
