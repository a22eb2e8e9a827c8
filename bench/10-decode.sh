#!/usr/bin/env bash
# Decode + cut signatures + sampling on a 60 s 1080p30 H.264 video, next to the FFmpeg command
# line decoding and scaling the same video to 640 px wide.
set -euo pipefail
cd "$(dirname "$0")/.."
video=build/bench/decode-1080p30-60s.mp4
if [ ! -f "$video" ]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=s=1920x1080:r=30:d=60" \
    -c:v libx264 -preset veryfast -b:v 8M -pix_fmt yuv420p "$video"
fi

measure() {  # prints "seconds peak_kb" for a command
  local log
  log=$(mktemp)
  /usr/bin/time -f "%e %M" -o "$log" "$@" >/dev/null 2>&1
  cat "$log"
  rm -f "$log"
}

read -r ours ours_kb < <(measure ./build/kov-vision faces "$video" --fps 1 --text-every 0 --print-every 0)
read -r walk walk_kb < <(measure ./build/decode_bench "$video" 1)
read -r theirs theirs_kb < <(measure ffmpeg -nostdin -i "$video" -vf scale=640:-2 -f null -)
printf '%-44s %8s %10s\n' "60 s 1920x1080 30 fps H.264" "seconds" "peak MB"
printf '%-44s %8.2f %10.1f\n' "decode + cut signatures + sampling at 1 fps" "$walk" "$(awk "BEGIN{print $walk_kb/1024}")"
printf '%-44s %8.2f %10.1f\n' "kov-vision faces --fps 1 (+ face models)" "$ours" "$(awk "BEGIN{print $ours_kb/1024}")"
printf '%-44s %8.2f %10.1f\n' "ffmpeg -vf scale=640:-2 -f null -" "$theirs" "$(awk "BEGIN{print $theirs_kb/1024}")"
printf 'ratio decode walk/ffmpeg: %.2f (target <= 1.2); whole command/ffmpeg: %.2f\n' \
  "$(awk "BEGIN{print $walk/$theirs}")" "$(awk "BEGIN{print $ours/$theirs}")"
