#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Windows release from the win64 build: the administrator's installer
# (spoolgate-VERSION-x64.msi: spoolgate.exe, its documents and the monitoring script,
# built with wixl) and the driver vendor's kit (spoolgate-VERSION-win64.zip: both DLLs,
# the INF template, the event source's .reg and the vendor's guide), signing every PE
# file and the MSI with osslsigncode when given a certificate, and SHA256SUMS of both.
#
# Usage: scripts/release.sh [options]
#   --build DIR          a built win64 tree (default: build/win64, configured and built here)
#   --out DIR            where the release goes (default: build/release)
#   --msi-version V      the MSI's version instead of the files' (tests of upgrades only)
#   --msi-only           build the MSI alone
#  Signing (nothing is signed without one of the two; nothing secret on the command line):
#   --pkcs12 FILE        certificate and key in a PKCS#12 file
#   --cert FILE --key K  certificate chain (PEM or DER) and key: a PEM file, or a PKCS#11
#                        URI ("pkcs11:token=...;object=...") with --pkcs11-module
#   --pkcs11-module SO   the token's PKCS#11 module (e.g. the OpenSC module)
#   --timestamp URL      an RFC 3161 time-stamping server (recommended for releases)
#  The password of the key (or the token's PIN) is read from the file named by
#  SPOOLGATE_SIGN_PASSWORD_FILE, or taken from SPOOLGATE_SIGN_PASSWORD; it never appears
#  on a command line.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

build="" out=build/release msi_version="" msi_only=0
pkcs12="" cert="" key="" module="" timestamp=""
while (($#)); do
  case $1 in
    --build) build=$2; shift ;;
    --out) out=$2; shift ;;
    --msi-version) msi_version=$2; shift ;;
    --msi-only) msi_only=1 ;;
    --pkcs12) pkcs12=$2; shift ;;
    --cert) cert=$2; shift ;;
    --key) key=$2; shift ;;
    --pkcs11-module) module=$2; shift ;;
    --timestamp) timestamp=$2; shift ;;
    -h|--help) sed -n '3,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "release: unknown option $1 (--help lists them)" >&2; exit 2 ;;
  esac
  shift
done
die() { echo "release: $*" >&2; exit 1; }
for tool in wixl msibuild msiinfo zip; do
  command -v $tool >/dev/null || die "$tool is missing (scripts/deps.sh installs it)"
done
if [[ -n $pkcs12 && -n $cert ]]; then die "--pkcs12 or --cert, not both"; fi
if [[ -n $cert && -z $key ]] || [[ -n $key && -z $cert ]]; then die "--cert and --key go together"; fi
if [[ -n $module && $key != pkcs11:* ]]; then die "--pkcs11-module needs --key pkcs11:URI"; fi
signing=0
if [[ -n $pkcs12 || -n $cert ]]; then
  signing=1
  command -v osslsigncode >/dev/null || die "osslsigncode is missing (scripts/deps.sh installs it)"
fi

if [[ -z $build ]]; then
  build=build/win64
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 -j"${JOBS:-2}" >/dev/null || die "the win64 build failed"
fi
for f in version.txt tools/spoolgate.exe tools/spoolgate-msi-action.dll plugin/spoolgate.dll \
         logger/ruzoravu64.dll; do
  [[ -f $build/$f ]] || die "missing $build/$f: build the win64 preset first"
done
version=$(<"$build/version.txt")
# The version names a commit: changes not committed would ship under its name.
if [[ -n $(git -C "$source" status --porcelain --untracked-files=no 2>/dev/null) ]]; then
  echo "release: warning: the tree has changes not committed; $version names the last commit" >&2
fi
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "unreadable version '$version' in $build/version.txt"
msi_version=${msi_version:-$version}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/spoolgate-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

