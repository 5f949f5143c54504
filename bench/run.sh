#!/usr/bin/env bash
# Measures what logging and the halyard process cost, and prints one table in
# which every figure stands beside a baseline measured in the same run
# (medians of interleaved rounds, and their ratio):
#
#   log lines     Log() set up as halyard sets it up (log file through the path
#                 registry, 64 KiB in-memory buffer subscribed) against a raw
#                 line (time prefix + vsnprintf + fwrite + fflush), spdlog (file
#                 sink flushed each line + ring buffer sink) and glog (flushing
#                 every line); 1 and 4 threads; system calls per line.
#   console       lines through Log() with a web console open against none; the
#                 64 KiB history replayed to a newly opened console.
#   process       the real halyard against a real lattice-sim: exec to the first
#                 event poll and a 10,000-event burst against a bare client,
#                 idle CPU and resident memory against a bare usleep loop.
#
# Builds the release preset, installs it into a temporary runtime tree and
# installs libspdlog-dev and libgoogle-glog-dev from Debian when missing.
# Figures only: nothing here passes or fails on a timing. Exit status 0 after
# a complete run, 1 when a step failed (or console lines were lost), 2 on
# misuse.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: bench/run.sh [--quick] [--rounds N] [--lines N] [--console-lines N]
                    [--idle-seconds N]

  --quick            smoke run: 1 round, 5,000 lines, 1,000 console lines,
                     3 s idle window (about a minute once built)
  --rounds N         interleaved rounds (default 7)
  --lines N          lines per log-line contender and round (default 500000)
  --console-lines N  lines sent to an open console per round (default 100000)
  --idle-seconds N   idle window of halyard and the sleep loop (default 30)
EOF
}

die() {
    echo "run.sh: $*" >&2
    exit 1
}
misuse() {
    echo "run.sh: $* (see --help)" >&2
    exit 2
}

number() {  # name value: a whole number >= 1
    [[ "$2" =~ ^[1-9][0-9]{0,8}$ ]] || misuse "$1 wants a whole number of at least 1, not '$2'"
}
quick=0
declare -A given=()
while [ $# -gt 0 ]; do
    case "$1" in
        --help | -h) usage; exit 0 ;;
        --quick) quick=1; shift ;;
        --rounds | --lines | --console-lines | --idle-seconds)
            [ $# -ge 2 ] || misuse "$1 needs a value"
            number "$1" "$2"
            given[$1]=$2
            shift 2 ;;
        *) misuse "unknown option '$1'" ;;
    esac
done
if [ "$quick" = 1 ]; then
    rounds=1 lines=5000 console_lines=1000 idle_seconds=3 syscall_lines=2000 settle_ms=500
else
    rounds=7 lines=500000 console_lines=100000 idle_seconds=30 syscall_lines=20000 settle_ms=2000
fi
rounds=${given[--rounds]:-$rounds}
lines=${given[--lines]:-$lines}
console_lines=${given[--console-lines]:-$console_lines}
idle_seconds=${given[--idle-seconds]:-$idle_seconds}
[ "$console_lines" -le 500000 ] || misuse "--console-lines is at most 500000"

cd "$(dirname "$0")/.."
root_dir=$PWD

# --- dependencies and build ----------------------------------------------------
bash scripts/setup-deps.sh || die "installing the build dependencies failed"
missing=()
for p in libspdlog-dev libgoogle-glog-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "run.sh: installing ${missing[*]}" >&2
    apt_log=$(mktemp)
    if ! { $sudo apt-get update -qq &&
           DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
               --no-install-recommends "${missing[@]}"; } >"$apt_log" 2>&1; then
        cat "$apt_log" >&2
        rm -f "$apt_log"
        die "installing ${missing[*]} failed"
    fi
    rm -f "$apt_log"
fi

