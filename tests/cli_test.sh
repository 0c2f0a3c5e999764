#!/usr/bin/env bash
# The program's command line: --help and --version answer without a display,
# a bad option gets one line and status 2 even without one, Qt's own options
# still work, and no display or one that cannot be opened gets one line and 1;
# any other failed start ends with a line that names its real cause.
#
#   cli_test.sh <program> <version>
set -uo pipefail

program=$1
version=$2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Qt's own warning about a missing runtime folder would add a line of its own.
export XDG_RUNTIME_DIR=$scratch
chmod 700 "$scratch"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Runs the program with no display in its environment but $with's NAME=value
# words; a window that opened would keep it running until the timeout.
run() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ${with:-} \
        timeout 20 "$program" "$@" >"$scratch/out" 2>"$scratch/err"
    status=$?
    out=$(cat "$scratch/out")
    err=$(cat "$scratch/err")
    echo "${with:+$with }ekgdemo $*: status $status, stdout $(wc -l <"$scratch/out") lines, stderr: $err"
}

# Expects the status, and stdout or stderr (not both) with something in it: $4 if given.
expect() {
    local what=$1 status_wanted=$2 stream=$3 text=${4:-}
    [ "$status" -eq "$status_wanted" ] || fail "$what: status $status, not $status_wanted"
    grep -qF -- "$text" <<<"$out$err" || fail "$what: '$text' not said"
    if [ "$stream" = stdout ]; then
        [ -n "$out" ] || fail "$what: nothing on standard output"
        [ -z "$err" ] || fail "$what: standard error not empty"
    else
        [ "$(wc -l <"$scratch/err")" -eq 1 ] || fail "$what: not one line on standard error"
        [ -z "$out" ] || fail "$what: standard output not empty"
    fi
}

run --help
expect "--help" 0 stdout
grep -q -- '--version' <<<"$out" || fail "--help does not name --version"

run --version
expect "--version" 0 stdout
[ "$out" = "ekgdemo $version" ] || fail "--version says '$out'"

run
expect "no display" 1 stderr "no display found"
run -platform
expect "-platform without its value" 1 stderr "no display found"
# Options are judged before the display.
run --no-such-option
expect "an unknown option without a display" 2 stderr "'no-such-option'"

# A display that is named but not there: one line naming it.
with="DISPLAY=:49" run
expect "a missing X display" 1 stderr '":49"'
run -display :49
expect "a missing X display by -display" 1 stderr '":49"'
with="QT_QPA_PLATFORM=xcb" run
expect "X without DISPLAY" 1 stderr "cannot open an X display"
for platform in wayland ""; do
    with="WAYLAND_DISPLAY=dead-socket QT_QPA_PLATFORM=$platform" run
    expect "a dead Wayland socket, platform '$platform'" 1 stderr '"dead-socket"'
done

# A library the X plugin needs is broken, on a display that works: the last
# line names the plugin and why it cannot be loaded, after Qt's own lines,
# and blames no display.
mkdir "$scratch/broken"
echo "not a library" >"$scratch/broken/libxcb-xkb.so.1"
"$(dirname "$0")/with-xvfb" env LD_LIBRARY_PATH="$scratch/broken" timeout 20 "$program" >"$scratch/out" 2>"$scratch/err"
status=$?
echo "a broken libxcb-xkb: status $status, stderr: $(cat "$scratch/err")"
[ "$status" -eq 1 ] || fail "a broken library: status $status, not 1"
last=$(tail -n 1 "$scratch/err")
grep -qF 'ekgdemo: cannot load the Qt platform plugin "xcb"' <<<"$last" || fail "a broken library: last line '$last'"
grep -qF 'libxcb-xkb.so.1: file too short' <<<"$last" || fail "a broken library: the reason is not given"
grep -qF 'Could not load the Qt platform plugin "xcb"' "$scratch/err" || fail "a broken library: Qt's own line is gone"
grep -qF 'cannot open' "$scratch/err" && fail "a broken library: a display is blamed"

# Qt takes -platform (which gives it a display) and -style; what is left is ours.
run -platform offscreen -style Fusion --no-such-option
expect "an unknown option" 2 stderr "'no-such-option'"
grep -Eq "platform|style|Fusion|offscreen" <<<"$err" && fail "Qt's own options were taken as unknown"

# Qt's options that take a value keep it: only the stray word is ours.
run -platform offscreen -display :1 -style=Fusion -qwindowtitle x stray
expect "a stray argument" 2 stderr "'stray'"

echo "$failures failed"
[ "$failures" -eq 0 ]
