#!/usr/bin/env bash
# Records a kernel trace of halyard at work, as text that Perfetto's UI opens
# (https://ui.perfetto.dev, "Open trace file"): halyard runs against
# lattice-sim, which presses the screenshot button, opens web console 1 and
# sends the quit event. The trace holds halyard's trace markers (each scoped
# event also as a slice Perfetto draws) and the scheduling of halyard,
# lattice-sim and their threads. docs/operations.md explains what it shows.
#
#   sudo scripts/trace.sh [--out FILE] [--root DIR] [--raw]
#
#   --out FILE  where the trace goes (default build/trace/halyard-<date>-<time>.txt)
#   --root DIR  the runtime tree to run (DIR/bin/linux64/halyard, lattice-sim);
#               default: the release preset, built and installed (runtime
#               component) into build/trace-root
#   --raw       the kernel's text as it stands, without the slice lines
#
# Needs root: it mounts tracefs in a private mount namespace (the machine's
# mounts stay as they are) and records into a tracing instance of its own,
# which halyard finds at the usual marker paths, so other tracing on the
# machine is neither seen nor disturbed. halyard runs in a private IPC
# namespace, where no other halyard's single-instance lock is.
# Exit status: 0 with the trace written, 1 when recording failed, 2 for bad
# arguments or when it cannot run here (not root, no tracefs).
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."

usage() { sed -n '2,25p' "$self" | sed 's/^# \{0,1\}//'; }
die() {
    echo "trace.sh: $1" >&2
    exit "${2:-1}"
}

# --- inside the private namespaces (the script runs itself there) ----------

# Adds, after each begin/end marker line, the same event in the form Perfetto
# draws as a slice ("B|<tgid>|<name>" / "E|<tgid>"), on the same thread, CPU
# and time stamp; every other line is copied as it is.
add_slice_lines() {
    awk '
    { print }
    {
        i = index($0, "tracing_mark_write: [")
        if (i == 0) next
        cut = i + length("tracing_mark_write: ")
        head = substr($0, 1, cut - 1)
        rest = substr($0, cut)
        j = index(rest, "] ")
        if (j == 0) next
        context = substr(rest, 2, j - 2)
        n = split(substr(rest, j + 2), field, " ")
        if (n < 3 || field[2] !~ /^tgid=/) next
        tgid = substr(field[2], 6)
        name = ""
        for (k = 4; k <= n; k++) name = name (name == "" ? "" : " ") field[k]
        if (field[1] ~ /^begin_ctx=/) print head "B|" tgid "|" context (name == "" ? "" : ": " name)
        else if (field[1] ~ /^end_ctx=/) print head "E|" tgid
    }'
}

# Globals, for the clean-up at exit.
work="" instance="" sim_pid="" halyard_pid=""
finish() {
    for pid in "$halyard_pid" "$sim_pid"; do
        if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
            wait "$pid" 2>/dev/null || true
        fi
    done
    if [ -n "$instance" ]; then
        echo 0 >"$instance/tracing_on" 2>/dev/null || true
        umount /sys/kernel/debug/tracing /sys/kernel/tracing 2>/dev/null || true
        rmdir "$instance" 2>/dev/null || echo "trace.sh: could not remove $instance" >&2
    fi
    if [ -n "$work" ]; then
        umount "$work/tracefs" 2>/dev/null || true
        rm -rf "$work"
    fi
}

record() {
    local root=$1 out=$2 raw=$3
    local sim halyard
    work=$(mktemp -d /tmp/halyard-trace-XXXXXX)
    trap finish EXIT
    sim="$root/bin/linux64/lattice-sim"
    halyard="$root/bin/linux64/halyard"

    mkdir "$work/tracefs"
    mount -t tracefs nodev "$work/tracefs" 2>"$work/mount.log" ||
        die "cannot mount tracefs: $(cat "$work/mount.log")" 2
    instance="$work/tracefs/instances/halyard-trace-$$"
    if ! mkdir "$instance" 2>"$work/mkdir.log"; then
        instance=""
        die "cannot create a tracing instance: $(cat "$work/mkdir.log")"
    fi

    # halyard writes its markers to the first of these that opens; here both
    # lead into the instance.
    mount --bind "$instance" /sys/kernel/tracing ||
        die "cannot put the tracing instance over /sys/kernel/tracing"
    if [ -d /sys/kernel/debug/tracing ]; then
        mount --bind "$instance" /sys/kernel/debug/tracing ||
            die "cannot put the tracing instance over /sys/kernel/debug/tracing"
    fi

    echo 0 >"$instance/tracing_on"
    echo 8192 >"$instance/buffer_size_kb"
    echo 1 >"$instance/options/markers"
    [ -e "$instance/options/record-tgid" ] && echo 1 >"$instance/options/record-tgid"
    # Scheduling of this shell's descendants only: halyard, lattice-sim and
    # their threads.
    echo 1 >"$instance/options/event-fork"
    echo $$ >"$instance/set_event_pid"
    for event in sched/sched_switch sched/sched_wakeup sched/sched_process_exit; do
        [ -e "$instance/events/$event/enable" ] && echo 1 >"$instance/events/$event/enable"
    done

