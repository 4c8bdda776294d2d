#!/bin/sh
# dcc-cab's command line, with no display at all: what must answer at once, and what is refused.
# Usage: command-line-test.sh path/to/dcc-cab
cab=$1
failed=0

# expect STATUS PATTERN ARGUMENTS...: dcc-cab exits with STATUS and prints PATTERN (on standard
# output or standard error).
expect() {
    status=$1 pattern=$2
    shift 2
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$cab" "$@" 2>&1)
    got=$?
    if [ "$got" -ne "$status" ] || ! printf '%s\n' "$out" | grep -q -e "$pattern"; then
        echo "FAIL: dcc-cab $*: exit $got (expected $status), output:" >&2
        printf '%s\n' "$out" >&2
        failed=1
    fi
}

expect 0 '--port PATH' --help
expect 0 '^dcc-cab [0-9][0-9.]*$' --version
expect 2 "unknown option '--bogus'" --bogus
expect 2 '--port needs a path' --port
expect 2 '/dev/null: not a terminal' --port /dev/null
expect 2 'No such file or directory' --port=/nonexistent/tty
expect 2 '--script runs only with --headless' --script demo.dcc
expect 2 '--baud 12k: give the rate in bits per second' --baud 12k
expect 2 '--station tram: give board, dccex or sprog' --station tram
expect 2 '--heartbeat watches phone throttles; give --withrottle too' --headless --heartbeat 5
expect 2 '--max-phones 0: give a number of phones, 1 to 256' --headless --withrottle --max-phones 0
expect 2 '--simulate and --port choose different lines' --simulate --port /dev/tty

# The headless mode must run where no widget library could load: dcc-cab itself links none.
if ldd "$cab" | grep -q -i widgets; then
    echo "FAIL: dcc-cab links a widget library:" >&2
    ldd "$cab" | grep -i -e widgets -e gui >&2
    failed=1
fi

# The whole run of the real program, on Qt's offscreen platform: start-up with the machine's own
# services, the window, a picture of it, quit with will-terminate, the end of the lifetime.
picture=$(mktemp -d)/window.png
out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$cab" --screenshot "$picture" 2>&1)
got=$?
if [ "$got" -ne 0 ] || [ ! -s "$picture" ]; then
    echo "FAIL: dcc-cab --screenshot: exit $got, picture $(ls -l "$picture" 2>&1), output:" >&2
    printf '%s\n' "$out" >&2
    failed=1
fi
rm -rf "$(dirname "$picture")"
exit $failed
