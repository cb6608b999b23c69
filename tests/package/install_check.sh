#!/usr/bin/env bash
# The package as a user gets it: unpacked into a throwaway root (dpkg -x), its
# programs run from there.
#   install_check.sh DEB VERSION NETLAB
# - quellis-cli --version prints the package's version;
# - quellis-farmsim from the package plays a farm in the network lab, and
#   quellis-cli search --wait 1 in the lab's tool side lists all of it;
# - the window starts offscreen with no config.ini beside it and takes the
#   user's XDG places, under a home whose name has spaces and Chinese
#   characters in it; from the menu (--from-menu) its working directory is the
#   data folder, which gets the default files once; the first setting it
#   writes (the language box, pressed over AT-SPI on Xvfb) lands in the
#   user's config.ini; a config.ini that is a directory and a read-only data
#   folder are reported and the window still starts.
# Needs root (network namespaces, a read-only bind mount): skipped (77)
# without it, failed without it when CI is set.
set -euo pipefail

fail() {
    echo "install_check: $*" >&2
    exit 1
}

if [ "${1:-}" = --window ]; then
    phase=window
    shift
else
    phase=main
fi
deb=${1:?usage: install_check.sh DEB VERSION NETLAB}
version=${2:?}
netlab=$(realpath "${3:?}")
here=$(cd "$(dirname "$0")" && pwd)

if [ "$(id -u)" -ne 0 ]; then
    [ -n "${CI:-}" ] && fail "needs root"
    echo "install_check: needs root (network namespaces); skipped" >&2
    exit 77
fi

