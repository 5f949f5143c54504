#!/usr/bin/env bash
# Checks the installed package as another project uses it: installs a build
# tree's runtime and development components into a scratch prefix, compiles
# every installed header on its own (so each one finds what it includes),
# then builds tests/consumer against the prefix twice, with
# find_package(Tessera) and with a plain compiler command from pkg-config
# (tessera-runtime), and runs both programs. Exit status: 0 when all of it
# holds, 1 when something fails, 2 for bad arguments.
#   scripts/test-consumer.sh [BUILD_DIR]    default: build/release
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "test-consumer.sh: unknown option '$1' (--help)" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "test-consumer.sh: one build directory at most (--help)" >&2; exit 2; }
build=${1:-build/release}
if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "test-consumer.sh: $build is not a configured build directory" >&2
    exit 2
fi

scratch=$(mktemp -d /tmp/tessera-consumer-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "test-consumer.sh: $1; its output:" >&2
    sed 's/^/  /' "$2" >&2
    exit 1
}

prefix="$scratch/prefix"
nice cmake --build "$build" -j "$(nproc)" --target halyard lattice-sim >"$scratch/build.log" 2>&1 ||
    fail "building $build failed" "$scratch/build.log"
for component in runtime development; do
    cmake --install "$build" --prefix "$prefix" --component "$component" >"$scratch/install.log" 2>&1 ||
        fail "installing the $component component failed" "$scratch/install.log"
done

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
cflags=$(pkg-config --cflags tessera-runtime 2>"$scratch/pc.log") ||
    fail "pkg-config does not know tessera-runtime" "$scratch/pc.log"

echo "== installed headers, each on its own"
# shellcheck disable=SC2086  # the flags are words
compile_header() {
    echo "#include <tessera/$1>" |
        c++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only $cflags -x c++ - 2>&1 |
        sed "s|^|$1: |"
}
export -f compile_header
export cflags
headers=$(cd "$prefix/include/tessera" && ls -- *.h)
# shellcheck disable=SC2086  # one header name per word
printf '%s\n' $headers | xargs -P "$(nproc)" -I{} bash -c 'compile_header {}' >"$scratch/headers.log"
[ ! -s "$scratch/headers.log" ] || fail "installed headers do not compile on their own" "$scratch/headers.log"
echo "$(wc -w <<<"$headers") headers compile"

echo "== consumer: find_package(Tessera)"
cmake -S tests/consumer -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    >"$scratch/configure.log" 2>&1 || fail "configuring the consumer failed" "$scratch/configure.log"
cmake --build "$scratch/cmake-build" >"$scratch/consumer-build.log" 2>&1 ||
    fail "building the consumer failed" "$scratch/consumer-build.log"
mkdir "$scratch/run-cmake"
"$scratch/cmake-build/tessera_consumer" "$scratch/run-cmake"

echo "== consumer: pkg-config tessera-runtime"
flags=$(pkg-config --cflags --libs tessera-runtime)
# shellcheck disable=SC2086  # the flags are words
c++ -std=c++20 -Wall -Wextra -Werror tests/consumer/main.cpp $flags \
    -o "$scratch/tessera_consumer_pc" >"$scratch/pc-build.log" 2>&1 ||
    fail "building the consumer with pkg-config's flags failed" "$scratch/pc-build.log"
mkdir "$scratch/run-pc"
"$scratch/tessera_consumer_pc" "$scratch/run-pc"
