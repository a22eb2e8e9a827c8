#!/usr/bin/env bash
# Text line quality: lines burnt into the sample photos (1920x1080 frames) in five styles, five
# heights and three DejaVu faces, read by `faces` at --width 640 and 1280. Prints per style and
# height the character error rate (a line never found counts as all wrong) and the lines found,
# the lines invented beside the burnt ones and on the photos without text (per 100 frames), the
# CPU time per text frame, and where it goes (build/text_parts_bench). Usage: bench/60-text.sh [OTHER_KOV_VISION...] to put other builds beside
# this one (for instance the main branch's).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/bench/text
mkdir -p "$out"
photos=node_modules/@vladmandic/face-api/demo
fonts=(/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
       /usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf)
# One line per photo: mixed case, capitals, digits and punctuation. Written for drawtext (the colon
# escaped) and, after the bar, as it should read.
lines=("Meet me at 12\\:45 today|Meet me at 12:45 today"
       "Only \$9.99 for two kits|Only \$9.99 for two kits"
       "Write to team@example.com|Write to team@example.com"
       "HELLO WORLD 2026|HELLO WORLD 2026"
       "Doors open at 7\\:30 PM|Doors open at 7:30 PM"
       "A/B testing, round 3|A/B testing, round 3")
declare -A styles=(
  [control]="fontcolor=white:box=1:boxcolor=black:boxborderw=0"
  [subtitle]="fontcolor=white:borderw=4:bordercolor=black"
  [dark-box]="fontcolor=white:box=1:boxcolor=black@0.5:boxborderw=12"
  [light-box]="fontcolor=0x202020:box=1:boxcolor=0xf4f4f4@0.85:boxborderw=12"
  [coloured]="fontcolor=0xffc020"
)
order=(control subtitle dark-box light-box coloured)
heights=(2 3 4 6 8)

# A 6 s video at 6 fps, second i the photo i with its line in `style` at `percent` % of 1080.
make_clip() {
  local style=$1 percent=$2 file=$3 inputs=() filters="" i
  for i in 1 2 3 4 5 6; do
    inputs+=(-loop 1 -framerate 6 -t 1 -i "$photos/sample$i.jpg")
    local text=${lines[$((i - 1))]%%|*} font=${fonts[$(( (i - 1) % 3 ))]} size=$((1080 * percent / 100))
    local draw=""
    [ "$style" != none ] && draw=",drawtext=fontfile=$font:text='$text':fontsize=$size:${styles[$style]}:x=(w-tw)/2:y=h*0.78"
    filters+="[$((i - 1))]scale=1920:1080:force_original_aspect_ratio=increase,crop=1920:1080$draw,setsar=1,fps=6[v$i];"
  done
  ffmpeg -loglevel error -y "${inputs[@]}" -filter_complex "${filters}[v1][v2][v3][v4][v5][v6]concat=n=6:v=1[v]" \
    -map "[v]" -c:v libx264 -qp 0 -pix_fmt yuv420p "$file"
}

for style in "${order[@]}"; do
  for h in "${heights[@]}"; do
    [ -f "$out/$style-$h.mp4" ] || make_clip "$style" "$h" "$out/$style-$h.mp4"
  done
done
[ -f "$out/none.mp4" ] || make_clip none 0 "$out/none.mp4"

tools=(./build/kov-vision "$@")
for tool in "${tools[@]}"; do
  echo "-- $tool (load average $(cut -d' ' -f1-3 /proc/loadavg); figures on a shared machine are noisy)"
  for width in 640 1280; do
    results=()
    for style in "${order[@]}" none; do
      for h in "${heights[@]}"; do
        clip=$out/$style-$h.mp4
        [ "$style" = none ] && clip=$out/none.mp4
        report=$out/report-$style-$h-$width.json
        "$tool" faces "$clip" --start 0 --end 6 --fps 1 --text-every 1 --print-every 0 --width "$width" > "$report"
        results+=("$style $h $report")
        [ "$style" = none ] && break
      done
    done
    node bench/text/score.js "$width" "${lines[@]#*|}" -- "${results[@]}"
  done
  # CPU per text frame: the same run with and without text, at the default width.
  t_on=$( { /usr/bin/time -f "%U %S" "$tool" faces "$out/subtitle-4.mp4" --start 0 --end 6 --fps 1 --text-every 1 >/dev/null; } 2>&1 | tail -1)
  t_off=$( { /usr/bin/time -f "%U %S" "$tool" faces "$out/subtitle-4.mp4" --start 0 --end 6 --fps 1 --text-every 0 >/dev/null; } 2>&1 | tail -1)
  awk -v on="$t_on" -v off="$t_off" 'BEGIN { split(on, a, " "); split(off, b, " ");
    printf "CPU per text frame at --width 640: %.0f ms (6 text frames, user+sys with text minus without)\n", ((a[1] + a[2]) - (b[1] + b[2])) * 1000 / 6 }'
done
# Where a text frame's CPU goes: detector, recogniser per line, width plans, loads and Tesseract's start.
if [ -x ./build/text_parts_bench ]; then ./build/text_parts_bench "$out/subtitle-4.mp4"; fi
