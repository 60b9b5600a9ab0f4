#!/usr/bin/env bash
# Runs test cases under valgrind's memcheck, each in a process of its own (as
# ctest does), two at a time. A case fails on any memcheck error or a
# definite or indirect leak. Uses the dev build (built if needed).
#   MEMCHECK_SUITES="faults core"       suites to run (default: the fault suite
#                                       and every unit suite but the simulator's)
#   MEMCHECK_FILTER='PlatformDeath.*'   only the cases matching this pattern
set -euo pipefail
cd "$(dirname "$0")/.."

read -r -a suites <<<"${MEMCHECK_SUITES:-faults platform core can j1939 j1708 eeprom plugin}"
filter=${MEMCHECK_FILTER:-*}
build=build/dev
cmake --preset dev >/dev/null
cmake --build --preset dev -j 2 >/dev/null

logs="${build}/memcheck"
rm -rf "${logs}"
mkdir -p "${logs}"
cases="${logs}/cases.txt"
: >"${cases}"
for suite in "${suites[@]}"; do
    binary="${build}/tests/${suite}_tests"
    "${binary}" --gtest_list_tests --gtest_filter="${filter}" | awk -v binary="${binary}" '
        /^[^ ]/ { group = $1; next }
        /^  / { print binary " " group $1 }' >>"${cases}"
done
echo "memcheck: $(wc -l <"${cases}") test cases"

# The soak runs briefly here: memcheck slows the library some fifty times.
export CUSTOMAPP_SOAK_SECONDS=${CUSTOMAPP_SOAK_SECONDS:-3}
# The resident size it samples is valgrind's; the descriptors stay checked.
export CUSTOMAPP_SOAK_RESIDENT_NOT_OURS=1
run_case() {
    local binary=$1 name=$2 logs=$3
    local log="${logs}/${name//\//_}.log"
    if valgrind --tool=memcheck --error-exitcode=97 --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --num-callers=30 \
        "${binary}" --gtest_filter="${name}" >"${log}" 2>&1; then
        echo "ok   ${name}"
    else
        echo "FAIL ${name} (${log})"
    fi
}
export -f run_case
start=${SECONDS}
xargs -P 2 -L 1 bash -c 'run_case "$0" "$1" '"${logs}" <"${cases}" | tee "${logs}/summary.txt"
failed=$(grep -c '^FAIL' "${logs}/summary.txt" || true)
passed=$(grep -c '^ok' "${logs}/summary.txt" || true)
echo "memcheck: $((SECONDS - start)) s"
echo "memcheck: ${passed} passed, ${failed} failed"
((failed == 0))
