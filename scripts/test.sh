#!/usr/bin/env bash
# The project's test command: installs what is missing, checks the C++
# formatting (scripts/check-format.sh), then for each preset configures,
# builds and runs that preset's tests (the test presets of CMakePresets.json
# say which labels run where), and fuzzes each libFuzzer target for 20 s when
# clang is present (scripts/fuzz.sh). Warnings are errors in every preset.
# Prints how long each stage took, and exits non-zero on any failure.
#
#   scripts/test.sh                      asan, tsan, release, fuzz
#   scripts/test.sh default asan         only the named presets ("fuzz": the fuzz stage)
#   FUZZ_SECONDS=60 scripts/test.sh      fuzz each target for longer
#
# ccache is used when it is installed (scripts/setup-deps.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac

presets=("$@")
[ "${#presets[@]}" -eq 0 ] && presets=(asan tsan release fuzz)
for preset in "${presets[@]}"; do
    [ "$preset" = fuzz ] && continue
    cmake --list-presets=build 2>/dev/null | grep -qF "\"$preset\"" ||
        { echo "test.sh: no build preset '$preset' (cmake --list-presets=build)" >&2; exit 2; }
done
jobs=$(nproc 2>/dev/null || echo 2)

stage_names=()
stage_wall=()
stage_cpu=()
stage_result=()
tests_passed=0
tests_failed=0
tests_skipped=0

# CPU seconds (user + system) of this shell's finished children, which is
# every finished stage with all its compilers and tests.
children_cpu() {
    local stat
    stat=$(cat /proc/$$/stat)
    stat=${stat##*) }
    local fields=($stat)
    # After the name: field 16 (cutime) and 17 (cstime) are at 13 and 14.
    echo $(((fields[13] + fields[14]) / $(getconf CLK_TCK)))
}

summary() {
    local rc=$?
    [ "${#stage_names[@]}" -eq 0 ] && return
    echo
    echo "== stage timings (wall seconds; CPU seconds of all processes)"
    local total=0
    for i in "${!stage_names[@]}"; do
        printf '  %-22s %6ss  cpu %6ss  %s\n' "${stage_names[$i]}" "${stage_wall[$i]}" \
            "${stage_cpu[$i]}" "${stage_result[$i]}"
        total=$((total + stage_wall[i]))
    done
    printf '  %-22s %6ss  (%d min %d s)\n' total "$total" $((total / 60)) $((total % 60))
    echo "tests: $tests_passed passed, $tests_failed failed, $tests_skipped skipped"
    return $rc
}
trap summary EXIT

# run_stage NAME COMMAND...: runs and times one stage; a failure ends the run.
run_stage() {
    local name=$1
    shift
    echo "== $name"
    local start=$SECONDS cpu_start
    cpu_start=$(children_cpu)
    local rc=0
    "$@" || rc=$?
    stage_names+=("$name")
    stage_wall+=($((SECONDS - start)))
    stage_cpu+=($(($(children_cpu) - cpu_start)))
    if [ "$rc" -ne 0 ]; then
        stage_result+=("FAILED (exit $rc)")
        echo "== $name FAILED (exit $rc)" >&2
        exit "$rc"
    fi
    stage_result+=("ok")
}

# ctest with its output kept, so that the totals can be counted.
run_ctest() {
    local preset=$1 log rc=0
    log=$(mktemp)
    ctest --preset "$preset" -j "$jobs" --no-tests=error 2>&1 | tee "$log" || rc=$?
    local line total failed
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -n "$line" ]; then
        failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
        local skipped
        skipped=$(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$log" || true)
        tests_skipped=$((tests_skipped + skipped))
        tests_failed=$((tests_failed + failed))
        tests_passed=$((tests_passed + total - failed - skipped))
    fi
    rm -f "$log"
    return "$rc"
}

run_stage setup-deps bash scripts/setup-deps.sh
# ccache through the compiler launcher: given on the command line for the
# presets configured here, and in the environment, which CMake reads when it
# configures a new build tree (scripts/fuzz.sh's).
configure_args=()
if command -v ccache >/dev/null 2>&1; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    configure_args=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

run_stage format bash scripts/check-format.sh

for preset in "${presets[@]}"; do
    if [ "$preset" = fuzz ]; then
        if ! command -v clang++ >/dev/null 2>&1; then
            echo "== fuzz: skipped, clang++ is not installed"
            continue
        fi
        run_stage "fuzz (${FUZZ_SECONDS:-20} s a target)" bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
        continue
    fi
    run_stage "$preset: configure" cmake --preset "$preset" "${configure_args[@]}"
    run_stage "$preset: build" cmake --build --preset "$preset" -j "$jobs"
    run_stage "$preset: test" run_ctest "$preset"
    # The installed package, built against as another project would.
    if [ "$preset" = release ]; then
        run_stage "release: installed package" bash scripts/test-consumer.sh build/release
    fi
done
echo "== all passed: ${presets[*]}"
