#!/usr/bin/env bash
# scripts/deps.sh on a machine that lacks one package, with dpkg-query, id and
# apt-get replaced by stand-ins on PATH: as a user it prints the apt-get line
# for exactly that package and fails; as root it installs exactly that
# package; with nothing missing it does nothing and succeeds.
set -euo pipefail
script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/deps.sh"
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
mkdir "${work}/bin"
cat >"${work}/bin/dpkg-query" <<'STUB'
#!/bin/sh
for last; do :; done
[ "${last}" = "${MISSING:-}" ] && exit 1
printf 'install ok installed'
STUB
cat >"${work}/bin/id" <<'STUB'
#!/bin/sh
echo "${FAKE_UID}"
STUB
cat >"${work}/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"${APT_LOG}"
STUB
chmod +x "${work}"/bin/*
export PATH="${work}/bin:${PATH}" APT_LOG="${work}/apt.log"
fail() { echo "deps: $*" >&2; exit 1; }

status=0
MISSING=libcli11-dev FAKE_UID=1000 bash "${script}" demo >"${work}/out" 2>&1 || status=$?
[[ ${status} == 1 ]] || fail "as a user with a package missing: status ${status}, not 1"
grep -qx "    sudo apt-get install --no-install-recommends libcli11-dev" "${work}/out" ||
    fail "as a user: no apt-get line for libcli11-dev in: $(cat "${work}/out")"
[[ ! -e ${APT_LOG} ]] || fail "as a user it ran apt-get"

MISSING=qemu-user FAKE_UID=0 bash "${script}" check >/dev/null || fail "as root: status $?"
grep -qx "apt-get install -y -qq --no-install-recommends qemu-user" "${APT_LOG}" ||
    fail "as root: not the install of qemu-user: $(cat "${APT_LOG}")"

rm -f "${APT_LOG}"
MISSING=qemu-user FAKE_UID=1000 bash "${script}" demo >"${work}/out" 2>&1 || fail "nothing missing: status $?"
[[ ! -s ${work}/out && ! -e ${APT_LOG} ]] || fail "nothing missing, yet: $(cat "${work}/out")"
echo "deps: the missing package is named as a user and installed as root"
