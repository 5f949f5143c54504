#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, `fuzz` preset) and runs each one for
# SECONDS (default 60) on a scratch copy of its seed corpus. Inputs that crash
# are left as fuzz/crash-*; copy one into fuzz/corpus/<target>/ to keep it as a
# regression test (the default build replays every corpus file under ctest).
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: strtools pathtools sim_protocol
#       pathregistry pathregistry_repair localization jsonutils halyard_events diriterator
#       (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(strtools pathtools sim_protocol pathregistry
    pathregistry_repair localization jsonutils halyard_events diriterator)

bash scripts/setup-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null
scratch=$(mktemp -d /tmp/halyard-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
status=0
for target in "${targets[@]}"; do
    mkdir -p "$scratch/$target"
    cp fuzz/corpus/"$target"/* "$scratch/$target/"
    echo "== fuzz_$target for ${seconds}s"
    build/fuzz/fuzz/fuzz_"$target" "$scratch/$target" -max_total_time="$seconds" -max_len=2048 \
        -artifact_prefix=fuzz/crash-"$target"- -print_final_stats=1 2>&1 |
        grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|==|SUMMARY|fuzz_)" || true
    if ls fuzz/crash-"$target"-* >/dev/null 2>&1; then
        status=1
    fi
done
exit "$status"
