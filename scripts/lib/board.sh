# Sourced by scripts/run and scripts/screenshot: builds dcc-cab and the simulated board, starts the
# board, and stops it again when the script exits. Sets board_pty (the board's /dev/pts/N) and
# board_log (the board's output: one line per frame it reads, and the layout when it stops).

build_cab_and_board() {
    scripts/setup
    cmake --preset dev >/dev/null
    cmake --build --preset dev -j"$(nproc)" --target dcc-cab dcc-board-sim >/dev/null
}

start_board() {
    board_dir=$(mktemp -d)
    board_log="$board_dir/board.log"
    build/dev/src/simulator/dcc-board-sim "$@" >"$board_log" 2>&1 </dev/null &
    board_pid=$!
    trap stop_board EXIT
    # The board prints its pseudo-terminal on its first line, at once.
    for _ in $(seq 100); do
        board_pty=$(head -n 1 "$board_log")
        [[ "$board_pty" == /dev/* ]] && return 0
        kill -0 "$board_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "board: the simulated board did not start:" >&2
    cat "$board_log" >&2
    exit 1
}

stop_board() {
    if [[ -n "${board_pid:-}" ]] && kill -0 "$board_pid" 2>/dev/null; then
        kill -TERM "$board_pid" 2>/dev/null || true
        wait "$board_pid" 2>/dev/null || true
    fi
    [[ -n "${board_dir:-}" ]] && rm -rf "$board_dir"
}

# Runs "$@" as it is with a display, or under a virtual X server (xvfb-run) without one.
with_display() {
    if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
        "$@"
    else
        echo "run: no display (DISPLAY and WAYLAND_DISPLAY are unset): running under xvfb-run" >&2
        xvfb-run -a "$@"
    fi
}
