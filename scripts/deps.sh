#!/usr/bin/env bash
# Installs the Debian packages that a job of this repository needs and the
# machine lacks:
#
#     scripts/deps.sh demo     what scripts/demo.sh and the README's commands
#                              after it need (the native build, nc)
#     scripts/deps.sh check    what scripts/check.sh needs (every preset,
#                              the cross build, qemu-user, clang, packaging)
#     scripts/deps.sh bench    what scripts/bench.sh needs (the release build
#                              with its benchmarks, python-can for the
#                              comparison, rt-tests' cyclictest for the
#                              machine's wake-up latency)
#
# As root it runs apt-get; otherwise it prints the apt-get line to run and
# exits with status 1. Nothing is printed when nothing is missing.
set -euo pipefail

demo=(cmake ninja-build g++ pkg-config zlib1g-dev libcli11-dev nlohmann-json3-dev libedit-dev help2man netcat-openbsd)
check=("${demo[@]}" libgtest-dev libgmock-dev googletest libbenchmark-dev binutils dpkg-dev
    g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user clang-14 libclang-rt-14-dev
    python3-can python3-canmatrix can-utils chromium)
bench=("${demo[@]}" libgtest-dev libgmock-dev libbenchmark-dev python3-can rt-tests)

case "${1:-}" in
    demo) packages=("${demo[@]}") ;;
    check) packages=("${check[@]}") ;;
    bench) packages=("${bench[@]}") ;;
    *)
        echo "usage: $0 demo|check|bench" >&2
        exit 2
        ;;
esac

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "${package}" 2>/dev/null | grep -q "install ok installed" || missing+=("${package}")
done
((${#missing[@]})) || exit 0

if [[ $(id -u) != 0 ]]; then
    echo "missing Debian packages; install them with:" >&2
    echo "    sudo apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
