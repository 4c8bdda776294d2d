#!/usr/bin/env bash
# Stop-and-wait over a pseudo-terminal: the bare ping-pong (the limit), the headless program and
# the window, against the same board; and the limit a 38400-baud line puts on them.
set -euo pipefail
build=$1
"$build/bench/wire_bench" table "$build/src/app/dcc-cab" "${WIRE_ROUNDS:-5}" "${WIRE_FRAMES:-20000}"
