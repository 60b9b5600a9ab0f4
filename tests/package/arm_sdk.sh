#!/usr/bin/env bash
# The ARM SDK as an application developer takes it: packs the SDK of an ARM
# build, unpacks it, builds the example applications against it with the
# toolchain file it installs and find_package(CustomApp), and runs
# vehicle_app under qemu-arm against the native simulator, where it
# exchanges frames with a native application (the integration tests' peer):
# the peer's cyclic row 100 reaches vehicle_app's receive row, vehicle_app's
# cyclic row 321 reaches the peer. Then the small truck of examples/vehicle/:
# its scenario runs on the native simulator, with the truck's DBC and nodes,
# against truck_gateway built for ARM and run under qemu-arm.
#
#     tests/package/arm_sdk.sh ARM_BUILD NATIVE_BUILD
set -euo pipefail
arm=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
    exec 3>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do
        kill "${pid}" 2>/dev/null || true
        wait "${pid}" 2>/dev/null || true
    done
    rm -rf "${work}"
}
trap cleanup EXIT

(cd "${arm}" && cpack -G TGZ >/dev/null)
tar xzf "${arm}"/customapp-sdk-*-armhf.tar.gz -C "${work}"
sdk=$(echo "${work}"/customapp-sdk-*-armhf)
[[ -f ${sdk}/lib/libcustomapp.so ]]
PKG_CONFIG_PATH="${sdk}/lib/pkgconfig" pkg-config --cflags customapp | grep -q -- "-I${sdk}/"

cmake -S "${source_dir}/examples/consumer" -B "${work}/app" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="${sdk}/share/customapp/arm-linux-gnueabihf.cmake" >/dev/null
cmake --build "${work}/app" --target vehicle_app truck_gateway -j 2 >/dev/null
readelf -h "${work}/app/vehicle_app" | grep -q "Machine: *ARM"
readelf -h "${work}/app/truck_gateway" | grep -q "Machine: *ARM"

control="${work}/control"
"${native}/sim/gateway-sim" --endpoint "${work}/endpoint" --data "${work}/data" --control "${control}" \
    --no-prompt --quiet &
pids+=($!)
for _ in $(seq 100); do
    "${native}/sim/gateway-sim-control" --timeout 1000 "${control}" list >/dev/null 2>&1 && break
    sleep 0.1
done
export GATREL_ENDPOINT="${work}/endpoint"

mkfifo "${work}/peer.in"
"${native}/tests/integration/integration_peer" 101 <"${work}/peer.in" >"${work}/peer.out" &
pids+=($!)
exec 3>"${work}/peer.in"
echo "can-init 0 100 64" >&3  # row 100 every 0x64 = 100 ms

qemu-arm -L /usr/arm-linux-gnueabihf "${work}/app/vehicle_app" 4 100 >"${work}/vehicle.out"
exec 3>&-
wait "${pids[1]}"

status=0
grep -q "^CAN    can0 100 \[4\] C0 FF EE 00  (row: speed request)" "${work}/vehicle.out" || status=1
grep -q "^can 0 321 0 " "${work}/peer.out" || status=1
if [[ ${status} != 0 ]]; then
    echo "--- vehicle_app (ARM):"; cat "${work}/vehicle.out"
    echo "--- peer (native):"; cat "${work}/peer.out"
    echo "arm SDK: FAILED"
    exit 1
fi

# The scenario starts truck_gateway from PATH: here, the ARM build under qemu.
mkdir -p "${work}/arm-bin" "${work}/truck"
printf '#!/bin/sh\nexec qemu-arm -L /usr/arm-linux-gnueabihf "%s" "$@"\n' "${work}/app/truck_gateway" \
    >"${work}/arm-bin/truck_gateway"
chmod +x "${work}/arm-bin/truck_gateway"
vehicle="${source_dir}/examples/vehicle"
if ! PATH="${work}/arm-bin:${PATH}" "${native}/sim/gateway-sim" --endpoint "${work}/truck/endpoint" \
        --data "${work}/truck/data" --quiet --dbc "${vehicle}/truck.dbc" --nodes "${vehicle}/truck.nodes" \
        --script "${vehicle}/truck.scenario" >"${work}/truck.out" 2>"${work}/truck.err"; then
    echo "--- truck.scenario with truck_gateway (ARM):"; cat "${work}/truck.out" "${work}/truck.err"
    echo "arm SDK: FAILED"
    exit 1
fi
echo "arm SDK: vehicle_app built against the unpacked SDK exchanged frames under qemu-arm with a native application;"
echo "arm SDK: truck_gateway passed examples/vehicle/truck.scenario under qemu-arm"
