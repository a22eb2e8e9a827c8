#!/usr/bin/env bash
# `matte` on a 20 s 1920x1080 30 fps H.264 video of a real photo (slow pan and zoom), next to FFmpeg's
# own decode-scale-encode of the same video at the same size and settings; the image matte of a
# 1920x1280 photo end to end; and the mask flicker of a still, noisy scene with and without the
# temporal smoothing.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/bench
bin=${BUILD:-./build}
photos=node_modules/@vladmandic/face-api/demo
video=build/bench/matte-1080p30-20s.mp4
still=build/bench/matte-still-noise-1080p30-5s.mp4

if [ ! -f "$video" ]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y -loop 1 -framerate 30 -t 20 -i "$photos/sample1.jpg" \
    -vf "scale=2400:-2,zoompan=z='1+0.15*on/600':x='(iw-iw/zoom)*on/600':y='(ih-ih/zoom)/2':d=1:s=1920x1080:fps=30,format=yuv420p" \
    -c:v libx264 -preset veryfast -b:v 8M -g 60 "$video"
fi
if [ ! -f "$still" ]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y -loop 1 -framerate 30 -t 5 -i "$photos/sample2.jpg" \
    -vf "scale=1920:1080:force_original_aspect_ratio=increase,crop=1920:1080,noise=alls=10:allf=t,format=yuv420p" \
    -c:v libx264 -preset veryfast -crf 18 "$still"
fi

measure() {  # prints "seconds peak_kb" for a command
  local log
  log=$(mktemp)
  /usr/bin/time -v -o "$log" "$@" >/dev/null 2>&1
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; secs = s }
              /Maximum resident set size/ { kb = $2 } END { print secs, kb }' "$log"
  rm -f "$log"
}

frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$video")
read -r ours ours_kb < <(measure "$bin/kov-vision" matte "$video" --out build/bench/matte-mask.mp4)
read -r theirs theirs_kb < <(measure ffmpeg -nostdin -y -i "$video" -vf scale=1280:-2 -c:v libx264 -b:v 12M -g 30 \
  build/bench/matte-ffmpeg.mp4)
printf '%-58s %8s %8s %9s\n' "20 s 1920x1080 30 fps H.264 ($frames frames) -> 1280x720" "seconds" "frames/s" "peak MB"
printf '%-58s %8.2f %8.1f %9.1f\n' "kov-vision matte (mask movie)" "$ours" "$(awk "BEGIN{print $frames/$ours}")" \
  "$(awk "BEGIN{print $ours_kb/1024}")"
printf '%-58s %8.2f %8.1f %9.1f\n' "ffmpeg -vf scale=1280:-2 -c:v libx264 -b:v 12M -g 30" "$theirs" \
  "$(awk "BEGIN{print $frames/$theirs}")" "$(awk "BEGIN{print $theirs_kb/1024}")"
printf 'ratio ours/ffmpeg: %.2f (targets: at least 30 frames/s, ratio at most 1.5)\n' "$(awk "BEGIN{print $ours/$theirs}")"
echo

times=()
for _ in 1 2 3 4 5 6 7; do
  start=$(date +%s%N)
  "$bin/kov-vision" matte --image "$photos/sample1.jpg" --out build/bench/matte-cutout.png >/dev/null
  times+=($(( ($(date +%s%N) - start) / 1000000 )))
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')
printf 'matte --image, 1920x1280 photo, 7 runs (ms, sorted): %s\n' "$sorted"
printf 'median %s ms (target under 300 ms, process start included)\n' "$(printf '%s\n' "${times[@]}" | sort -n | sed -n 4p)"
echo

"$bin/matte_flicker_bench" "$still"
