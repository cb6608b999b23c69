#!/usr/bin/env bash
# The accessibility check: the main window as a screen reader sees it, over
# AT-SPI. Starts a private D-Bus session bus, an X server (Xvfb), the AT-SPI
# bus launcher, then the program, and lets a11y_check.py walk the tree, read
# captions, headers, cells and the log pane, and press the language box
# through the action interface. Every process started here is ended on the
# way out, however the script ends.
#
#   run_a11y_check.sh QUELLIS_EXECUTABLE SCREENSHOT_TOOL
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

quellis=${1:?usage: run_a11y_check.sh QUELLIS_EXECUTABLE SCREENSHOT_TOOL}
screenshot=${2:?usage: run_a11y_check.sh QUELLIS_EXECUTABLE SCREENSHOT_TOOL}
here=$(cd "$(dirname "$0")" && pwd)
# The AT-SPI Python bindings are Debian's, for Debian's interpreter.
python=/usr/bin/python3

work=$(mktemp -d "${TMPDIR:-/tmp}/quellis-a11y-XXXXXX")
started=()

# A started process and everything it started in turn (the session bus's
# activated services, the launcher's accessibility bus), children first.
descendants() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        descendants "$child"
        echo "$child"
    done
}

cleanup() {
    local status=$? pid all=()
    for ((i = ${#started[@]} - 1; i >= 0; i--)); do
        pid=${started[i]}
        all+=($(descendants "$pid") "$pid")
    done
    for pid in "${all[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for _ in $(seq 50); do
        alive=0
        for pid in "${all[@]}"; do
            kill -0 "$pid" 2>/dev/null && alive=1
        done
        [ $alive -eq 0 ] && break
        sleep 0.1
    done
    for pid in "${all[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "run_a11y_check: $*" >&2
    exit 1
}

# Waits until a file holds a line (or a text), at most $3 seconds.
wait_for_text() {
    local file=$1 text=$2 seconds=$3
    for _ in $(seq $((seconds * 10))); do
        if [ -f "$file" ] && grep -qF -- "$text" "$file"; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

for tool in dbus-daemon Xvfb "$python"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
done
launcher=""
for candidate in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
    [ -x "$candidate" ] && launcher=$candidate && break
done
[ -n "$launcher" ] || fail "at-spi-bus-launcher is missing (package at-spi2-core)"

# A session bus of our own: nothing here touches the desktop's.
dbus-daemon --session --fork --print-address=1 --print-pid=1 >"$work/bus"
started+=("$(sed -n 2p "$work/bus")")
export DBUS_SESSION_BUS_ADDRESS
DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p "$work/bus")

# An X server on the first free display; it writes the number when ready.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
started+=($!)
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n1 "$work/display")"

"$launcher" --launch-immediately 2>"$work/launcher.log" &
started+=($!)

export QT_QPA_PLATFORM=xcb
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export QT_ACCESSIBILITY=1
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# An instance lock and window classes of its own, so that a quellis running
# on the machine is neither raised instead nor disturbed.
export QUELLIS_RUNTIME_DIR="$work/instance"
mkdir -m 700 "$QUELLIS_RUNTIME_DIR"

# The program, in a directory of its own so that config.ini (which the
# language box writes) is fresh.
mkdir "$work/program" "$work/run"
cp "$quellis" "$work/program/quellis"
export QUELLIS_TRACE="$work/quellis.trace"
(cd "$work/run" && exec "$work/program/quellis") 2>"$work/quellis.log" &
quellis_pid=$!
started+=($quellis_pid)
wait_for_text "$QUELLIS_TRACE" "main window shown" 30 || fail "quellis showed no window: $(cat "$work/quellis.log")"

timeout 120 "$python" "$here/a11y_check.py" main --config "$work/program/config.ini" ||
    fail "the main window's accessibility check failed"

# Closed the way a session closes it; its teardown runs.
kill -TERM "$quellis_pid"
for _ in $(seq 100); do
    kill -0 "$quellis_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$quellis_pid" 2>/dev/null && fail "quellis did not end after SIGTERM"
wait "$quellis_pid" || fail "quellis ended with status $? after SIGTERM"

# Rows and log lines: the same dialog with a few machines in it.
mkdir "$work/sample"
"$screenshot" --hold --sample --config-dir "$work/sample" 2>"$work/sample.log" &
started+=($!)
timeout 120 "$python" "$here/a11y_check.py" sample || fail "the list's and log pane's accessibility check failed"

echo "run_a11y_check: passed"