# The window part, in a network namespace of its own with only loopback (a
# quellis running on the machine holds the program's ports) and a mount
# namespace of its own (the read-only bind mount goes with it).
window_phase() {
    local root=$1 work=$2
    ip link set lo up
    export QT_QPA_PLATFORM=offscreen QUELLIS_AUDIO=null
    export QUELLIS_RUNTIME_DIR=$work/instance XDG_RUNTIME_DIR=$work/runtime
    mkdir -m 700 "$QUELLIS_RUNTIME_DIR" "$XDG_RUNTIME_DIR"
    unset XDG_CONFIG_HOME XDG_DATA_HOME DISPLAY WAYLAND_DISPLAY QUELLIS_TRACE
    export HOME="$work/操作 员 home"
    mkdir -p "$HOME" "$work/terminal"
    local data="$HOME/.local/share/quellis"

    # Starts the window from $work/terminal, waits until it is shown, notes
    # its working directory, and closes it with SIGTERM; its exit status must
    # be 0. Its trace and standard error are left in $work/<name>.trace/.err.
    window() {
        local name=$1
        shift
        local trace="$work/$name.trace"
        (cd "$work/terminal" && QUELLIS_TRACE="$trace" exec "$root/usr/bin/quellis" "$@") 2>"$work/$name.err" &
        local pid=$! shown=""
        for _ in $(seq 900); do
            kill -0 "$pid" 2>/dev/null || break
            if grep -q "main window shown" "$trace" 2>/dev/null; then
                shown=1
                break
            fi
            sleep 0.1
        done
        cwd=$(readlink "/proc/$pid/cwd" || true)
        kill -TERM "$pid" 2>/dev/null || true
        local status=0
        wait "$pid" || status=$?
        [ -n "$shown" ] || fail "$name: the window was not shown: $(cat "$work/$name.err")"
        [ "$status" -eq 0 ] || fail "$name: ended with status $status: $(cat "$work/$name.err")"
    }

    # From a terminal: the user's config.ini, the terminal's directory.
    window terminal
    grep -qF "$HOME/.config/quellis/config.ini: TOOLTYPE" "$work/terminal.trace" ||
        fail "terminal: the window did not read the user's config.ini: $(cat "$work/terminal.trace")"
    [ -d "$HOME/.config/quellis" ] || fail "terminal: no $HOME/.config/quellis"
    [ "$cwd" = "$work/terminal" ] || fail "terminal: working directory $cwd"
    [ ! -e "$root/usr/bin/config.ini" ] || fail "config.ini written beside the installed program"
    [ ! -e "$data" ] || fail "terminal: the data folder was made without --from-menu"
    [ ! -s "$work/terminal.err" ] || fail "terminal: messages: $(cat "$work/terminal.err")"
    echo "install_check: from a terminal: $(grep -F 'TOOLTYPE' "$work/terminal.trace" | head -n 1)"

    # From the menu: the data folder, with the default files copied once.
    window menu --from-menu
    [ "$cwd" = "$data" ] || fail "menu: working directory $cwd, not $data"
    for file in devDown.wav cgminer.conf.xtc; do
        cmp -s "$data/$file" "$root/usr/share/quellis/$file" || fail "menu: $file not copied to $data"
    done
    echo "the operator's own" >"$data/devDown.wav"
    window menu-again --from-menu
    [ "$(cat "$data/devDown.wav")" = "the operator's own" ] || fail "menu: devDown.wav was overwritten"
    echo "install_check: from the menu: working directory $cwd, default files copied once"

    # The first setting written goes to the user's config.ini: the language
    # box pressed over AT-SPI, on an X server of its own (Xvfb) with a session
    # bus and an accessibility bus of its own.
    language_write_check "$root" "$work"
    echo "install_check: the language box wrote $(grep -a 'LANG=' "$HOME/.config/quellis/config.ini") to $HOME/.config/quellis/config.ini"

    # Bad places: both reported on standard error, and the window starts.
    export XDG_CONFIG_HOME=$work/config-with-a-directory XDG_DATA_HOME=$work/read-only
    mkdir -p "$XDG_CONFIG_HOME/quellis/config.ini" "$XDG_DATA_HOME"
    mount --bind "$XDG_DATA_HOME" "$XDG_DATA_HOME"
    mount -o remount,bind,ro "$XDG_DATA_HOME"
    window bad-places --from-menu
    grep -q 'config.ini" is a directory, not a file' "$work/bad-places.err" ||
        fail "bad places: no message about config.ini: $(cat "$work/bad-places.err")"
    grep -q "for the working files .*the working files stay in the current directory" "$work/bad-places.err" ||
        fail "bad places: no message about the data folder: $(cat "$work/bad-places.err")"
    [ "$cwd" = "$work/terminal" ] || fail "bad places: working directory $cwd"
    echo "install_check: bad places reported, the window started:"
    sed 's/^/    /' "$work/bad-places.err"
}

