#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# check_dll.sh OBJDUMP DLL VERSION "EXPORT..." ["SPOOLER-CALL..."] ["SYSTEM-DLL..."]
# ["RESOURCE-TYPE..."] — the DLL (or program) exports exactly these names; imports only
# system DLLs (its runtime is linked in statically; the further system DLLs it may
# import are named) and each spooler call from SPOOLSS.dll alone, never WINSPOOL.DRV;
# keeps the PE hardening flags; carries a VERSIONINFO with this version and its own
# file name, InternalName and CompanyName, and the resources named (MESSAGETABLE,
# MANIFEST).
set -euo pipefail
objdump=$1 dll=$2 version=$3 expected=$4 spooler=${5:-} more=${6:-} resources=${7:-}
allowed="KERNEL32.dll USER32.dll ADVAPI32.dll SPOOLSS.dll msvcrt.dll $more"
strings=${objdump%objdump}strings

dump=$("$objdump" -p "$dll")
status=0
fail() { echo "$*"; status=1; }

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t&&!/^[ \t]*\[/{t=0}' <<<"$dump" | sort | tr '\n' ' ' | sed 's/ $//')
want=$(tr ' ' '\n' <<<"$expected" | sort | tr '\n' ' ' | sed 's/ $//')
[[ "$exports" == "$want" ]] || fail "exports differ: got [$exports], want [$want]"

imports=$(awk '/DLL Name:/{print $3}' <<<"$dump" | sort -u)
for dllname in $imports; do
  ok=0
  for a in $allowed; do [[ "${dllname,,}" == "${a,,}" ]] && ok=1; done
  [[ $ok == 1 ]] || fail "imports non-system DLL: $dllname"
done

# "<dll> <function>" for every imported function.
functions=$(awk '/DLL Name:/{dll=toupper($3); next} dll!="" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/{print dll, $3} /^$/{dll=""}' <<<"$dump")
for call in $spooler; do
  from=$(awk -v f="$call" '$2==f{print $1}' <<<"$functions" | sort -u | tr '\n' ' ' | sed 's/ $//')
  [[ "$from" == "SPOOLSS.DLL" ]] || fail "$call imported from [$from], want [SPOOLSS.DLL]"
done

# Address-space layout randomisation (64-bit) and no execution from data pages.
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  awk '/^DllCharacteristics/{t=1;next} t&&/^\t\t/{print $1;next} {t=0}' <<<"$dump" |
    grep -qx "$flag" || fail "PE flag $flag missing"
done

# The version resource's strings, each key followed by its value (UTF-16 in the file).
resource=$("$strings" -el -n 1 "$dll")
value() { awk -v k="$1" 'prev==k{print; exit} {prev=$0}' <<<"$resource"; }
for key in FileVersion ProductVersion; do
  [[ "$(value "$key")" == "$version" ]] || fail "$key [$(value "$key")], want [$version]"
done
[[ "$(value OriginalFilename)" == "$(basename "$dll")" ]] ||
  fail "OriginalFilename [$(value OriginalFilename)], want [$(basename "$dll")]"
[[ "$(value ProductName)" == "spoolgate" ]] || fail "ProductName [$(value ProductName)]"
[[ "$(value CompanyName)" == "the spoolgate authors" ]] || fail "CompanyName [$(value CompanyName)]"
# The name it was built as: the file's name without its extension.
name=$(basename "$dll")
[[ "$(value InternalName)" == "${name%.*}" ]] ||
  fail "InternalName [$(value InternalName)], want [${name%.*}]"
# The numbers of the fixed part (FILEVERSION) are the string's.
fixed=$(od -An -v -tx1 "$dll" | tr -d ' \n' | grep -o 'bd04effe00000100.\{16\}' | head -1)
if [[ -n $fixed ]]; then
  word() { echo $((16#${fixed:$(($1 + 2)):2}${fixed:$1:2})); }  # 16-bit little-endian
  numbers="$(word 20).$(word 16).$(word 28).$(word 24)"
  [[ "$numbers" == "$version" ]] || fail "FILEVERSION $numbers, want $version"
else
  fail "no VS_FIXEDFILEINFO"
fi
[[ -n "$(value FileDescription)" && -n "$(value LegalCopyright)" ]] ||
  fail "FileDescription or LegalCopyright missing"

# Resource types at the top of the resource directory (three spaces deep in objdump's
# listing).
for type in $resources; do
  case $type in
    MESSAGETABLE) id=0x00000b ;;
    MANIFEST)
      id=0x000018
      # A program's manifest runs it with its caller's rights.
      [[ $("$strings" -n 8 "$dll") == *'requestedExecutionLevel level="asInvoker"'* ]] ||
        fail "the manifest does not ask for asInvoker" ;;
    *) fail "unknown resource type $type"; continue ;;
  esac
  grep -qE "^[0-9a-f]+   Entry: ID: $id," <<<"$dump" || fail "no $type resource"
done

echo "exports: $exports"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
echo "version: $(value FileVersion) ($(value FileDescription))"
[[ -z $resources ]] || echo "resources: $resources"
exit $status
