#!/usr/bin/env bash
# The zelo program's exit codes, messages and outputs.
# usage: cli_test.sh ZELO MAKE_SCENE
set -u
zelo=$1
make_scene=$2
dir=$(mktemp -d /tmp/zelo-cli-XXXXXX)
trap 'rm -rf "$dir"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect STATUS PATTERN COMMAND...: the exit status, and a pattern that
# stdout and stderr together must match (empty: anything).
expect() {
  local want=$1 pattern=$2
  shift 2
  local out status
  out=$("$@" 2>&1)
  status=$?
  if [ "$status" != "$want" ]; then
    fail "$* exited $status, want $want: $out"
  elif [ -n "$pattern" ] && ! grep -Eq -- "$pattern" <<<"$out"; then
    fail "$*: output does not match /$pattern/: $out"
  fi
}

"$make_scene" "$dir" 20 2 >/dev/null || { echo "make_scene failed" >&2; exit 1; }
first=$dir/scene0001.bmp

# usage and help
expect 2 "usage: zelo COMMAND" "$zelo"
expect 0 "usage: zelo COMMAND" "$zelo" --help
expect 2 "unknown command: frobnicate" "$zelo" frobnicate
for c in convert info formats codecs; do
  expect 0 "usage: zelo $c" "$zelo" "$c" --help
done

# bad usage: exit 2 with a message naming the fault
expect 2 "no output file" "$zelo" convert "$first"
expect 2 "no input files" "$zelo" convert -o "$dir/x.jex"
expect 2 "unknown option: --bogus" "$zelo" convert --bogus -o "$dir/x.jex" "$first"
expect 2 "option -o needs a value" "$zelo" convert "$first" -o
expect 2 "bad frame rate: 0" "$zelo" convert -r 0 -o "$dir/x.jex" "$first"
expect 2 "bad size: 3x9000" "$zelo" convert -s 3x9000 -o "$dir/x.jex" "$first"
expect 2 "bad depth: 12" "$zelo" convert -d 12 -o "$dir/x.jex" "$first"
expect 2 "bad audio format" "$zelo" convert --audio-format 44100,2 --audio "$dir/tune.wav" -o "$dir/x.jex" "$first"
expect 2 "bad tag: ICM=x" "$zelo" convert --tag ICM=x -o "$dir/x.avi" "$first"
expect 2 "bad --on-error mode: maybe" "$zelo" convert --on-error maybe -o "$dir/x.jex" "$first"
expect 2 "unknown codec wild" "$zelo" convert -c wild -o "$dir/x.jex" "$first"
expect 2 "takes no sound: name a sound file with --audio-out" \
  "$zelo" convert --audio "$dir/tune.wav" -o "$dir/x0001.tga" "$first"
expect 2 "--audio-out without --audio" "$zelo" convert --audio-out "$dir/a.wav" -o "$dir/x.jex" "$first"
expect 2 "unknown format: nope" "$zelo" codecs nope
expect 2 "no files" "$zelo" info

# failures of the library: exit 1 with its message
expect 1 "x.xyz: no writable format" "$zelo" convert -o "$dir/x.xyz" "$first"
expect 1 "missing.bmp: File not exist\." "$zelo" convert -o "$dir/x.jex" "$dir/missing.bmp"
expect 1 "missing.bmp: File not exist\." "$zelo" info "$dir/missing.bmp"
[ -e "$dir/x.jex" ] && fail "a failed conversion left x.jex"

# a numbered sequence into JEX, and what info says of it
expect 0 "wrote .*seq.jex" "$zelo" convert --sequence -r 10 -c best -k 5 -o "$dir/seq.jex" "$first"
info=$("$zelo" info "$dir/seq.jex")
for line in "frames: 20" "width: 320" "height: 240" "bits per pixel: 24" "frame rate: 10.000" \
  "video compression: BEST" "duration: 2.000"; do
  grep -qx "$line" <<<"$info" || fail "info of seq.jex lacks '$line': $info"
