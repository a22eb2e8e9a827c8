#!/bin/sh
# Makes the inputs that several test programs share, once per test run: the three-shot video of
# `faces` and the report of one `faces` run over it (standard output, standard error and status are
# kept for the tests to look at), and the still-photo videos of `matte`.
# Usage: make_fixture_videos.sh OUT_FOLDER KOV_VISION SOURCE_ROOT
set -eu
out=$1
tool=$2
photos=$3/node_modules/@vladmandic/face-api/demo
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf

mkdir -p "$out"
rm -f "$out"/three-shots.* "$out"/person*.mp4 "$out"/canvas.png

# A still photo of people in the middle of a grey 1280 x 720 canvas, as videos at 25 and 30 fps.
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$photos/sample1.jpg" \
  -vf "scale=640:426:flags=area,pad=1280:720:320:(720-ih)/2:color=0x808080,format=rgb24" -frames:v 1 "$out/canvas.png"
for rate_seconds in 25:2 30:1.6; do
  rate=${rate_seconds%:*}
  seconds=${rate_seconds#*:}
  ffmpeg -nostdin -hide_banner -loglevel error -y -loop 1 -i "$out/canvas.png" -t "$seconds" -r "$rate" \
    -pix_fmt yuv420p -c:v libx264 -preset ultrafast "$out/person$rate.mp4"
done

# 5.5 s at 960x540, 30 fps, three shots with hard cuts at 2 and 4 seconds:
#  - photo 3 panning slowly between black bars of 67 rows above and 68 below;
#  - photo 6 with a boxed caption at the top;
#  - a plain wall with a moving test pattern on it, no people.
caption="drawtext=fontfile=$font:text='Meet the team at noon':fontsize=40:fontcolor=white:box=1:boxcolor=black:boxborderw=10:x=(w-tw)/2:y=30"
ffmpeg -nostdin -hide_banner -loglevel error -y \
  -loop 1 -framerate 30 -t 2 -i "$photos/sample3.jpg" \
  -loop 1 -framerate 30 -t 2 -i "$photos/sample6.jpg" \
  -f lavfi -t 1.5 -i color=c=0x405060:s=960x540:r=30 \
  -f lavfi -t 1.5 -i testsrc2=s=240x180:r=30 \
  -filter_complex "[0]scale=1100:-2,crop=960:405:'t*40':(ih-405)/2,pad=960:540:0:67:black,setsar=1[a];[1]scale=960:540:force_original_aspect_ratio=increase,crop=960:540,$caption,setsar=1[b];[2][3]overlay=x=500+t*40:y=200,setsar=1[c];[a][b][c]concat=n=3:v=1,format=yuv420p[v]" \
  -map "[v]" -r 30 -c:v libx264 -preset veryfast -crf 18 "$out/three-shots.mp4"

status=0
"$tool" faces "$out/three-shots.mp4" >"$out/three-shots.json.part" 2>"$out/three-shots.err" || status=$?
echo "$status" >"$out/three-shots.status"
mv "$out/three-shots.json.part" "$out/three-shots.json"
