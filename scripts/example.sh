#!/usr/bin/env bash
# Sets up the machine, builds libVorlan and runs the example program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-example -G Ninja -DVORLAN_TESTS=OFF >/dev/null
cmake --build build-example -j "$(nproc)" --target vorlan-example
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT
./build-example/vorlan-example "$workdir"
