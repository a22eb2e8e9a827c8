#!/usr/bin/env bash
# Runs every benchmark section in order; each prints its own figures.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/bench
for section in bench/[0-9][0-9]-*.sh; do
  [ -e "$section" ] || continue
  echo "== $(basename "$section" .sh)"
  bash "$section"
done