# sign FILE: signs it in place (Authenticode, SHA-256), with the password from a file
# descriptor, never from the command line.
sign() {
  local file=$1
  local args=(sign -h sha256 -n "spoolgate" -in "$file" -out "$file.signed")
  if [[ -n $pkcs12 ]]; then
    args+=(-pkcs12 "$pkcs12")
  else
    args+=(-certs "$cert" -key "$key")
    [[ -z $module ]] || args+=(-pkcs11module "$module")
  fi
  [[ -z $timestamp ]] || args+=(-ts "$timestamp")
  if [[ -n ${SPOOLGATE_SIGN_PASSWORD_FILE:-} ]]; then
    args+=(-readpass "$SPOOLGATE_SIGN_PASSWORD_FILE")
    osslsigncode "${args[@]}" >"$work/sign.log" 2>&1
  elif [[ -n ${SPOOLGATE_SIGN_PASSWORD:-} ]]; then
    args+=(-readpass /dev/fd/3)
    osslsigncode "${args[@]}" 3< <(printf '%s' "$SPOOLGATE_SIGN_PASSWORD") >"$work/sign.log" 2>&1
  else
    osslsigncode "${args[@]}" >"$work/sign.log" 2>&1
  fi || { cat "$work/sign.log" >&2; rm -f "$file.signed"; die "signing $(basename "$file") failed"; }
  mv "$file.signed" "$file"
}

# The PE files, copied out of the build tree and signed there, so that a later
# build never mixes signed and unsigned copies.
mkdir -p "$work/pe"
cp "$build/tools/spoolgate.exe" "$build/tools/spoolgate-msi-action.dll" "$build/plugin/spoolgate.dll" \
   "$build/logger/ruzoravu64.dll" "$work/pe/"
if ((signing)); then
  for f in "$work"/pe/*; do sign "$f"; done
fi

# A text file for Windows: CRLF line ends, whatever the checkout gave.
crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }

# The MSI: wixl finds the files by name beside the .wxs.
stage=$work/msi
mkdir -p "$stage"
cp packaging/spoolgate.wxs "$work/pe/spoolgate.exe" "$work/pe/spoolgate-msi-action.dll" "$stage/"
cp docs/deployment.md docs/accounting-log.md docs/accounting-database.md "$stage/"
crlf tools/winkit/check-accounting.cmd "$stage/check-accounting.cmd"
msi=$out/spoolgate-$msi_version-x64.msi
rm -f "$msi"
(cd "$stage" && wixl -a x64 -D Version="$msi_version" -o "$msi" spoolgate.wxs) >"$work/wixl.log" 2>&1 ||
  { cat "$work/wixl.log" >&2; die "wixl failed"; }
# What wixl does not write: the inclusive maximum of the Upgrade row that finds earlier
# builds (0x100 minimum inclusive | 0x200 maximum inclusive), and the properties that
# reach the installation's server side in a managed (Group Policy) install.
table() {  # table NAME AWK-PROGRAM: rewrites one table of the MSI through awk
  msiinfo export "$msi" "$1" | awk -F'\t' 'BEGIN{OFS="\t"; ORS="\r\n"} {sub(/\r$/, "")} '"$2"' {print}' \
    >"$work/$1.idt"
  msibuild "$msi" -i "$work/$1.idt"
}
table Upgrade '$7 == "SPOOLGATE_OLDER" {$5 = 768}'
table Property '$1 == "SecureCustomProperties" {$2 = $2 ";LOGDIR;MAXKIB;PRINTER"}'
[[ $(msiinfo export "$msi" Upgrade) == *$'\t768\t\tSPOOLGATE_OLDER'* ]] || die "the Upgrade table was not updated"
((signing)) && sign "$msi"
echo "$msi"
((msi_only)) && exit 0

# The driver vendor's kit.
kit=spoolgate-$version-win64
mkdir -p "$work/$kit"
cp "$work/pe/spoolgate.dll" "$work/pe/ruzoravu64.dll" examples/event-source.reg "$work/$kit/"
crlf packaging/driver/README.md "$work/$kit/README.md"
# DriverVer: the date of the commit built (the build's own date without git) and the
# files' version.
date=$(git -C "$source" log -1 --format=%cd --date=format:%m/%d/%Y 2>/dev/null || date -u +%m/%d/%Y)
sed "s|^DriverVer *=.*|DriverVer   = $date,$version|" packaging/driver/spoolgate.inf >"$work/inf"
crlf "$work/inf" "$work/$kit/spoolgate.inf"
zip_file=$out/$kit.zip
rm -f "$zip_file"
(cd "$work" && zip -q -X -r "$zip_file" "$kit")
echo "$zip_file"
(cd "$out" && sha256sum "$(basename "$msi")" "$kit.zip" >SHA256SUMS)
echo "$out/SHA256SUMS"
