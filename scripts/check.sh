#!/usr/bin/env bash
# Builds and runs the whole test suite three times: natively, under
# AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=(dev asan tsan)
passed=0
for preset in "${presets[@]}"; do
    echo "=== ${preset}: configure, build, test"
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "$(nproc)"
    log="build/${preset}/ctest.log"
    ctest --preset "${preset}" 2>&1 | tee "${log}"
    count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "${log}" | tail -n 1)
    passed=$((passed + ${count:-0}))
done
echo "check: ${passed} passed, 0 failed"
