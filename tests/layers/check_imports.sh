#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# check_imports.sh HEADER NM host HOSTLIB LIBRARY...
# check_imports.sh HEADER NM windows OBJDUMP DLL... -- OBJECT...
# The Win32 functions the product imports are exactly those HEADER (the host layer's
# win32_api.h) declares, so that the two cannot drift.
# Host: an import is a symbol a product library leaves undefined that HOSTLIB defines,
# and HOSTLIB exports no other C function.
# Windows: an import is a function of the DLLs' import tables (the C runtime's aside)
# that a product object file references (dll_main.cpp's DisableThreadLibraryCalls is
# Windows-only and not in a layer).
set -euo pipefail
header=$1 nm=$2 platform=$3
shift 3

declared=$(tr '\n' ' ' <"$header" | grep -oE 'WINAPIV? +[A-Za-z0-9_]+\(' | sed -E 's/WINAPIV? +//; s/\(//' |
           sort -u)

status=0
if [[ $platform == host ]]; then
  hostlib=$1
  shift
  imported=$(comm -12 <("$nm" -D --defined-only "$hostlib" | awk '{print $3}' | sort -u) \
                      <("$nm" -D -u "$@" | awk '{print $2}' | sed 's/@.*//' | sort -u) |
             grep -v '^__wrap_' || true)
  # The layer's C functions (its controls are C++ and mangled) are its Win32 functions:
  # one the header does not declare serves nothing the product calls. A coverage build
  # adds gcc's profiling runtime (its data aside, __gcov_* and mangle_path).
  implemented=$("$nm" -D --defined-only "$hostlib" |
                awk '$2 == "T" && $3 !~ /^(_Z|__wrap_|__gcov_|mangle_path$)/ {print $3}' |
                sort -u)
  undeclared=$(comm -13 <(echo "$declared") <(echo "$implemented"))
  if [[ -n $undeclared ]]; then
    echo "exported by $(basename "$hostlib") but not declared in $(basename "$header"):" $undeclared
    status=1
  fi
else
  objdump=$1
  shift
  dlls=()
  while [[ $1 != -- ]]; do dlls+=("$1"); shift; done
  shift
  # The import tables without the C runtime's DLL, whose functions are not Win32.
  tables=$(for dll in "${dlls[@]}"; do "$objdump" -p "$dll"; done |
           awk '/DLL Name:/ {crt = tolower($3) ~ /^(msvcrt|ucrtbase|api-ms-win-crt)/; t = 1; next}
                t && !crt && NF >= 3 && $1 ~ /^[0-9a-f]+$/ {print $3}' | sort -u)
  referenced=$("$nm" -u "$@" | awk '{sub(/^__imp_/, "", $2); print $2}' | sort -u)
  imported=$(comm -12 <(echo "$referenced") <(echo "$tables"))
  missing=$(comm -23 <("$nm" -u "$@" | awk '$2 ~ /^__imp_/ {sub(/^__imp_/, "", $2); print $2}' |
                      sort -u) <(echo "$tables"))
  if [[ -n $missing ]]; then
    echo "imported by the product's objects but in no DLL's import table:" $missing
    exit 1
  fi
fi

extra=$(comm -23 <(echo "$declared") <(echo "$imported"))
missing=$(comm -13 <(echo "$declared") <(echo "$imported"))
if [[ -n $extra ]]; then
  echo "declared in $(basename "$header") but not imported by the product:" $extra
  status=1
fi
if [[ -n $missing ]]; then
  echo "imported by the product but not declared in $(basename "$header"):" $missing
  status=1
fi
echo "$(wc -w <<<"$imported") Win32 functions imported, $(wc -w <<<"$declared") declared"
exit $status
