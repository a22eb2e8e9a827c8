// Scores `faces` reports of the text benchmark. Arguments: width, the six expected lines, "--",
// then "style height report.json" triples. A burnt line (at 78 % of the height) is found when a
// reported line's box covers that row; other reported lines are invented.
const fs = require('fs');
const args = process.argv.slice(2);
const width = args[0];
const split = args.indexOf('--');
const truth = args.slice(1, split);
const runs = args.slice(split + 1).map((s) => s.split(' '));

function distance(a, b) {
  a = [...a];
  b = [...b];
  let row = Array.from({ length: b.length + 1 }, (_, j) => j);
  for (let i = 1; i <= a.length; i++) {
    let diagonal = row[0];
    row[0] = i;
    for (let j = 1; j <= b.length; j++) {
      const above = row[j];
      row[j] = Math.min(row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] === b[j - 1] ? 0 : 1));
      diagonal = above;
    }
  }
  return row[b.length];
}

const rows = [];
let invented = 0, inventedFrames = 0, textless = 0, textlessFrames = 0;
for (const [style, height, file] of runs) {
  const report = JSON.parse(fs.readFileSync(file, 'utf8'));
  let errors = 0, chars = 0, found = 0, exact = 0;
  report.frames.forEach((frame, i) => {
    const lines = frame.text || [];
    if (style === 'none') {
      textless += lines.length;
      textlessFrames++;
      return;
    }
    const expected = truth[i];
    const row = 0.78 + (height / 100) * 0.5;
    const burnt = lines.filter((l) => l.y <= row && row <= l.y + l.h);
    const read = burnt.map((l) => l.s).join(' ');
    invented += lines.length - burnt.length;
    inventedFrames++;
    chars += expected.length;
    errors += burnt.length ? Math.min(distance(read, expected), expected.length) : expected.length;
    found += burnt.length ? 1 : 0;
    exact += read === expected ? 1 : 0;
  });
  if (style !== 'none') rows.push({ style, height, cer: errors / chars, found, exact, frames: report.frames.length });
}
console.log(`--width ${width}: style, line height (% of 1080), character error rate, lines found / exact of 6`);
for (const r of rows)
  console.log(`  ${r.style.padEnd(10)} ${String(r.height).padStart(2)} %  CER ${(100 * r.cer).toFixed(0).padStart(3)} %  found ${r.found}/6  exact ${r.exact}/6`);
const all = rows.reduce((s, r) => s + r.cer, 0) / rows.length;
const tall = rows.filter((r) => r.height >= 4);
console.log(`  mean CER ${(100 * all).toFixed(0)} % (lines >= 4 %: ${(100 * tall.reduce((s, r) => s + r.cer, 0) / tall.length).toFixed(0)} %)`);
const found3 = rows.filter((r) => r.height >= 3);
console.log(`  lines >= 3 % high found: ${found3.reduce((s, r) => s + r.found, 0)} of ${found3.reduce((s, r) => s + r.frames, 0)}`);
console.log(`  invented lines per 100 frames: ${(100 * invented / inventedFrames).toFixed(1)} beside the burnt lines, ${(100 * textless / Math.max(textlessFrames, 1)).toFixed(1)} on photos without text`);
