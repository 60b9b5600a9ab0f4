#!/usr/bin/env bash
# The dynamic symbols that libcustomapp.so defines, demangled and sorted, one
# a line, compared with the list kept in the repository for the architecture.
#   exported-symbols.sh check  NM LIBRARY LIST   fails on any difference
#   exported-symbols.sh update NM LIBRARY LIST   rewrites LIST
set -euo pipefail
if (($# != 4)) || [[ $1 != check && $1 != update ]]; then
    echo "usage: $0 check|update NM LIBRARY LIST" >&2
    exit 2
fi
mode=$1 nm=$2 library=$3 list=$4

current=$(mktemp)
trap 'rm -f "${current}"' EXIT
# "<address> <type> <name>": keep the name; C locale for a stable order.
"${nm}" -D --defined-only -C "${library}" | sed -E 's/^[0-9a-fA-F]+ +[A-Za-z] +//' | LC_ALL=C sort -u >"${current}"
if [[ ! -s ${current} ]]; then
    echo "no exported symbol found in ${library}" >&2
    exit 1
fi

if [[ ${mode} == update ]]; then
    cp "${current}" "${list}"
    echo "wrote $(wc -l <"${list}") symbols to ${list}"
    exit 0
fi

if [[ ! -f ${list} ]]; then
    echo "no symbol list ${list} for this architecture; create it with the abi-update-symbols target" >&2
    exit 1
fi
if ! diff -u --label "kept: ${list##*/}" --label "built: ${library##*/}" "${list}" "${current}"; then
    echo "libcustomapp.so exports another set of symbols than ${list}." >&2
    echo "If the change is deliberate, run the abi-update-symbols target (once per architecture) and commit the list." >&2
    exit 1
fi
echo "$(wc -l <"${current}") exported symbols, as listed in ${list##*/}"
