#!/usr/bin/env bash
# Builds the fuzz targets with clang (their own project in fuzz/) and runs
# each for FUZZ_SECONDS (default 25: ten targets and the build stay within
# about seven minutes) from its seed corpus, after replaying
# the inputs kept in fuzz/regressions/. Prints the executions per target.
# FUZZ_TARGETS="wire_format can_receive" runs a subset.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-25}
read -r -a targets <<<"${FUZZ_TARGETS:-wire_format can_receive j1939_receive j1708_receive eeprom_reply plugin_ipc socketcand sim_command sim_log_line sim_control sim_requests sim_scenario}"
build=build/fuzz
compiler=${FUZZ_CXX:-clang++-14}

cmake -S fuzz -B "${build}" -G Ninja -DCMAKE_CXX_COMPILER="${compiler}" >/dev/null
cmake --build "${build}" -j 2

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
summary=()
for target in "${targets[@]}"; do
    binary="${build}/fuzz_${target}"
    kept="fuzz/regressions/${target}"
    if [[ -d ${kept} ]] && compgen -G "${kept}/*" >/dev/null; then
        echo "=== fuzz ${target}: replaying kept inputs"
        "${binary}" "${kept}"/*
    fi
    # The seeds stay as they are; what the run adds goes to the build folder.
    work="${build}/corpus/${target}"
    mkdir -p "${work}" "${build}/artifacts"
    log="${build}/${target}.log"
    echo "=== fuzz ${target}: ${seconds} s"
    if ! "${binary}" -max_total_time="${seconds}" -max_len=8192 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="${build}/artifacts/${target}-" "${work}" "fuzz/corpus/${target}" >"${log}" 2>&1; then
        tail -n 60 "${log}"
        echo "fuzz ${target}: FAILED (log ${log}, input in ${build}/artifacts/)"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}" | tail -n 1)
    coverage=$(grep -o 'cov: [0-9]*' "${log}" | tail -n 1 || true)
    echo "fuzz ${target}: ${runs:-0} executions in ${seconds} s (${coverage:-cov: ?})"
    summary+=("${target} ${runs:-0}")
done
echo "=== fuzz executions: ${summary[*]}"
