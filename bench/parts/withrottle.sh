#!/usr/bin/env bash
# Phone throttles (WiThrottle) against the headless program on its built-in simulated board: the
# time from a client's speed command to its frame on the wire, with one client and with twenty,
# beside the board line's frame time at 38400 baud; and the memory and CPU an idle connection costs.
set -euo pipefail
build=$1
"$build/bench/withrottle_bench" table "$build/src/app/dcc-cab" "${WITHROTTLE_ROUNDS:-5}"
