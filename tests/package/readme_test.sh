#!/usr/bin/env bash
# The README as a user follows it: its C++ listing is examples/quickstart.cpp
# as it stands, and its "Run it on a PC" and pkg-config commands work as
# written in a folder laid out as after scripts/demo.sh (the installation
# made from BUILD, the example programs of BUILD). /tmp/gw becomes a scratch
# folder; the test waits, as a user would, for the simulator's endpoint
# before it starts the application and for the application to be set up
# before it injects a frame.
#
#     tests/package/readme_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
readme="${source_dir}/README.md"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "${work}"' EXIT
fail() { echo "readme: $*" >&2; exit 1; }

# The indented block that follows the heading $1 ($2: the how-manyth block).
block() {
    awk -v heading="$1" -v wanted="${2:-1}" '
        $0 == heading { inside = 1; count = 0; previous = ""; next }
        inside && /^#/ { exit }
        inside && /^    / { if (previous !~ /^    /) count++; if (count == wanted) print substr($0, 5) }
        inside { previous = $0 }' "${readme}"
}

sed -n '/^```cpp$/,/^```$/p' "${readme}" | sed '1d;$d' >"${work}/listing.cpp"
diff -u "${source_dir}/examples/quickstart.cpp" "${work}/listing.cpp" ||
    fail "the README's listing is not examples/quickstart.cpp"

cd "${work}"
cmake --install "${build}" --prefix "${work}/build/release/install" >/dev/null
mkdir -p build/release/consumer
ln -s "${build}/examples/quickstart" build/release/consumer/quickstart
run=$(block "### Run it on a PC")
[[ -n ${run} ]] || fail "no commands under 'Run it on a PC'"
run=${run//\/tmp\/gw/${work}/gw}
out="${work}/run.out"
while IFS= read -r line; do
    if [[ ${line} == GATREL_ENDPOINT=* ]]; then
        for _ in $(seq 200); do
            [[ -S ${work}/gw/endpoint ]] && break
            sleep 0.1
        done
    fi
    if [[ ${line} == printf* ]]; then
        for _ in $(seq 200); do
            grep -q "start number" "${out}" 2>/dev/null && break
            sleep 0.1
        done
    fi
    eval "${line}" >>"${out}" 2>&1
done <<<"${run}"
grep -q "EEPROM 0: start number 1" "${out}" || fail "quickstart did not start: $(cat "${out}")"
grep -q "received on can0: 100 \[2\] 0F A0" "${out}" || fail "the injected frame did not arrive: $(cat "${out}")"
grep -q "CAN subscription can0 id 100" "${out}" || fail "list did not show the subscription: $(cat "${out}")"

build_own=$(block "### Build your own" 2)
[[ ${build_own} == *pkg-config* ]] || fail "no pkg-config commands under 'Build your own'"
build_own=${build_own//\/tmp\/gw/${work}/gw}
build_own=${build_own//\/tmp\/quickstart/${work}/quickstart}
gateway-sim --endpoint "${work}/gw/endpoint" --data "${work}/gw/data" --no-prompt --quiet &
for _ in $(seq 100); do [[ -S ${work}/gw/endpoint ]] && break; sleep 0.1; done
# Run from the scratch folder, which holds build/ and the repository's examples/.
ln -s "${source_dir}/examples" "${work}/examples"
(eval "${build_own}") >"${work}/own.out" 2>&1 ||
    fail "the pkg-config commands failed: $(cat "${work}/own.out")"
grep -q "EEPROM 0: start number 2" "${work}/own.out" || fail "the pkg-config build did not run: $(cat "${work}/own.out")"
echo "readme: the listing is the example, and its commands work as written"
