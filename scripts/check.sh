#!/usr/bin/env bash
# First installs what the machine lacks (scripts/deps.sh check). Then builds
# the library alone with clang and its thread-safety analysis (warnings are
# errors; no tests). Then builds and runs the whole test suite
# five times: natively, under
# AddressSanitizer with UndefinedBehaviorSanitizer, under ThreadSanitizer, and
# for the 32-bit ARM target under qemu-arm, plainly and under AddressSanitizer
# with UndefinedBehaviorSanitizer (ThreadSanitizer does not exist there).
# After the arm preset, tests/package/arm_sdk.sh checks the ARM SDK package
# against the native simulator of the dev preset, and tests/package/debs.sh
# installs the Debian packages of both, uses and removes them (as root). Then "fuzz" builds the fuzz
# targets with clang and runs each for FUZZ_SECONDS (default 25; see
# scripts/fuzz.sh).
# CHECK_PRESETS="dev arm" runs a subset.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh check

read -r -a presets <<<"${CHECK_PRESETS:-thread-safety dev asan tsan arm arm-asan fuzz}"
jobs=$(nproc)
if ((jobs > 2)); then jobs=2; fi
passed=0
timings=()
for preset in "${presets[@]}"; do
    echo "=== ${preset}: configure, build, test"
    start=${SECONDS}
    if [[ ${preset} == fuzz ]]; then
        # Not a CMake preset: the fuzz targets are a clang project of their own.
        mkdir -p build
        bash scripts/fuzz.sh | tee build/fuzz.log
        count=$(grep -c '^fuzz .*: [0-9]* executions' build/fuzz.log || true)
        passed=$((passed + ${count:-0}))
        timings+=("fuzz $((SECONDS - start)) s")
        continue
    fi
    if [[ ${preset} == thread-safety ]]; then
        # The library only: the locking annotations are checked at compile time.
        cmake --preset "${preset}" >/dev/null
        cmake --build --preset "${preset}" -j "${jobs}"
        timings+=("${preset} $((SECONDS - start)) s")
        continue
    fi
    cmake --preset "${preset}" >/dev/null
    cmake --build --preset "${preset}" -j "${jobs}"
    log="build/${preset}/ctest.log"
    ctest --preset "${preset}" 2>&1 | tee "${log}"
    count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "${log}" | tail -n 1)
    passed=$((passed + ${count:-0}))
    timings+=("${preset} $((SECONDS - start)) s")

    if [[ ${preset} == arm ]]; then
        echo "=== arm: figures of the target build"
        strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' build/arm/CMakeCache.txt)
        "${strip}" -o build/arm/libcustomapp.stripped.so build/arm/libcustomapp.so
        echo "libcustomapp.so stripped: $(stat -c %s build/arm/libcustomapp.stripped.so) bytes"
        echo "emulated under qemu-arm:"
        ctest --preset arm -R '^abi\.idle_footprint$' --verbose 2>&1 | sed -n 's/^[0-9]*: //p' | grep -v -e '^Test command' -e '^Working Directory' -e '^Test timeout'
        # The SDK package on the target against the native simulator, which
        # the dev preset built.
        if [[ -x build/dev/sim/gateway-sim && -x build/dev/tests/integration/integration_peer ]]; then
            echo "=== arm: the SDK package"
            bash tests/package/arm_sdk.sh build/arm build/dev
            passed=$((passed + 1))
            if [[ $(id -u) == 0 ]]; then
                echo "=== arm: the Debian packages installed, used and removed"
                bash tests/package/debs.sh build/arm build/dev
                passed=$((passed + 1))
            else
                echo "=== arm: the Debian packages are checked as root only (not run)"
            fi
        else
            echo "=== arm: the SDK package is checked after the dev preset (not run)"
        fi
    fi
done
echo "=== time per preset (configure, build, test): ${timings[*]}"
echo "check: ${passed} passed, 0 failed"
