#!/usr/bin/env bash
# The main job: runs the demonstration on data it makes itself.
set -euo pipefail
build=${1:-build}
out=demo-out
mkdir -p "$out"
"$build/examples/trace_demo" "$PWD/$out/trace.txt"
echo "--- $out/trace.txt"
cat "$out/trace.txt"
