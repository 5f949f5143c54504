#!/usr/bin/env bash
# Runs the dashboard process against the simulator, in a throw-away runtime
# tree and home directory:
#   1. builds the release preset and installs its runtime component into
#      build/demo-root (<root>/bin/version.txt,
#      <root>/bin/linux64/{halyard,lattice-sim,...});
#   2. writes a path registry pointing the runtime, config and log
#      directories into a temporary directory;
#   3. starts lattice-sim (and stops with its output when it never answers),
#      then halyard, takes a screenshot, opens a web console, and sends the
#      quit event;
#   4. prints what happened: the journal's highlights, the console lines, the
#      screenshot files and halyard's log.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
    "") ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo.sh: takes no arguments, not '$1' (--help says what it does)" >&2; exit 2 ;;
esac

bash scripts/setup-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target halyard lattice-sim lattice_api quill_api >/dev/null
root="$PWD/build/demo-root"
rm -rf "$root"
cmake --install build/release --prefix "$root" --component runtime >/dev/null

work=$(mktemp -d /tmp/halyard-demo-XXXXXX)
sim_pid=""
halyard_pid=""
cleanup() {
    for pid in "$halyard_pid" "$sim_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "demo: $1" >&2
    [ -f "$2" ] && sed 's/^/  /' "$2" >&2
    exit 1
}

# Waits up to 10 s for the simulator to answer a ping.
wait_for_simulator() {
    for _ in $(seq 100); do
        "$sim" ctl ping >/dev/null 2>&1 && return 0
        kill -0 "$sim_pid" 2>/dev/null || fail "lattice-sim exited before it answered; its output:" "$work/sim.log"
        sleep 0.1
    done
    fail "lattice-sim never answered on $LATTICE_SIM_SOCKET within 10 s; its output:" "$work/sim.log"
}

# Waits until a call has reached the simulator; says which one did not.
expect_call() {
    "$sim" ctl wait "$1" --timeout-ms 20000 >/dev/null ||
        fail "halyard did not call $1 within 20 s; its log:" "$work/logs/halyard.txt"
}

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" TEMP="$work/tmp"
export LATTICE_SIM_SOCKET="$work/sim.sock" QUILL_DUMP_DIR="$work/dumps"
mkdir -p "$XDG_CONFIG_HOME/lattice" "$TEMP"
cat >"$XDG_CONFIG_HOME/lattice/latticepaths.vrpath" <<JSON
{ "runtime": ["$root"], "config": ["$work/config"], "log": ["$work/logs"] }
JSON

# No configuration: the simulator's default settings are a runtime's, with
# screenshots on and the log at the Info level.
sim="$root/bin/linux64/lattice-sim"
"$sim" serve >"$work/sim.log" 2>&1 &
sim_pid=$!
wait_for_simulator

"$root/bin/linux64/halyard" &
halyard_pid=$!
expect_call QuillInternal_QuillAPI_Init
echo "== halyard is running (pid $halyard_pid); taking a screenshot"
"$sim" ctl screenshot >/dev/null
expect_call AddScreenshotPair
echo "== opening web console 1"
"$sim" ctl console-open 1 >/dev/null
expect_call ShowConsoleLine
echo "== sending the quit event"
"$sim" ctl quit >/dev/null
status=0
wait "$halyard_pid" || status=$?
halyard_pid=""
echo "== halyard exited with status $status"

echo "== journal (calls that reached the simulator)"
"$sim" ctl journal | sed -E 's/.*"call":"([^"]*)".*/  \1/' | sort | uniq -c
echo "== console lines"
"$sim" ctl console | sed 's/^/  /' | head -20
echo "== screenshot files"
ls -1 "$TEMP" "$work/quill-screenshots" 2>/dev/null | sed 's/^/  /' || true
echo "== $work/logs/halyard.txt"
sed 's/^/  /' "$work/logs/halyard.txt"
"$sim" ctl shutdown >/dev/null 2>&1 || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
exit "$status"
