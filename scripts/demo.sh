#!/usr/bin/env bash
# The main job: installs what the machine lacks (scripts/deps.sh), builds the library, the simulator and the examples (release
# preset), installs them into build/release/install, builds the example
# applications against the installed package, then starts gateway-sim on a
# temporary endpoint, data folder and control socket and runs the example
# applications against it while frames are injected through the control
# socket. Prints what the applications received and the bus log, then stops
# everything and removes the temporary folder. Every wait is bounded.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh demo

jobs=$(nproc)
if ((jobs > 2)); then jobs=2; fi

echo "=== build (release preset) and install"
cmake --preset release -DCUSTOMAPP_BUILD_TESTS=OFF >/dev/null
cmake --build --preset release -j "${jobs}"
prefix="$(pwd)/build/release/install"
cmake --install build/release --prefix "${prefix}" >/dev/null
cmake -S examples/consumer -B build/release/consumer -G Ninja -DCMAKE_PREFIX_PATH="${prefix}" >/dev/null
cmake --build build/release/consumer -j "${jobs}"
apps="$(pwd)/build/release/consumer"
sim="${prefix}/bin/gateway-sim"
ctl="${prefix}/bin/gateway-sim-control"

echo "=== the version example"
"${apps}/version_report"

work=$(mktemp -d "${TMPDIR:-/tmp}/gateway-demo.XXXXXX")
endpoint="${work}/endpoint"
control="${work}/control"
sim_pid=""
app_pid=""

# Ends a process: SIGTERM, then SIGKILL if it is still there after 5 s.
stop_process() {
    local pid=$1
    [[ -n ${pid} ]] || return 0
    kill -TERM "${pid}" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "${pid}" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "${pid}" 2>/dev/null || true
    wait "${pid}" 2>/dev/null || true
}
cleanup() {
    stop_process "${app_pid}"
    stop_process "${sim_pid}"
    rm -rf "${work}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the simulator with its CAN log in $1.log and its J1708 log in $1-j1708.log.
start_simulator() {
    "${sim}" --endpoint "${endpoint}" --data "${work}/data" --control "${control}" \
        --no-prompt --quiet --log "$1.log" --j1708-log "$1-j1708.log" &
    sim_pid=$!
    # Up once its control socket answers; at most 10 s.
    for _ in $(seq 100); do
        if ! kill -0 "${sim_pid}" 2>/dev/null; then
            echo "gateway-sim ended at start" >&2
            exit 1
        fi
        "${ctl}" --timeout 1000 "${control}" list >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "gateway-sim did not come up in 10 s" >&2
    exit 1
}

# Waits (at most 10 s) until the output of `list` contains $1.
await_list() {
    for _ in $(seq 100); do
        "${ctl}" "${control}" list 2>/dev/null | grep -q -- "$1" && return 0
        sleep 0.1
    done
    echo "timed out waiting for '$1' in the simulator's list" >&2
    exit 1
}

# Runs an example in the background against the simulator.
start_app() {
    local output=$1
    shift
    GATREL_ENDPOINT="${endpoint}" timeout 60 "$@" >"${output}" 2>&1 &
    app_pid=$!
}
finish_app() {
    local status=0
    wait "${app_pid}" || status=$?
    app_pid=""
    return "${status}"
}

mkdir -p "${work}/data/plugin-files"
printf 'Calibration table for the plug-in example\n' >"${work}/data/plugin-files/mode0.bin"
head -c 10000 /dev/zero | tr '\0' 'x' >"${work}/data/plugin-files/mode1.bin"

echo "=== gateway-sim on ${endpoint}"
start_simulator "${work}/bus"

echo "=== vehicle_app for 4 s, frames injected through the control socket"
start_app "${work}/vehicle.out" "${apps}/vehicle_app" 4 100
await_list "J1708 subscription"
"${ctl}" "${control}" \
    'can0 100#0FA0' \
    'can0 203#01.02.03' \
    'can0 7E8#0241050000000000' \
    'can0 18DAF100#021001' \
    'can1 18FEF100#00003C00000000FF' \
    'can1 18EA8000#00EE00' \
    'can1 0CF00400#FF7D7D401F00FFFF' \
    'j1708 80#5402' \
    'j1708 8C#B91234'
finish_app
echo "=== what vehicle_app received and did"
cat "${work}/vehicle.out"
echo "=== timing of the cyclic frames"
"${ctl}" "${control}" timing
echo "=== the bus log (CAN)"
cat "${work}/bus.log"
echo "=== the bus log (J1708)"
cat "${work}/bus-j1708.log"

echo "=== the simulator restarted; vehicle_app again: its start counter lives on in the EEPROM"
stop_process "${sim_pid}"
sim_pid=""
start_simulator "${work}/bus2"
start_app "${work}/vehicle2.out" "${apps}/vehicle_app" 1 100
finish_app
grep "EEPROM start number" "${work}/vehicle2.out"

echo "=== plugin_job: the operator starts two jobs"
start_app "${work}/plugin.out" "${apps}/plugin_job" 3 200 7
await_list "application 200:"
"${ctl}" "${control}" 'job 200 0 1 0' 'job 200 0 1 1'
finish_app
cat "${work}/plugin.out"
stop_process "${sim_pid}"
sim_pid=""

# The demonstration counts only if the injected frames arrived.
for expected in "(row: speed request)" "(row: diagnostics 200-20F)" "(catch-all, extended)" \
    "(row: vehicle speed" "(row: engine)" "MID 8C" "EEPROM start number 1 "; do
    if ! grep -qF -- "${expected}" "${work}/vehicle.out"; then
        echo "demo: vehicle_app did not report '${expected}'" >&2
        exit 1
    fi
done
grep -q "EEPROM start number 2 " "${work}/vehicle2.out" || { echo "demo: the start counter was lost" >&2; exit 1; }
grep -q "matches the summary" "${work}/plugin.out" || { echo "demo: plugin_job did not read its file" >&2; exit 1; }
echo "=== demo: done"
