#!/usr/bin/env bash
# The checks of the Debian package and of the files in it, one per call:
#   check.sh lintian DEB             no errors (warnings printed)
#   check.sh desktop FILE            desktop-file-validate
#   check.sh appstream FILE          appstreamcli validate, offline
#   check.sh systemd DEB             systemd-analyze verify and security of the unit
#   check.sh files DEB LIST          the package's files are exactly LIST
#   check.sh completion FILE         the bash completion completes commands,
#                                    subcommands and options
# Exit 77 (skipped) when the tool a check needs is missing; scripts/install-deps
# installs them all, and with CI set a missing tool fails instead.
set -euo pipefail

fail() {
    echo "check $what: $*" >&2
    exit 1
}
need() {
    command -v "$1" >/dev/null && return 0
    [ -n "${CI:-}" ] && fail "$1 is missing (scripts/install-deps installs it)"
    echo "check $what: $1 is missing; skipped" >&2
    exit 77
}

what=${1:?usage: check.sh lintian|desktop|appstream|systemd|files|completion ARGS}
shift
case $what in
lintian)
    need lintian
    # Root is warned about, not refused; the output goes to the log as it is.
    output=$(lintian --pedantic --info --display-info "$1" 2>&1 | grep -v 'running with root privileges' || true)
    echo "$output"
    if grep -q '^E: ' <<<"$output"; then
        fail "errors above"
    fi
    ;;
desktop)
    need desktop-file-validate
    output=$(desktop-file-validate "$1" 2>&1) || fail "$output"
    # Hints and warnings print without failing the validator.
    [ -z "$output" ] || fail "$output"
    ;;
appstream)
    need appstreamcli
    appstreamcli validate --no-net --pedantic "$1" || fail "not valid"
    ;;
systemd)
    need systemd-analyze
    need dpkg-deb
    root=$(mktemp -d)
    trap 'rm -rf "$root"' EXIT
    dpkg-deb -x "$1" "$root"
    unit=$root/lib/systemd/system/quellis-exporter.service
    [ -f "$unit" ] || fail "no unit in the package"
    # The unit as installed, but pointing at the unpacked program, and its
    # manual page (Documentation=) looked up in the unpacked package.
    sed "s|/usr/bin/quellis-cli|$root/usr/bin/quellis-cli|" "$unit" >"$root/quellis-exporter.service"
    MANPATH=$root/usr/share/man systemd-analyze verify "$root/quellis-exporter.service" || fail "verify failed"
    # The hardening, as systemd scores it: 0 (locked down) to 10 (unprotected).
    systemd-analyze security --offline=yes --threshold=20 "$root/quellis-exporter.service" | tail -n 1 ||
        fail "the unit's exposure is above 2.0"
    ;;
files)
    need dpkg-deb
    actual=$(dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort)
    expected=$(grep -v '^#' "$2" | grep -v '^$' | sort)
    if [ "$actual" != "$expected" ]; then
        diff <(echo "$expected") <(echo "$actual") | sed 's/^</missing:/; s/^>/not listed:/' | grep -E '^(missing|not listed):' >&2 || true
        fail "the package's files differ from $2"
    fi
    echo "$(wc -l <<<"$actual") files, as listed"
    ;;
completion)
    completes() {
        local expected=$1
        shift
        local got
        got=$(bash -c 'source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _quellis_cli; echo "${COMPREPLY[*]}"' "$file" "$@")
        [ "$got" = "$expected" ] || fail "'$*' completed to '$got', not '$expected'"
    }
    file=$1
    completes "search" quellis-cli sea
    completes "set show" quellis-cli pools ""
    completes "--filter --format" quellis-cli search --f
    completes "table csv json" quellis-cli hashrate --format ""
    completes "--concurrency" quellis-cli update --all --con
    ;;
*)
    fail "no such check"
    ;;
esac
echo "check $what: passed"
