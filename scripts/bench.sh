#!/usr/bin/env bash
# Builds the release preset and prints every figure of BENCHMARKS.md in one
# run: the machine, the end-to-end harness (bench/e2e), python-can's virtual
# bus for comparison (needs Debian's python3-can), and the receive-table
# micro-benchmarks. Arguments go to the harness (customapp_e2e --help-less:
# --frames N, --cyclic-seconds S, --idle-seconds S, --repeats R). The
# simulator's full-load run (bench/e2e/FullLoad.cpp) lasts FULLLOAD_SECONDS
# (default 60); the replay runs (bench/e2e/ReplayLoad.cpp) last
# REPLAY_SECONDS of log each (default 30), at REPLAY_BITRATE kbit/s (default
# 1000).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
if ((jobs > 2)); then jobs=2; fi
# The demo configures this tree without the tests; the benchmarks need them.
cmake --preset release -DCUSTOMAPP_BUILD_TESTS=ON >/dev/null
cmake --build --preset release -j "${jobs}" --target customapp_e2e customapp_bench customapp_fullload customapp_replayload customapp_wakeprobe >/dev/null

echo "=== machine"
echo "nproc: $(nproc)"
lscpu | grep -E '^(Model name|CPU\(s\)|Thread\(s\) per core|Hypervisor vendor|Virtualization type)' || true
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "=== end to end"
e2e=$(build/release/bench/customapp_e2e "$@")
echo "${e2e}"

echo "=== python-can virtual bus"
# -P: the repository's can/ folder must not shadow the package.
if /usr/bin/python3 -P -c 'import can.interfaces.virtual' 2>/dev/null; then
    py=$(/usr/bin/python3 -P bench/python/python_can_virtual.py)
    echo "${py}"
    ours=$(sed -n 's/^end to end, platform writer to CAN callback: *\([0-9]*\) frames.*/\1/p' <<<"${e2e}")
    theirs=$(sed -n 's/.*median \([0-9]*\) frames\/s.*/\1/p' <<<"${py}")
    if [[ -n ${ours} && -n ${theirs} && ${theirs} -gt 0 ]]; then
        echo "end to end / python-can: $(awk -v a="${ours}" -v b="${theirs}" 'BEGIN { printf "%.0f", a / b }') times"
    fi
else
    echo "python3-can is not installed (apt-get install python3-can); comparison skipped"
fi

echo "=== the machine's wake-ups (every timing figure includes them)"
build/release/bench/customapp_wakeprobe 10
echo "=== receive paths by table size, record encoding and decoding (time per item, median of 5)"
build/release/bench/customapp_bench --benchmark_filter='BM_CANReceive|BM_ParseFrame|BM_Serialize|BM_J1939|BM_J1708' --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '_median|^Benchmark|^-'
echo "=== simulator at full load (8 applications, 5 buses without wire time)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
build/release/bench/customapp_fullload --seconds "${FULLLOAD_SECONDS:-60}" || echo "full load: frames were lost or disordered"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "=== simulator at 90 % of five 1 Mbit/s buses (8 applications, wire time)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
build/release/bench/customapp_fullload --seconds "${FULLLOAD_SECONDS:-60}" --bitrate 1000 --frames-per-bus 7050 \
    --wire-latency 1 || echo "full load: frames were lost or disordered"
echo "=== replay at truck rate (8 applications, 5 buses, the log's timing)"
# 90 % of five 1 Mbit/s buses with 8-byte frames: p99 within 1 ms of the due
# time, under a quarter of a core.
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
build/release/bench/customapp_replayload --seconds "${REPLAY_SECONDS:-30}" --rate 30500 \
    --bitrate "${REPLAY_BITRATE:-1000}" || echo "replay: frames were lost or disordered"
# A truck's worst log, beyond what 1 Mbit/s buses carry: every frame within
# 2 s of the log's end.
build/release/bench/customapp_replayload --seconds "${REPLAY_SECONDS:-30}" --rate 105000 \
    --bitrate "${REPLAY_BITRATE:-unlimited}" || echo "replay: frames were lost or disordered"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "=== signal decoding against canmatrix (1,000,000 frames, 200 messages)"
if /usr/bin/python3 -P -c 'import canmatrix' 2>/dev/null; then
    bash scripts/bench-signals.sh
else
    echo "python3-canmatrix is not installed (apt-get install python3-canmatrix); comparison skipped"
fi
