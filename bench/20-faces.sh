#!/usr/bin/env bash
# `faces` at its defaults on a 60 s 1920x1080 30 fps H.264 video of real photos of people (pans,
# hard cuts, letterbox bars, burnt-in captions), next to the decode-only walk of the same video;
# then the share of time of each detector request on the same video.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/bench
build=./build
video=build/bench/faces-1080p30-60s.mp4
photos=node_modules/@vladmandic/face-api/demo
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf

if [ ! -f "$video" ]; then
  # Six shots of 10 s: a slow pan over each photo; shots 2 and 5 letterboxed; captions in shots
  # 1, 3 and 6 (on a box, outlined, plain).
  inputs=() filters=""
  for i in 1 2 3 4 5 6; do
    inputs+=(-loop 1 -framerate 30 -t 10 -i "$photos/sample$i.jpg")
    pan="scale=2200:-2,crop=1920:1080:'min(iw-1920,t*25)':'(ih-1080)/2'"
    case $i in
      2|5) shot="scale=1920:-2,crop=1920:800,pad=1920:1080:0:140:black" ;;
      *) shot="$pan" ;;
    esac
    case $i in
      1) shot="$shot,drawtext=fontfile=$font:text='Welcome to the studio':fontsize=64:fontcolor=white:box=1:boxcolor=black@0.8:boxborderw=16:x=(w-tw)/2:y=h-160" ;;
      3) shot="$shot,drawtext=fontfile=$font:text='Hello from the river bank':fontsize=60:fontcolor=white:borderw=4:bordercolor=black:x=(w-tw)/2:y=h-150" ;;
      6) shot="$shot,drawtext=fontfile=$font:text='See you next week':fontsize=72:fontcolor=yellow:borderw=3:bordercolor=black:x=(w-tw)/2:y=80" ;;
    esac
    filters+="[$((i - 1))]$shot,setsar=1,fps=30[v$i];"
  done
  ffmpeg -nostdin -hide_banner -loglevel error -y "${inputs[@]}" \
    -filter_complex "${filters}[v1][v2][v3][v4][v5][v6]concat=n=6:v=1,format=yuv420p[v]" \
    -map "[v]" -c:v libx264 -preset veryfast -b:v 8M -g 60 "$video"
fi

measure() {  # prints "wall_seconds cpu_seconds peak_kb" for a command
  local log
  log=$(mktemp)
  /usr/bin/time -v -o "$log" "$@" >/dev/null 2>&1
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; secs = s }
              /User time|System time/ { cpu += $2 }
              /Maximum resident set size/ { kb = $2 } END { print secs, cpu, kb }' "$log"
  rm -f "$log"
}

row() {  # label wall_seconds cpu_seconds peak_kb
  printf '%-52s %8.2f %8.2fx %8.2f %9.1f\n' "$1" "$2" "$(awk "BEGIN{print 60/$2}")" "$3" "$(awk "BEGIN{print $4/1024}")"
}

median_of_three() {  # the run with the middle wall time of three, as measure prints it
  for _ in 1 2 3; do measure "$@"; done | sort -n | sed -n 2p
}

# The machine is shared and a single run can be 20% off, so the full run is the median of three.
load_before=$(cut -d' ' -f1 /proc/loadavg)
read -r full full_cpu full_kb < <(median_of_three "$build"/kov-vision faces "$video")
read -r base base_cpu base_kb < <(measure "$build"/kov-vision faces "$video" --fps 1 --text-every 0 --print-every 0)
read -r walk walk_cpu walk_kb < <(measure "$build"/decode_bench "$video" 6)
printf '%-52s %8s %9s %8s %9s\n' "60 s 1920x1080 30 fps H.264, photos of people" "seconds" "video/s" "CPU s" "peak MB"
row "kov-vision faces (defaults), median of 3 runs" "$full" "$full_cpu" "$full_kb"
row "kov-vision faces --fps 1 --text-every 0 --print-every 0" "$base" "$base_cpu" "$base_kb"
row "decode-only baseline (cuts + sampling at 6 fps)" "$walk" "$walk_cpu" "$walk_kb"
echo "target: defaults at least 4x real time, at most 400 MB (load average before the runs: $load_before)"
echo
echo "time per detector request (one after another, on the frames the defaults sample):"
"$build"/faces_detector_bench "$video"
echo
echo "face models on the sample photos and variants made from them (recall, precision, mouth under roll, identity):"
"$build"/faces_quality_bench "$photos"/sample1.jpg "$photos"/sample2.jpg "$photos"/sample3.jpg "$photos"/sample4.jpg \
  "$photos"/sample5.jpg "$photos"/sample6.jpg
