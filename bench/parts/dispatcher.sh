#!/usr/bin/env bash
# The dispatcher's choice of the next frame, on its own: no port, no event loop.
set -euo pipefail
build=$1
# The dispatcher logs every frame on standard output; the row goes to standard output as well,
# so the log is sent to /dev/null and the row is printed by the benchmark on standard error.
"$build/bench/dispatcher_bench" 2>&1 >/dev/null
