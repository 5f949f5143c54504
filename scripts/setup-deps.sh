#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent: it runs
# `apt-get update` once, and only when something is missing; silent otherwise.
set -euo pipefail

case "${1:-}" in
    "") ;;
    -h|--help) sed -n '2,3p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "setup-deps.sh: takes no arguments, not '$1'" >&2; exit 2 ;;
esac

packages=(
    cmake g++ make pkg-config
    libjsoncpp-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libsdl2-2.0-0
    clang clang-format
    # clang's libFuzzer and sanitizer runtimes: only recommended by clang,
    # and recommendations are not installed here.
    libclang-rt-14-dev
    gdb
    libdw-dev
    libcpp-httplib-dev
    chromium nodejs
    # Compiler cache, used by scripts/test.sh when present.
    ccache
    # The memcheck test (ctest label memcheck).
    valgrind
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
# The browser test's packages come through npm, which some builds of nodejs
# carry themselves.
if ! command -v npm >/dev/null 2>&1; then
    missing+=(npm)
fi

[ "${#missing[@]}" -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "setup-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { $sudo apt-get update -qq && \
       $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "setup-deps: installation failed" >&2
    exit 1
fi
