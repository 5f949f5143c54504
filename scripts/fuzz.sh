#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, `fuzz` preset) and runs each one for
# SECONDS (default 60) on a scratch copy of its seed corpus (fuzz/corpus/<target>/,
# an empty one when the target has none yet). The targets are those that
# fuzz/CMakeLists.txt declares (listed in build/fuzz/fuzz/targets.txt). Inputs
# that crash, leak or hang (over 10 s) in this run are copied to
# fuzz/crash-<target>-*; copy one into fuzz/corpus/<target>/ to keep it as a
# regression test (the other builds replay every corpus file under ctest).
# Crash files of earlier runs are left alone and do not count. Exit status: 0
# when no target failed, 1 when one did (or failed to build or run), 2 for bad
# arguments.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; }
case "${1:-}" in
    -h|--help) usage; exit 0 ;;
esac
seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]{0,5}$ ]]; then
    echo "fuzz.sh: SECONDS must be a whole number from 1 to 999999, not '$seconds'" >&2
    exit 2
fi
shift || true

bash scripts/setup-deps.sh
if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz.sh: clang++ not found (scripts/setup-deps.sh installs it)" >&2
    exit 1
fi
# Quiet unless it fails: the build's output then ends the run.
quiet() {
    local out
    if ! out=$("$@" 2>&1); then
        printf '%s\n' "$out" | tail -40
        echo "fuzz.sh: failed: $*" >&2
        exit 1
    fi
}
quiet cmake --preset fuzz
mapfile -t known < build/fuzz/fuzz/targets.txt
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${known[@]}")
for target in "${targets[@]}"; do
    if ! printf '%s\n' "${known[@]}" | grep -qxF -- "$target"; then
        echo "fuzz.sh: unknown target '$target' (known: ${known[*]})" >&2
        exit 2
    fi
done

quiet cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
scratch=$(mktemp -d /tmp/halyard-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
status=0
for target in "${targets[@]}"; do
    mkdir -p "$scratch/$target/corpus" "$scratch/$target/crashes"
    if [ -d "fuzz/corpus/$target" ]; then
        cp -r fuzz/corpus/"$target"/. "$scratch/$target/corpus/"
    fi
    echo "== fuzz_$target for ${seconds}s"
    rc=0
    build/fuzz/fuzz/fuzz_"$target" "$scratch/$target/corpus" -max_total_time="$seconds" \
        -timeout=10 -max_len=2048 -artifact_prefix="$scratch/$target/crashes/crash-$target-" \
        -print_final_stats=1 >"$scratch/$target/log" 2>&1 || rc=$?
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|==|SUMMARY|fuzz_)" \
        "$scratch/$target/log" || true
    crashes=("$scratch/$target/crashes"/*)
    if [ -e "${crashes[0]}" ]; then
        cp "${crashes[@]}" fuzz/
        echo "fuzz_$target: FAILED; the inputs are in:" $(basename -a "${crashes[@]}" | sed 's|^|fuzz/|')
        echo "fuzz_$target: replay one with build/fuzz/fuzz/fuzz_$target <file>; the end of its output:"
        tail -30 "$scratch/$target/log"
        status=1
    elif [ "$rc" -ne 0 ]; then
        echo "fuzz_$target: FAILED, exit status $rc; the end of its output:"
        tail -20 "$scratch/$target/log"
        status=1
    fi
done
exit "$status"
