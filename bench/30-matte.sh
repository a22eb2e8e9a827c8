#!/usr/bin/env bash
# `matte` on a 20 s 1920x1080 30 fps H.264 video of a real photo (slow pan and zoom), next to FFmpeg's
# own decode-scale-encode of the same video at the same size and settings; the image matte of a
# 1920x1280 photo end to end; the stages of both timed one by one; the mask flicker of a still, noisy
# scene with and without the segmenter's temporal smoothing; and the mask quality benchmark (edges,
# people-free pictures, lag and flicker on a synthetic movie), the former way beside the current one.
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

measure() {  # prints "seconds cpu_seconds peak_kb" for a command
  local log
  log=$(mktemp)
  /usr/bin/time -f "%e %U %S %M" -o "$log" "$@" >/dev/null 2>&1
  awk '{ print $1, $2 + $3, $4 }' "$log"
  rm -f "$log"
}

frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$video")
read -r ours ours_cpu ours_kb < <(measure "$bin/kov-vision" matte "$video" --out build/bench/matte-mask.mp4)
read -r theirs theirs_cpu theirs_kb < <(measure ffmpeg -nostdin -y -i "$video" -vf scale=1280:-2 -c:v libx264 -b:v 12M \
  -g 30 build/bench/matte-ffmpeg.mp4)
row() {  # label seconds cpu_seconds peak_kb
  printf '%-54s %8.2f %8.1f %8.2f %8.1f\n' "$1" "$2" "$(awk "BEGIN{print $frames/$2}")" "$3" "$(awk "BEGIN{print $4/1024}")"
}
printf '%-54s %8s %8s %8s %8s\n' "20 s 1920x1080 30 fps H.264 ($frames frames) -> 1280x720" "seconds" "frames/s" "cpu s" "peak MB"
row "kov-vision matte (mask movie)" "$ours" "$ours_cpu" "$ours_kb"
row "ffmpeg -vf scale=1280:-2 -c:v libx264 -b:v 12M -g 30" "$theirs" "$theirs_cpu" "$theirs_kb"
printf 'ratio ours/ffmpeg: %.2f wall, %.2f cpu (targets: at least 40 frames/s, ratio at most 1.5)\n' \
  "$(awk "BEGIN{print $ours/$theirs}")" "$(awk "BEGIN{print $ours_cpu/$theirs_cpu}")"
printf 'cpu per frame: %.1f ms ours, %.1f ms ffmpeg (2 cores give 66 ms of cpu per 1/30 s)\n' \
  "$(awk "BEGIN{print 1000*$ours_cpu/$frames}")" "$(awk "BEGIN{print 1000*$theirs_cpu/$frames}")"
echo

times=()
for _ in 1 2 3 4 5 6 7; do
  start=$(date +%s%N)
  "$bin/kov-vision" matte --image "$photos/sample1.jpg" --out build/bench/matte-cutout.png >/dev/null
  times+=($(( ($(date +%s%N) - start) / 1000000 )))
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')
printf 'matte --image, 1920x1280 photo, 7 runs (ms, sorted): %s\n' "$sorted"
printf 'median %s ms (target at most 250 ms, process start included)\n' "$(printf '%s\n' "${times[@]}" | sort -n | sed -n 4p)"
echo

"$bin/matte_image_stages_bench" "$photos/sample1.jpg"
echo
"$bin/matte_movie_stages_bench" "$video" 90
echo

"$bin/matte_flicker_bench" "$still"
echo

# Mask quality against exact truths, the former way (model mask stretched and blurred) beside the
# refined one.
"$bin/matte_quality_bench" "$photos"
