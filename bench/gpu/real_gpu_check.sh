#!/usr/bin/env bash
# Runs the GPU preview pass on this machine's own GPU (software adapters
# refused, as in the worker) and compares it with the CPU render of the same
# preview. Needs a Vulkan driver for the GPU (or Metal on macOS) and the
# dependencies scripts/setup installs.
#   bench/gpu/real_gpu_check.sh [bench_gpu options, e.g. --size 4000 --runs 5]
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${BUILD:-build}"
if [[ ! -f third_party/webgpu/libwebgpu_wrapper.so ]]; then
  scripts/setup
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSTITCH_TESTS=ON -DSTITCH_BENCH=ON >/dev/null
cmake --build "$build" --target bench_gpu -j "$(nproc)"
"$build/bench/bench_gpu" --real-gpu "$@"