done
json=$("$zelo" info --json "$dir/seq.jex" "$first")
python3 - "$json" <<'EOF' || fail "info --json: $json"
import json, sys
v = json.loads(sys.argv[1])
assert isinstance(v, list) and len(v) == 2, v
assert v[0]["frames"] == 20 and v[0]["frame_rate"] == 10.0 and v[0]["bits_per_pixel"] == 24, v[0]
assert v[1]["frames"] == 1 and v[1]["format"].startswith("BMP"), v[1]
assert json.loads(json.dumps(v[0]))["video_compression"] == "BEST"
EOF
# several inputs, each one block; --sequence sums a sequence up in info
expect 0 "" "$zelo" convert --quiet -o "$dir/two.jex" "$first" "$dir/scene0002.bmp"
expect 0 "^frames: 2$" "$zelo" info "$dir/two.jex"
expect 0 "^frames: 20$" "$zelo" info --sequence "$first"

# size, depth and a numbered Targa sequence
expect 0 "" "$zelo" convert --quiet --sequence -s 64x48 -d 8 --dither -o "$dir/small0001.tga" "$first"
[ -e "$dir/small0020.tga" ] && [ ! -e "$dir/small0021.tga" ] || fail "small0001..0020.tga not written"
[ "$(identify -format '%w %h %k' "$dir/small0010.tga" 2>/dev/null)" != "" ] || fail "identify small0010.tga"
[ "$(identify -format '%w %h' "$dir/small0010.tga")" = "64 48" ] || fail "small0010.tga is not 64x48"
expect 0 "^bits per pixel: 8$" "$zelo" info "$dir/small0010.tga"

# formats and codecs
expect 0 "^7 +jex +yes +yes +\.jex" "$zelo" formats
expect 0 "^4 +gif +yes +no" "$zelo" formats
expect 0 "JEX-FAST compression" "$zelo" codecs jex
expect 0 "Run length encoded" "$zelo" codecs .tga
expect 0 "Deflate compression \(ZIP\)" "$zelo" codecs 10

# a source that cannot be read: stop deletes the output, skip goes on
head -c 2000 "$first" >"$dir/broken.bmp"
expect 1 "cannot read .*broken.bmp: .*\(stopping\)" \
  "$zelo" convert -o "$dir/stop.jex" "$first" "$dir/broken.bmp" "$dir/scene0003.bmp"
[ -e "$dir/stop.jex" ] && fail "stop left its output"
expect 0 "cannot read .*broken.bmp: .*\(skipped\)" \
  "$zelo" convert --on-error skip -o "$dir/skip.jex" "$first" "$dir/broken.bmp" "$dir/scene0003.bmp"
expect 0 "^frames: 2$" "$zelo" info "$dir/skip.jex"
expect 1 "stopped at a source" \
  "$zelo" convert --on-error keep -o "$dir/keep.jex" "$first" "$dir/broken.bmp" "$dir/scene0003.bmp"
expect 0 "^frames: 1$" "$zelo" info "$dir/keep.jex"

# the progress line, and Ctrl-C: the run stops, exit 130, the output stays
inputs=()
for i in $(seq 1 400); do inputs+=("$first"); done
"$zelo" convert --progress --sequence -c best -o "$dir/long.jex" "${inputs[@]}" 2>"$dir/long.err" &
pid=$!
sleep 1.5
kill -INT $pid
wait $pid
status=$?
[ "$status" = 130 ] || fail "interrupted convert exited $status, want 130"
grep -q "interrupted; .*long.jex keeps what was written" "$dir/long.err" || fail "no interrupt message: $(tail -c 300 "$dir/long.err")"
grep -Eq "\[#*-*\] [0-9]+/8000 frames, [0-9:]+ elapsed" "$dir/long.err" || fail "no progress line: $(head -c 300 "$dir/long.err")"
frames=$("$zelo" info "$dir/long.jex" | sed -n 's/^frames: //p')
[ -n "$frames" ] && [ "$frames" -gt 0 ] && [ "$frames" -lt 8000 ] || fail "long.jex holds '$frames' frames"

if [ $failures -eq 0 ]; then echo ok; fi
[ $failures -eq 0 ]
