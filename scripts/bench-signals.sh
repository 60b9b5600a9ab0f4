#!/usr/bin/env bash
# The signal database's decoding rate beside canmatrix's (Debian's
# python3-canmatrix), in one run on the same DBC and the same frames:
# signaldb_bench (release preset) writes a DBC of 200 messages and a log of
# 1,000,000 frames, decodes them and counts its allocations once warm; then
# canmatrix decodes the same frames (all of them; CANMATRIX_FRAMES=N takes
# the first N, at about 10,000 frames/s). Prints both rates and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."

frames=${SIGNAL_FRAMES:-1000000}
cmake --preset release -DCUSTOMAPP_BUILD_TESTS=ON >/dev/null
cmake --build --preset release -j 2 --target signaldb_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT

ours=$(build/release/bench/signaldb_bench --messages 200 --frames "${frames}" --out "${work}")
echo "${ours}"
# -P: the repository's can/ folder must not shadow python's packages.
theirs=$(/usr/bin/python3 -P bench/python/canmatrix_decode_rate.py "${work}/bench.dbc" "${work}/bench-frames.txt" \
    ${CANMATRIX_FRAMES:-} 2>/dev/null)
echo "${theirs}"
a=$(sed -n 's/.*: \([0-9]*\) frames\/s.*/\1/p' <<<"${ours}")
b=$(sed -n 's/.*: \([0-9]*\) frames\/s.*/\1/p' <<<"${theirs}")
echo "signaldb / canmatrix: $(awk -v a="${a}" -v b="${b}" 'BEGIN { printf "%.0f", a / b }') times"
