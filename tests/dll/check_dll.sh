#!/usr/bin/env bash
# check_dll.sh OBJDUMP DLL "EXPORT..." — the DLL exports exactly these names and imports
# only system DLLs (its runtime must be linked in statically).
set -euo pipefail
objdump=$1 dll=$2 expected=$3
allowed="KERNEL32.dll USER32.dll ADVAPI32.dll WINSPOOL.DRV msvcrt.dll"

dump=$("$objdump" -p "$dll")
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t&&!/^[ \t]*\[/{t=0}' <<<"$dump" | sort | tr '\n' ' ' | sed 's/ $//')
want=$(tr ' ' '\n' <<<"$expected" | sort | tr '\n' ' ' | sed 's/ $//')
status=0
if [[ "$exports" != "$want" ]]; then
  echo "exports differ: got [$exports], want [$want]"; status=1
fi
imports=$(awk '/DLL Name:/{print $3}' <<<"$dump" | sort -u)
for dllname in $imports; do
  ok=0
  for a in $allowed; do [[ "${dllname,,}" == "${a,,}" ]] && ok=1; done
  if [[ $ok == 0 ]]; then echo "imports non-system DLL: $dllname"; status=1; fi
done
echo "exports: $exports"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
exit $status
