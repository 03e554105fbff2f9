#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; only
# what is missing is installed.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev
  libcairo2-dev libfreetype-dev libfontconfig-dev libfltk1.3-dev libx11-dev
  libtiff-dev libpng-dev libjpeg-dev libxpm-dev
  libvorbis-dev libogg-dev
  ffmpeg imagemagick sox python3
)
if [ "${1:-}" = "--extra" ]; then packages+=(clang libclang-rt-14-dev libvips-tools libvips-dev libmagickcore-6.q16-dev); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
