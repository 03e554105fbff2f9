#!/usr/bin/env bash
# Writes a 5 GiB AVI through the AVI file services (OpenDML beyond 1 GiB and
# 4 GiB), or through the AVI module on top of them ("module"), checks it with
# our reader (frame count, pictures, sound) and with ffprobe (frames in the
# headers, frames decoded), then deletes it. Not a ctest: it takes minutes
# and 5 GiB of disk.
#   bench/avi_large.sh [folder] [gibibytes] [services|module]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-${TMPDIR:-/tmp}}
gib=${2:-5}
case ${3:-services} in
  services) program=avi_large ;;
  module) program=ff_avi_large ;;
  *) echo "third argument: services or module" >&2; exit 2 ;;
esac
need_kib=$(( (gib + 1) * 1024 * 1024 ))
avail_kib=$(df -Pk "$dir" | awk 'NR==2 {print $4}')
if [ "$avail_kib" -lt "$need_kib" ]; then
  echo "need $((gib + 1)) GiB free in $dir, have $((avail_kib / 1024 / 1024)) GiB" >&2
  exit 1
fi
make bench >/dev/null
out=$(mktemp "$dir/avi_large.XXXXXX")
trap 'rm -f "$out"' EXIT
report=$(build-bench/bench/$program "$out" "$gib") || { echo "$report"; exit 1; }
echo "$report"
ours=$(sed -n 's/^read back: \([0-9]*\) frames.*/\1/p' <<<"$report")
header=$(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames -of csv=p=0 "$out")
decoded=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$out")
echo "ffprobe: $header frames in the headers, $decoded decoded; our reader: $ours"
[ "$header" = "$decoded" ] && [ "$decoded" = "$ours" ] || { echo "FAILED: counts differ" >&2; exit 1; }
echo ok