# Processes of the window phase, ended with it however it ends: each one's
# children first (the accessibility launcher starts a bus of its own).
started=()
stop_started() {
    local pid child
    for pid in "${started[@]}"; do
        for child in $(pgrep -P "$pid" 2>/dev/null); do
            kill -TERM "$child" 2>/dev/null || true
        done
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${started[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    started=()
}

language_write_check() {
    local root=$1 work=$2 launcher=""
    for tool in dbus-daemon Xvfb /usr/bin/python3; do
        command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
    done
    for candidate in /usr/libexec/at-spi-bus-launcher /usr/lib/at-spi2-core/at-spi-bus-launcher; do
        [ -x "$candidate" ] && launcher=$candidate && break
    done
    [ -n "$launcher" ] || fail "at-spi-bus-launcher is missing (package at-spi2-core)"
    dbus-daemon --session --nofork --print-address=3 3>"$work/bus" </dev/null >/dev/null 2>&1 &
    started+=($!)
    Xvfb -displayfd 4 -screen 0 1280x1024x24 -nolisten tcp 4>"$work/display" </dev/null >/dev/null 2>"$work/xvfb.log" &
    started+=($!)
    for _ in $(seq 100); do
        [ -s "$work/bus" ] && [ -s "$work/display" ] && break
        sleep 0.1
    done
    [ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    local bus display
    bus=$(head -n 1 "$work/bus")
    display=":$(head -n 1 "$work/display")"
    export DBUS_SESSION_BUS_ADDRESS=$bus DISPLAY=$display
    "$launcher" --launch-immediately </dev/null >/dev/null 2>"$work/launcher.log" &
    started+=($!)
    (cd "$work/terminal" && QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 \
        QUELLIS_TRACE="$work/language.trace" exec "$root/usr/bin/quellis") </dev/null >/dev/null 2>"$work/language.err" &
    started+=($!)
    for _ in $(seq 900); do
        grep -q "main window shown" "$work/language.trace" 2>/dev/null && break
        sleep 0.1
    done
    grep -q "main window shown" "$work/language.trace" 2>/dev/null ||
        fail "on Xvfb: the window was not shown: $(cat "$work/language.err")"
    timeout 120 /usr/bin/python3 "$here/../a11y/a11y_check.py" language \
        --config "$HOME/.config/quellis/config.ini" || fail "the language box did not write the user's config.ini"
    stop_started
    unset DBUS_SESSION_BUS_ADDRESS DISPLAY
}

if [ $phase = window ]; then
    trap stop_started EXIT
    window_phase "$deb" "$version"
    exit 0
fi

command -v dpkg-deb >/dev/null || fail "dpkg-deb is missing"
work=$(mktemp -d "${TMPDIR:-/tmp}/quellis-install-XXXXXX")
chmod 755 "$work"
root=$work/root
farm_pid=""
export NETLAB_NAME="qpkg$$" NETLAB_OWNER=$$
cleanup() {
    local status=$?
    [ -n "$farm_pid" ] && kill -KILL "$farm_pid" 2>/dev/null
    "$netlab" down >/dev/null 2>&1 || true
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

dpkg -x "$deb" "$root"
echo "install_check: unpacked $(basename "$deb") into $root"

# --version, from the package.
for program in quellis quellis-cli quellis-farmsim; do
    line=$("$root/usr/bin/$program" --version)
    [ "$line" = "$program $version" ] || fail "$program --version printed '$line', not '$program $version'"
    # --help too, without a display (the manual pages are written from it).
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/$program" --help | grep -q "^usage: $program" ||
        fail "$program --help printed no usage"
done
echo "install_check: --version and --help: $version"

# A search in the lab, with the packaged farm simulator on the farm side.
export HOME=$work/lab-home
mkdir -p "$HOME"
unset XDG_CONFIG_HOME XDG_DATA_HOME
"$netlab" up >/dev/null
"$root/usr/bin/quellis-farmsim" --machines 20 --spread 0 --netns "$NETLAB_NAME-farm" >"$work/farm.log" 2>&1 &
farm_pid=$!
for _ in $(seq 100); do
    grep -q ' ready, ' "$work/farm.log" && break
    kill -0 "$farm_pid" 2>/dev/null || fail "quellis-farmsim ended: $(cat "$work/farm.log")"
    sleep 0.1
done
grep -q ' ready, ' "$work/farm.log" || fail "quellis-farmsim not ready: $(cat "$work/farm.log")"
(cd "$work" && "$netlab" tool "$root/usr/bin/quellis-cli" search --wait 1 --format csv) >"$work/search.csv" 2>"$work/search.err" ||
    fail "search failed: $(cat "$work/search.err")"
found=$(($(wc -l <"$work/search.csv") - 1))
[ "$found" -eq 20 ] || fail "search listed $found machines, not 20: $(cat "$work/search.csv" "$work/search.err")"
echo "install_check: quellis-cli search --wait 1 in the lab: $found of 20 machines listed"
kill -TERM "$farm_pid"
wait "$farm_pid" || true
farm_pid=""

unshare --net --mount --propagation private -- "$0" --window "$root" "$work" "$netlab"
echo "install_check: passed"
