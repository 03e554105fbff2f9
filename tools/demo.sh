#!/usr/bin/env bash
# The main job: makes 100 pictures of a moving scene and a 4-second tune,
# converts them into a JEX movie and into an AVI movie with sound, and
# describes both.
set -euo pipefail
build=${1:-build}
out=${2:-demo-out}
zelo=$build/tools/zelo/zelo
rm -rf "$out"
mkdir -p "$out/scene"

"$build/examples/make_scene" "$out/scene" 100 4
"$zelo" convert --sequence --rate 25 --audio "$out/scene/tune.wav" \
  -o "$out/scene.jex" "$out/scene/scene0001.bmp"
"$zelo" convert --sequence --rate 25 --codec MJPG --quality 90 \
  --tag "ICMT=made by make demo" --audio "$out/scene/tune.wav" \
  -o "$out/scene.avi" "$out/scene/scene0001.bmp"
echo
"$zelo" info "$out/scene.jex" "$out/scene.avi"