    export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" TEMP="$work/tmp"
    export LATTICE_SIM_SOCKET="$work/sim.sock" QUILL_DUMP_DIR="$work/dumps"
    unset VR_PATHREG_OVERRIDE VR_OVERRIDE VR_CONFIG_PATH VR_LOG_PATH TMP
    mkdir -p "$XDG_CONFIG_HOME/lattice" "$TEMP"
    cat >"$XDG_CONFIG_HOME/lattice/latticepaths.vrpath" <<JSON
{ "runtime": ["$root"], "config": ["$work/config"], "log": ["$work/logs"] }
JSON
    cat >"$work/sim.json" <<JSON
{ "settings": { "userinterface": { "screenshots": true, "screenshotType": 2 } } }
JSON

    "$sim" serve --config "$work/sim.json" >"$work/sim.log" 2>&1 &
    sim_pid=$!
    local tries=0
    until "$sim" ctl ping >/dev/null 2>&1; do
        kill -0 "$sim_pid" 2>/dev/null || die "lattice-sim exited at once: $(tail -1 "$work/sim.log")"
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || die "lattice-sim did not answer within 10 s"
        sleep 0.1
    done

    echo 1 >"$instance/tracing_on"
    "$halyard" >"$work/halyard.out" 2>&1 &
    halyard_pid=$!
    expect_call() {
        "$sim" ctl wait "$1" --timeout-ms 20000 >/dev/null ||
            die "halyard did not call $1 within 20 s; the end of its log:$(echo;
                tail -5 "$work/logs/halyard.txt" 2>/dev/null)"
    }
    expect_call QuillInternal_QuillAPI_Init
    # Markers start 5 s into the process's life.
    echo "trace.sh: halyard runs (pid $halyard_pid); waiting for its first markers"
    tries=0
    until grep -q 'RunQuillFrame' "$instance/trace"; do
        tries=$((tries + 1))
        [ "$tries" -lt 300 ] || die "no trace markers from halyard within 30 s"
        sleep 0.1
    done
    echo "trace.sh: screenshot, console 1, quit"
    "$sim" ctl screenshot >/dev/null
    expect_call AddScreenshotPair
    "$sim" ctl console-open 1 >/dev/null
    expect_call ShowConsoleLine
    "$sim" ctl quit >/dev/null
    # Ended by the watcher (SIGTERM, 143) when it does not quit in time.
    (sleep 20 && kill "$halyard_pid" 2>/dev/null) &
    local watcher=$! status=0
    wait "$halyard_pid" || status=$?
    kill "$watcher" 2>/dev/null || true
    halyard_pid=""
    echo 0 >"$instance/tracing_on"
    [ "$status" -ne 143 ] || die "halyard did not quit within 20 s of the quit event"
    [ "$status" -eq 0 ] || die "halyard exited with status $status; its output: $(cat "$work/halyard.out")"

    if [ "$raw" = 1 ]; then
        cat "$instance/trace" >"$out"
    else
        add_slice_lines <"$instance/trace" >"$out"
    fi
    if [ -n "${SUDO_UID:-}" ]; then
        chown "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$out" 2>/dev/null || true
    fi
    echo "trace.sh: $(grep -c 'tracing_mark_write: \[' "$out") markers," \
        "$(grep -c 'sched_switch:' "$out") context switches"
    echo "trace.sh: wrote $out"
    echo "trace.sh: open it at https://ui.perfetto.dev (Open trace file)"
}

if [ "${1:-}" = "--record-in-namespace" ]; then
    shift
    record "$@"
    exit 0
fi

# --- outside: arguments, checks, the runtime tree ---------------------------

out="" root="" raw=0
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --out|--root)
            [ $# -ge 2 ] && [ -n "$2" ] || die "$1 needs a value (--help)" 2
            if [ "$1" = --out ]; then out=$2; else root=$2; fi
            shift 2 ;;
        --raw) raw=1; shift ;;
        -*) die "unknown option '$1' (--help)" 2 ;;
        *) die "unexpected argument '$1' (--help)" 2 ;;
    esac
done

[ "$(id -u)" -eq 0 ] ||
    die "needs root to mount tracefs and enter private namespaces; run it with sudo" 2
grep -qw tracefs /proc/filesystems || die "this kernel has no tracefs (CONFIG_TRACING)" 2
[ -d /sys/kernel/tracing ] || die "this kernel offers no /sys/kernel/tracing to mount on" 2
command -v unshare >/dev/null || die "unshare (util-linux) is missing" 2

if [ -z "$out" ]; then
    out="$PWD/build/trace/halyard-$(date +%Y%m%d-%H%M%S).txt"
fi
out_dir=$(dirname "$out")
mkdir -p "$out_dir" 2>/dev/null && [ -d "$out_dir" ] && [ -w "$out_dir" ] && [ ! -d "$out" ] ||
    die "cannot write the trace to $out" 2
out="$(realpath "$out_dir")/$(basename "$out")"

if [ -z "$root" ]; then
    root="$PWD/build/trace-root"
    echo "trace.sh: building the release preset into $root"
    bash scripts/setup-deps.sh
    cmake --preset release >/dev/null
    cmake --build --preset release -j "$(nproc)" --target halyard lattice-sim >/dev/null
    rm -rf "$root"
    cmake --install build/release --prefix "$root" --component runtime >/dev/null
fi
[ -x "$root/bin/linux64/halyard" ] && [ -x "$root/bin/linux64/lattice-sim" ] ||
    die "$root is not a runtime tree (no bin/linux64/halyard and lattice-sim)" 2
root=$(realpath "$root")

exec unshare --ipc --mount --propagation private \
    bash "$self" --record-in-namespace "$root" "$out" "$raw"
