#!/usr/bin/env bash
# Makes the demo video: two photos of people from the installed sample pictures, a slow pan over
# the first, a hard cut to the second, and a caption burnt in. Usage: make-sample.sh OUT [SECONDS]
set -euo pipefail
out=$1
seconds=${2:-6}
root=$(cd "$(dirname "$0")/.." && pwd)
photos=$root/node_modules/@vladmandic/face-api/demo
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
half=$(awk "BEGIN{print $seconds/2}")
ffmpeg -nostdin -hide_banner -loglevel error -y \
  -loop 1 -t "$half" -i "$photos/sample1.jpg" \
  -loop 1 -t "$half" -i "$photos/sample2.jpg" \
  -filter_complex "[0]scale=1400:-2,crop=1280:720:'min(iw-1280,t*20)':'(ih-720)/2',setsar=1[a];[1]scale=1280:720:force_original_aspect_ratio=decrease,pad=1280:720:(ow-iw)/2:(oh-ih)/2,setsar=1[b];[a][b]concat=n=2:v=1,drawtext=fontfile=$font:text='kov-vision sample':fontsize=40:fontcolor=white:borderw=3:bordercolor=black:x=(w-tw)/2:y=h-80,format=yuv420p[v]" \
  -map "[v]" -r 30 -c:v libx264 -preset veryfast -crf 20 "$out"