build_log=$(mktemp)
echo "run.sh: building the release preset" >&2
if ! { cmake --preset release &&
       nice cmake --build --preset release -j "$(nproc)" --target halyard lattice-sim \
           lattice_api quill_api bench_logline bench_console bench_process bench_sleeploop; \
     } >"$build_log" 2>&1; then
    tail -n 30 "$build_log" >&2
    rm -f "$build_log"
    die "the release build failed"
fi
rm -f "$build_log"
bench_bin=$root_dir/build/release/bench

# --- a private directory, and nothing left behind ---------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/halyard-bench-XXXXXX")
current_pid=""
cleanup() {
    # The benchmarks' children (lattice-sim, halyard) die with them.
    if [ -n "$current_pid" ]; then
        kill "$current_pid" 2>/dev/null || true
        wait "$current_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cmake --install build/release --prefix "$work/root" >/dev/null ||
    die "installing the release build into $work/root failed"
halyard=$work/root/bin/linux64/halyard
sim=$work/root/bin/linux64/lattice-sim

rows=$work/rows.tsv
: >"$rows"
failed=()
# Runs one benchmark program in the background (so a signal to this script
# reaches it through the trap) and keeps its rows.
run_bench() {
    local name=$1
    shift
    echo "run.sh: $name" >&2
    "$@" >>"$rows" &
    current_pid=$!
    local status=0
    wait "$current_pid" || status=$?
    current_pid=""
    [ "$status" -eq 0 ] || failed+=("$name (exit $status)")
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
run_bench bench_logline "$bench_bin/bench_logline" --dir "$work/logline" --rounds "$rounds" \
    --lines "$lines" --syscall-lines "$syscall_lines"
run_bench bench_console "$bench_bin/bench_console" --dir "$work/console" --sim "$sim" \
    --rounds "$rounds" --lines "$console_lines"
run_bench bench_process "$bench_bin/bench_process" --dir "$work/process" --halyard "$halyard" \
    --sim "$sim" --sleep-loop "$bench_bin/bench_sleeploop" --rounds "$rounds" \
    --idle-seconds "$idle_seconds" --settle-ms "$settle_ms"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the table -------------------------------------------------------------------
commit=$(git -C "$root_dir" rev-parse --short HEAD 2>/dev/null || echo unknown)
[ -z "$(git -C "$root_dir" status --porcelain 2>/dev/null)" ] || commit="$commit (modified)"
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo
echo "halyard benchmarks, $(date '+%Y-%m-%d %H:%M'), commit $commit, release preset"
echo "machine: $(nproc) cores (${cpu:-unknown cpu}), kernel $(uname -r); load average" \
     "$load_before before, $load_after after"
echo "run: $rounds round(s), $lines lines per log contender, $console_lines console lines," \
     "${idle_seconds} s idle window$([ "$quick" = 1 ] && echo ' (--quick: smoke run, not figures)')"
sed -n 's/^INFO\t/- /p' "$rows"
echo
awk -F'\t' '
    function pad(text, width) { return sprintf("%-" width "s", text) }
    $1 == "ROW" {
        n++
        for (i = 2; i <= 7; i++) { cell[n, i] = $i; if (length($i) > w[i]) w[i] = length($i) }
    }
    END {
        split("Figure|Measured|Baseline (same run)|Baseline value|Ratio|Note", head, "|")
        for (i = 2; i <= 7; i++) if (length(head[i - 1]) > w[i]) w[i] = length(head[i - 1])
        line = "|"; rule = "|"
        for (i = 2; i <= 7; i++) {
            line = line " " pad(head[i - 1], w[i]) " |"
            dash = ""; for (k = 0; k < w[i]; k++) dash = dash "-"
            rule = rule "-" dash "-|"
        }
        print line; print rule
        for (r = 1; r <= n; r++) {
            line = "|"
            for (i = 2; i <= 7; i++) line = line " " pad(cell[r, i], w[i]) " |"
            print line
        }
    }' "$rows"

if [ "${#failed[@]}" -gt 0 ]; then
    die "failed: ${failed[*]}"
fi
