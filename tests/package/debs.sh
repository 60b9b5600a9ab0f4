#!/usr/bin/env bash
# The Debian packages as a user meets them: builds the ARM SDK's package from
# an ARM build and the simulator's from a native one, installs both with
# dpkg -i, builds vehicle_app from the examples the SDK installed with the
# toolchain file it installed, runs it under qemu-arm against the installed
# simulator while a frame is injected with the installed control client,
# then removes both packages with dpkg -r and fails on any warning or on
# anything left behind. Needs root (CI runs as root); as a user it says so
# and does nothing.
#
#     tests/package/debs.sh ARM_BUILD NATIVE_BUILD
set -euo pipefail
arm=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
if [[ $(id -u) != 0 ]]; then
    echo "debs: not run (dpkg -i needs root)"
    exit 0
fi
sdk_package=customapp-sdk-armhf
packages=("${sdk_package}" gateway-sim)
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "${package}" 2>/dev/null | grep -q "install ok installed"; then
        echo "debs: ${package} is installed on this machine already; remove it first" >&2
        exit 1
    fi
done

work=$(mktemp -d)
installed=0
sim_pid=""
app_pid=""
cleanup() {
    for pid in ${app_pid} ${sim_pid}; do
        kill "${pid}" 2>/dev/null || true
        wait "${pid}" 2>/dev/null || true
    done
    if ((installed)); then dpkg -r "${packages[@]}" >/dev/null 2>&1 || true; fi
    rm -rf "${work}"
}
trap cleanup EXIT
fail() {
    echo "debs: FAILED: $*" >&2
    exit 1
}

(cd "${arm}" && cpack -G DEB >/dev/null)
(cd "${native}" && cpack -G DEB >/dev/null)
debs=("${arm}/${sdk_package}"_*_all.deb "${native}"/gateway-sim_*.deb)
installed=1
dpkg -i "${debs[@]}" >"${work}/install.log" 2>&1 || { cat "${work}/install.log"; fail "dpkg -i"; }

# What the packages put where a user looks for it.
for file in /usr/bin/gateway-sim /usr/bin/gateway-sim-control /usr/bin/gateway-sim-decode \
    /usr/share/man/man1/gateway-sim.1.gz /usr/share/man/man1/gateway-sim-control.1.gz \
    /usr/share/man/man1/gateway-sim-decode.1.gz /usr/share/doc/gateway-sim/copyright \
    "/usr/share/doc/${sdk_package}/copyright" "/usr/share/doc/${sdk_package}/examples/host/ExampleHost.cpp" \
    /usr/arm-linux-gnueabihf/lib/libcustomapp.so.2; do
    [[ -e ${file} ]] || fail "${file} was not installed"
done
if dpkg -L "${packages[@]}" | grep -qx -e /opt -e /usr/local; then fail "a package owns /opt or /usr/local"; fi

cmake -S "/usr/share/doc/${sdk_package}/examples/consumer" -B "${work}/app" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=/usr/arm-linux-gnueabihf/share/customapp/arm-linux-gnueabihf.cmake >/dev/null
cmake --build "${work}/app" --target vehicle_app version_report >/dev/null
readelf -h "${work}/app/vehicle_app" | grep -q "Machine: *ARM" || fail "vehicle_app is not an ARM program"

# One version: the packages', the programs' and the library's record.
version=$(dpkg-query -W -f='${Version}' gateway-sim)
[[ $(dpkg-query -W -f='${Version}' "${sdk_package}") == "${version}" ]] || fail "the packages' versions differ"
[[ $(gateway-sim --version) == "gateway-sim ${version}" ]] || fail "gateway-sim --version: $(gateway-sim --version)"
[[ $(gateway-sim-control --version) == "gateway-sim-control ${version}" ]] ||
    fail "gateway-sim-control --version: $(gateway-sim-control --version)"
record=$(qemu-arm -L /usr/arm-linux-gnueabihf "${work}/app/version_report" | head -n 1)
[[ ${record} == "Custom Application Interface Library ${version}, "* ]] || fail "the version record: ${record}"
[[ -e /usr/arm-linux-gnueabihf/lib/libcustomapp.so.${version} ]] || fail "no libcustomapp.so.${version}"

control="${work}/control"
gateway-sim --endpoint "${work}/endpoint" --data "${work}/data" --control "${control}" --no-prompt --quiet &
sim_pid=$!
GATREL_ENDPOINT="${work}/endpoint" qemu-arm -L /usr/arm-linux-gnueabihf "${work}/app/vehicle_app" 4 100 \
    >"${work}/vehicle.out" 2>&1 &
app_pid=$!
# The application is up once its J1708 subscription is listed; at most 20 s.
for _ in $(seq 200); do
    gateway-sim-control --timeout 1000 "${control}" list 2>/dev/null | grep -q "J1708 subscription" && break
    sleep 0.1
done
gateway-sim-control "${control}" 'can0 100#0FA0' >/dev/null
wait "${app_pid}" || fail "vehicle_app ended with status $?: $(cat "${work}/vehicle.out")"
app_pid=""
grep -qF "(row: speed request)" "${work}/vehicle.out" ||
    fail "vehicle_app did not receive the injected frame: $(cat "${work}/vehicle.out")"
kill "${sim_pid}"
wait "${sim_pid}" || true
sim_pid=""

dpkg -r "${packages[@]}" >"${work}/remove.log" 2>&1 || { cat "${work}/remove.log"; fail "dpkg -r"; }
installed=0
if grep -qi "warning" "${work}/remove.log"; then
    cat "${work}/remove.log"
    fail "dpkg -r warned"
fi
for left in /usr/bin/gateway-sim /usr/arm-linux-gnueabihf/share/customapp "/usr/share/doc/${sdk_package}" \
    /usr/arm-linux-gnueabihf/include/customapp; do
    [[ ! -e ${left} ]] || fail "${left} is left after dpkg -r"
done
echo "debs: installed, used (vehicle_app under qemu-arm against the installed simulator) and removed cleanly"
