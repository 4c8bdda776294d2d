#!/usr/bin/env bash
# The program at rest on an open port, its start to ready with its memory, and the window's
# received-data view under a flood, each beside a floor measured in the same run.
set -euo pipefail
build=$1
"$build/bench/view_bench" idle "$build/src/app"
"$build/bench/view_bench" startup "$build/src/app" "$build/bench/bare_window_bench"
"$build/bench/view_bench" flood
