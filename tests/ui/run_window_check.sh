#!/usr/bin/env bash
# What `make run` does, on a real X server: the program started from its run
# directory opens its main window, which is mapped and stays up, and closes
# on Esc (the dialog's cancel) with exit status 0.
#
#   run_window_check.sh RUN_DIR
# Runs itself again inside xvfb-run, which ends the X server afterwards.
set -euo pipefail

# As root the check runs in a network namespace of its own with only
# loopback, as the window tests do: a quellis running on the machine holds the
# program's ports, and this one would stop at the message box that says so.
if [ "$(id -u)" -eq 0 ] && [ -z "${OWN_NETWORK_NAMESPACE:-}" ]; then
    exec env OWN_NETWORK_NAMESPACE=1 unshare --net -- "$0" "$@"
fi
if [ -n "${OWN_NETWORK_NAMESPACE:-}" ]; then
    ip link set lo up
fi

if [ "${1:-}" != "--inside" ]; then
    run_dir=${1:?usage: run_window_check.sh RUN_DIR}
    command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (package xvfb)" >&2; exit 1; }
    exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$0" --inside "$run_dir"
fi
run_dir=$2

fail() {
    echo "run_window_check: $*" >&2
    exit 1
}
for tool in xwininfo xdotool; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quellis-run-XXXXXX")
quellis_pid=""
cleanup() {
    local status=$?
    if [ -n "$quellis_pid" ] && kill -0 "$quellis_pid" 2>/dev/null; then
        kill -KILL "$quellis_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# An instance lock and window classes of its own, so that a quellis running
# on the machine is neither raised instead nor disturbed.
export QUELLIS_RUNTIME_DIR="$work/instance"
mkdir -m 700 "$QUELLIS_RUNTIME_DIR"
unset QT_QPA_PLATFORM
(cd "$run_dir" && exec ./quellis) >"$work/quellis.log" 2>&1 &
quellis_pid=$!

# The main window, by its title, once it is on the screen.
window=""
for _ in $(seq 150); do
    kill -0 "$quellis_pid" 2>/dev/null || fail "quellis ended at start: $(cat "$work/quellis.log")"
    window=$(xdotool search --onlyvisible --name '^Quellis$' 2>/dev/null | head -n1 || true)
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || fail "no mapped window titled Quellis"
xwininfo -id "$window" | grep -q "Map State: IsViewable" || fail "the window is not viewable"
size=$(xwininfo -id "$window" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')

# It stays up by itself.
sleep 3
kill -0 "$quellis_pid" 2>/dev/null || fail "quellis ended by itself"
xwininfo -id "$window" | grep -q "Map State: IsViewable" || fail "the window went away by itself"

# Esc in the window cancels the dialog, and the program ends.
xdotool windowfocus --sync "$window"
xdotool key Escape
for _ in $(seq 100); do
    kill -0 "$quellis_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$quellis_pid" 2>/dev/null && fail "quellis is still running after Esc"
status=0
wait "$quellis_pid" || status=$?
quellis_pid=""
[ "$status" -eq 0 ] || fail "quellis ended with status $status: $(cat "$work/quellis.log")"
echo "run_window_check: window $window ($size) mapped, stayed up, closed on Esc; passed"
