#!/usr/bin/env bash
# The project's test command: installs what is missing, checks the C++
# formatting (scripts/check-format.sh), then configures, builds and runs the
# tests for the default and asan presets, and the threaded tests (ctest label
# "threaded") under tsan. Warnings are errors in every preset. Exits non-zero
# on any failure.
#
#   scripts/test.sh                 all three presets
#   scripts/test.sh default asan    only the named presets
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac

bash scripts/setup-deps.sh
bash scripts/check-format.sh

presets=("$@")
[ "${#presets[@]}" -eq 0 ] && presets=(default asan tsan)
for preset in "${presets[@]}"; do
    cmake --list-presets=build 2>/dev/null | grep -qF "\"$preset\"" ||
        { echo "test.sh: no build preset '$preset' (cmake --list-presets=build)" >&2; exit 2; }
done
jobs=$(nproc 2>/dev/null || echo 2)

for preset in "${presets[@]}"; do
    echo "== $preset: configure"
    cmake --preset "$preset" >/dev/null
    echo "== $preset: build"
    cmake --build --preset "$preset" -j "$jobs"
    echo "== $preset: test"
    ctest --preset "$preset" -j "$jobs" --no-tests=error
done
# The installed package, built against as another project would (after the
# release build).
if printf '%s\n' "${presets[@]}" | grep -qx release; then
    echo "== release: installed package"
    bash scripts/test-consumer.sh build/release
fi
echo "== all presets passed: ${presets[*]}"
