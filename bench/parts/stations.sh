#!/usr/bin/env bash
# Each kind of command station (the board, DCC-EX, SPROG) driven by the headless program on its
# built-in simulated station: writes answered per second and CPU per speed command, beside what
# the station's own line at its usual baud rate would carry.
set -euo pipefail
build=$1
"$build/bench/station_bench" table "$build/src/app/dcc-cab" "${STATION_ROUNDS:-5}" \
    "${STATION_SECONDS:-2}"
