#!/usr/bin/env bash
# Restarts the simulator's platform CYCLES times (default 200) under a
# running vehicle_app and prints the application's descriptors, threads and
# resident memory every 50 cycles, what the platform holds for it at the
# end, and how often one frame for one of its receive rows reached that
# row's callback (once when nothing was subscribed twice).
#
#     bash bench/e2e/restart-cycles.sh [CYCLES]
#
# Needs the release build (cmake --preset release && cmake --build build/release).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$PWD/build/release
cycles=${1:-200}
work=$(mktemp -d /tmp/restart-cycles-XXXXXX)
sim_pid=
app_pid=
finish() {
    [[ -n ${app_pid} ]] && kill "${app_pid}" 2>/dev/null && wait "${app_pid}" 2>/dev/null
    [[ -n ${sim_pid} ]] && kill "${sim_pid}" 2>/dev/null && wait "${sim_pid}" 2>/dev/null
    rm -rf "${work}"
}
trap finish EXIT

"${build}/sim/gateway-sim" --endpoint "${work}/endpoint" --data "${work}/data" --control "${work}/control" \
    --no-prompt --quiet --bitrate unlimited >"${work}/sim.out" 2>&1 &
sim_pid=$!
control() { "${build}/sim/gateway-sim-control" "${work}/control" "$@"; }
for _ in $(seq 1 100); do [[ -S ${work}/control ]] && break; sleep 0.05; done
GATREL_ENDPOINT=${work}/endpoint "${build}/examples/vehicle_app" 3600 101 >"${work}/app.out" 2>&1 &
app_pid=$!
connected() { control list 2>/dev/null | grep -q '^application 101: connected'; }
for _ in $(seq 1 100); do connected && break; sleep 0.05; done
sample() {
    echo "$1: descriptors $(ls "/proc/${app_pid}/fd" | wc -l), threads $(ls "/proc/${app_pid}/task" | wc -l)," \
        "resident $(awk '/^VmRSS/ {print $2}' "/proc/${app_pid}/status") kB"
}
sample "before"
for i in $(seq 1 "${cycles}"); do
    control restart >/dev/null
    for _ in $(seq 1 100); do connected && break; sleep 0.05; done
    sleep 0.1  # its registrations follow the connection
    if ((i % 50 == 0 || i == cycles)); then sample "after ${i} restarts"; fi
done
sleep 1
echo "what the platform holds for it:"
control list | sed -n '/^application 101/,/^application [0-9]/p'
before=$(grep -c 'row: speed request' "${work}/app.out" || true)
control 'can0 100#01' >/dev/null
sleep 0.5
after=$(grep -c 'row: speed request' "${work}/app.out" || true)
echo "one frame for its speed-request row reached the callback $((after - before)) time(s)"
