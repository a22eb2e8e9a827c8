#!/usr/bin/env bash
# Milliseconds per run of each built-in model (face detection, face mesh, identity, pose detector,
# person segmenter, text detector) on one and two threads, XNNPACK beside the runner's own kernels,
# with the one-thread time split by operator kind; then reading and planning the models of
# `matte --image` once in a fresh process, as a run of the command does.
set -euo pipefail
cd "$(dirname "$0")/.."
./build/neural_bench "${1:-15}"
echo
./build/model_load_bench
