#!/usr/bin/env bash
# The main job: builds and installs the library into the build tree, builds
# the example application against the installed package, and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release -DCUSTOMAPP_BUILD_TESTS=OFF >/dev/null
cmake --build --preset release -j "$(nproc)"
prefix="$(pwd)/build/release/install"
cmake --install build/release --prefix "${prefix}" >/dev/null
cmake -S examples/consumer -B build/release/consumer -G Ninja -DCMAKE_PREFIX_PATH="${prefix}" >/dev/null
cmake --build build/release/consumer
echo "=== running the example application against ${prefix}"
build/release/consumer/version_report
