#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Tests the Windows release (scripts/release.sh) from a built win64 tree: signs it with a
# throwaway certificate authority made here, checks the signatures against that
# authority alone, reads the MSI's tables and the driver kit, and under Wine (a prefix
# of its own, removed afterwards) installs the MSI silently, runs check and the
# monitoring script, upgrades to a later version and removes it. Also checks that the
# version of the commit before HEAD differs from HEAD's. One line per check,
# "release: NAME: ok" or "release: NAME: FAILED"; exit 1 when one fails.
# Usage: scripts/release-test.sh [build-dir]   (default build/win64, built beforehand)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/win64}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/spoolgate-release-test.XXXXXX")
export WINEPREFIX=$scratch/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
cleanup() {
  [[ -d $WINEPREFIX ]] && wineserver -k >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT
status=0
check() {  # check NAME COMMAND...: runs the command, prints NAME ok or FAILED
  local name=$1
  shift
  if "$@" >"$scratch/out" 2>&1; then
    echo "release: $name: ok"
  else
    echo "release: $name: FAILED"
    sed 's/^/    /' "$scratch/out" | tail -n 20
    status=1
  fi
}
same() {  # same WHAT GOT WANT
  [[ "$2" == "$3" ]] || { echo "$1: got [$2], want [$3]"; return 1; }
}

for f in version.txt tools/spoolgate.exe plugin/spoolgate.dll logger/ruzoravu64.dll; do
  [[ -f $build/$f ]] || { echo "release: FAILED (missing $build/$f: build the win64 preset first)"; exit 1; }
done
version=$(<"$build/version.txt")

# --- The version: MAJOR.MINOR.PATCH of CMakeLists.txt and the count of commits.
release=$(sed -nE 's/^project\(spoolgate VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
commits() { git rev-list "$1" | wc -l; }
versions_differ() {
  local head before tree=.
  head=$(cmake -DSPOOLGATE_COMMIT=HEAD -P cmake/Version.cmake) || return 1
  same "HEAD" "$head" "$release.$(commits HEAD)" || return 1
  # The build is of HEAD (the test command builds it just before).
  same "$build/version.txt" "$version" "$head" || return 1
  # A shallow clone holds no HEAD~1: a clone of it with one commit more has two.
  if ! git rev-parse -q --verify 'HEAD~1^{commit}' >/dev/null; then
    tree=$scratch/two-commits
    git clone -q "file://$PWD" "$tree" &&
      git -C "$tree" -c user.name=t -c user.email=t@t commit -q --allow-empty -m next || return 1
    head=$(cd "$tree" && cmake -DSPOOLGATE_COMMIT=HEAD -P cmake/Version.cmake) || return 1
  fi
  before=$(cd "$tree" && cmake -DSPOOLGATE_COMMIT=HEAD~1 -P cmake/Version.cmake) || return 1
  same "HEAD~1" "$before" "$release.$(cd "$tree" && commits HEAD~1)" && [[ $head != "$before" ]]
}
check "two commits carry different versions (HEAD and HEAD~1), the build carries HEAD's" versions_differ

# A source tree without git history of its own: build number 0, or the one named; one
# above 65535 (a version resource's part) is refused. Configured only, nothing built.
tarball() {
  local tree=$scratch/tarball
  mkdir -p "$tree/outer/src" || return 1
  git archive HEAD | tar -x -C "$tree/outer/src" || return 1
  # Unpacked inside another checkout, whose commits are not the tree's.
  git -C "$tree/outer" init -q && git -C "$tree/outer" -c user.name=t -c user.email=t@t \
    commit -q --allow-empty -m one || return 1
  local flags=(-G Ninja -DSPOOLGATE_TESTS=OFF -DSPOOLGATE_TOOLS=OFF)
  (unset SPOOLGATE_BUILD_NUMBER; cmake -S "$tree/outer/src" -B "$tree/a" "${flags[@]}") >"$tree/a.log" 2>&1 ||
    { tail "$tree/a.log"; return 1; }
  same "without git" "$(<"$tree/a/version.txt")" "$release.0" || return 1
  SPOOLGATE_BUILD_NUMBER=77 cmake -S "$tree/outer/src" -B "$tree/b" "${flags[@]}" >"$tree/b.log" 2>&1 ||
    { tail "$tree/b.log"; return 1; }
  same "SPOOLGATE_BUILD_NUMBER=77" "$(<"$tree/b/version.txt")" "$release.77" || return 1
  if cmake -S "$tree/outer/src" -B "$tree/c" "${flags[@]}" -DSPOOLGATE_BUILD_NUMBER=65536 >"$tree/c.log" 2>&1; then
    echo "build number 65536 accepted"
    return 1
  fi
  grep -q "not a whole number from 0 to 65535" "$tree/c.log"
}
check "a tree without git history: build number 0, or SPOOLGATE_BUILD_NUMBER; above 65535 refused" tarball

# --- A throwaway certificate authority and a code signing certificate it issued.
pki=$scratch/pki
make_pki() (
  mkdir -p "$pki" && cd "$pki" || return 1
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=spoolgate throwaway test CA" -addext basicConstraints=critical,CA:true \
    -addext keyUsage=critical,keyCertSign,cRLSign &&
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
    -subj "/CN=spoolgate throwaway signer" &&
  printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext &&
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile signer.ext -out signer.pem &&
  head -c 24 /dev/urandom | base64 >password &&
  openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem \
    -passout file:password -out signer.p12 &&
  # A second authority, which must not be able to vouch for what the first signed.
  openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 \
    -subj "/CN=spoolgate unrelated CA" -addext basicConstraints=critical,CA:true
)
check "throwaway certificate authority and code signing certificate (openssl)" make_pki

# --- The release, signed with the PKCS#12 file, its password read from a file.
out=$scratch/release
build_release() {
  SPOOLGATE_SIGN_PASSWORD_FILE=$pki/password scripts/release.sh --build "$build" --out "$out" \
    --pkcs12 "$pki/signer.p12"
}
check "scripts/release.sh builds and signs the MSI and the driver kit" build_release
msi=$out/spoolgate-$version-x64.msi
kit=spoolgate-$version-win64
mkdir -p "$scratch/kit" "$scratch/msi-files"
unzip -q "$out/$kit.zip" -d "$scratch/kit" 2>/dev/null
(cd "$scratch/msi-files" && msiextract "$msi" >/dev/null 2>&1)
exe_in_msi=$(find "$scratch/msi-files" -name spoolgate.exe | head -1)
msiinfo extract "$msi" Binary.SetupActionDll >"$scratch/action.dll" 2>/dev/null

verified() {  # verified CA FILE: osslsigncode trusts FILE's signature with CA as the only anchor
  osslsigncode verify -CAfile "$1" -in "$2" >"$scratch/verify" 2>&1
  grep -q '^Succeeded' "$scratch/verify" && ! grep -q '^Failed' "$scratch/verify"
}
signatures() {
  local f
  for f in "$msi" "$exe_in_msi" "$scratch/action.dll" "$scratch/kit/$kit/spoolgate.dll" \
           "$scratch/kit/$kit/ruzoravu64.dll"; do
    [[ -f $f ]] || { echo "missing $f"; return 1; }
    verified "$pki/ca.pem" "$f" || { echo "not verified: $f"; cat "$scratch/verify"; return 1; }
    # An authority that did not issue the signer's certificate must not vouch for it.
    if verified "$pki/other.pem" "$f"; then echo "verified by an unrelated CA: $f"; return 1; fi
  done
  # What the build tree holds stays unsigned: only the release's copies are signed.
  if verified "$pki/ca.pem" "$build/plugin/spoolgate.dll"; then
    echo "the build tree's spoolgate.dll was signed in place"
    return 1
  fi
}
check "the MSI, the program and the custom action in it and both DLLs of the kit carry signatures of the throwaway CA" signatures

# The other way in: a PEM chain and an encrypted PEM key, the password from the
# environment (handed to osslsigncode on a file descriptor).
pem_signing() {
  openssl pkey -in "$pki/signer.key" -aes256 -passout file:"$pki/password" -out "$pki/signer-locked.key" &&
    cat "$pki/signer.pem" "$pki/ca.pem" >"$pki/chain.pem" || return 1
  SPOOLGATE_SIGN_PASSWORD=$(<"$pki/password") scripts/release.sh --build "$build" --out "$scratch/pem" \
    --msi-only --cert "$pki/chain.pem" --key "$pki/signer-locked.key" >/dev/null || return 1
  verified "$pki/ca.pem" "$scratch/pem/spoolgate-$version-x64.msi" || { cat "$scratch/verify"; return 1; }
  # A wrong password signs nothing.
  if SPOOLGATE_SIGN_PASSWORD=wrong scripts/release.sh --build "$build" --out "$scratch/pem-wrong" \
       --msi-only --cert "$pki/chain.pem" --key "$pki/signer-locked.key" >/dev/null 2>&1; then
    echo "signed with a wrong password"
    return 1
  fi
}
check "--cert and --key (an encrypted PEM key, its password from the environment) sign the MSI" pem_signing

# --- The driver kit.
driver_kit() {
  local listing want
  listing=$(cd "$scratch/kit" && find . -type f | sort | tr '\n' ' ')
  want="./$kit/README.md ./$kit/event-source.reg ./$kit/ruzoravu64.dll ./$kit/spoolgate.dll ./$kit/spoolgate.inf "
  same "files" "$listing" "$want" || return 1
  local inf=$scratch/kit/$kit/spoolgate.inf
  # CRLF throughout, the printer class, the files' version in DriverVer, both DLLs copied
  # into the driver directory and found on the first disk.
  [[ $(grep -c $'\r$' "$inf") == $(wc -l <"$inf") ]] || { echo "not CRLF"; return 1; }
  local section
  section=$(sed -n '/^\[SPOOLGATE_FILES\]/,/^\r\{0,1\}$/p' "$inf" | tr -d '\r')
  grep -q '^Class *= *Printer'$'\r' "$inf" &&
    grep -qi '^ClassGuid *= *{4D36E979-E325-11CE-BFC1-08002BE10318}' "$inf" &&
    grep -qE "^DriverVer *= *[0-9]{2}/[0-9]{2}/[0-9]{4},$version"$'\r' "$inf" &&
    grep -q '^DefaultDestDir *= *66000' "$inf" &&
    grep -qE '^CopyFiles *=.*SPOOLGATE_FILES' "$inf" &&
    grep -qx 'spoolgate.dll' <<<"$section" && grep -qx 'ruzoravu64.dll' <<<"$section" &&
    grep -qE '^spoolgate.dll *= *1' "$inf" && grep -qE '^ruzoravu64.dll *= *1' "$inf" ||
    { echo "the INF lacks a section or entry"; cat "$inf"; return 1; }
  # The kit's DLLs are the build's, signed: the same bytes up to the signature.
  cmp -s "$scratch/kit/$kit/event-source.reg" examples/event-source.reg
}
check "the driver kit holds both DLLs, a printer INF that names them, the .reg and the guide" driver_kit

# --- The MSI's tables: what Windows Installer will do with it.
msi_tables() {
  local property
  property=$(msiinfo export "$msi" Property)
  grep -q $'^ProductVersion\t'"$version"$'\r' <<<"$property" || { echo "$property"; return 1; }
  grep -q $'^ALLUSERS\t1\r' <<<"$property" || { echo "not per machine"; return 1; }
  # A 64-bit package: only such a one may install into the 64-bit Program Files.
  local summary
  summary=$(msiinfo suminfo "$msi")
  grep -q '^Template: x64;' <<<"$summary" || { echo "$summary"; return 1; }
  # 1 (a DLL from the Binary table) + 0x400 (deferred) + 0x800 (not impersonated),
  # its command line from a property of its own name (type 51, which wixl writes with
  # 0x800 set): the installed program and LOGDIR.
  local actions
  actions=$(msiinfo export "$msi" CustomAction | tr -d '\r')
  grep -q $'^SetupAccounting\t3073\tSetupActionDll\tRunSetup' <<<"$actions" &&
    grep -qE $'^SetupCommandLine\t(51|2099)\tSetupAccounting\t"\\[#spoolgate.exe\\]" setup "\\[LOGDIR\\]"' <<<"$actions" ||
    { echo "$actions"; return 1; }
  # Earlier builds up to this one inclusive are removed; a later one is only detected.
  local upgrade
  upgrade=$(msiinfo export "$msi" Upgrade)
  grep -q $'\t0.0.0\t'"$version"$'\t\t768\t\tSPOOLGATE_OLDER' <<<"$upgrade" &&
    grep -q $'\t'"$version"$'\t\t\t2\t\tSPOOLGATE_NEWER' <<<"$upgrade" || { echo "$upgrade"; return 1; }
  # Setup runs after the files are copied and before InstallFinalize.
  local sequence
  sequence=$(msiinfo export "$msi" InstallExecuteSequence | tr -d '\r')
  local files setup finalize remove init
  files=$(awk -F'\t' '$1=="InstallFiles"{print $3}' <<<"$sequence")
  setup=$(awk -F'\t' '$1=="SetupAccounting"{print $3}' <<<"$sequence")
  finalize=$(awk -F'\t' '$1=="InstallFinalize"{print $3}' <<<"$sequence")
  init=$(awk -F'\t' '$1=="InstallInitialize"{print $3}' <<<"$sequence")
  remove=$(awk -F'\t' '$1=="RemoveExistingProducts"{print $3}' <<<"$sequence")
  ((files < setup && setup < finalize && init < remove && remove < files)) ||
    { echo "sequence: InstallInitialize $init RemoveExistingProducts $remove InstallFiles $files SetupAccounting $setup InstallFinalize $finalize"; return 1; }
  local names
  names=$(msiinfo export "$msi" File | tr -d '\r' | awk -F'\t' 'NR>3{print $3}' | sort | tr '\n' ' ')
  same "files" "$names" "accounting-database.md accounting-log.md check-accounting.cmd deployment.md spoolgate.exe "
}
check "the MSI: per machine, this version, setup deferred as LocalSystem after the files, upgrade rows" msi_tables

# --- Under Wine.
command -v wine >/dev/null || { echo "release: wine: FAILED (not installed)"; exit 1; }
win() { wine "$@" 2>>"$scratch/wine.log"; }
drive=$WINEPREFIX/drive_c
kitdir="$drive/Program Files/spoolgate"
prefix() {
  timeout 300 wineboot -i >"$scratch/wineboot.log" 2>&1 && wineserver -w &&
    # The DLLs where a driver package puts them, so that check finds them.
    mkdir -p "$drive/windows/system32/spool/drivers/x64/3" &&
    cp "$scratch/kit/$kit/spoolgate.dll" "$scratch/kit/$kit/ruzoravu64.dll" \
       "$drive/windows/system32/spool/drivers/x64/3/" &&
    cp "$msi" "$drive/kit.msi"
}
check "a Wine prefix with the driver's DLLs in the driver directory" prefix
msiexec() { win msiexec "$@" >>"$scratch/wine.log"; }
registry() {  # registry KEY VALUE: the value's data as reg query prints it
  win reg query "$1" /v "$2" | tr -d '\r' | awk -v v="$2" '$1==v{print $NF}'
}
uninstall_key() { win reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" >/dev/null; }
product_code() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1=="ProductCode"{print $2}'; }
code=$(product_code "$msi")
settings='HKLM\SOFTWARE\TALVOK\PrintLog'

refused() {
  # A relative directory: setup refuses it, so the installation fails and leaves nothing.
  if msiexec /i 'C:\kit.msi' /qn /l*v 'C:\refused.log' LOGDIR='Accounting\PrintLog'; then
    echo "installed"
    return 1
  fi
  # Setup's own words are in the installation's log.
  # (Windows writes the log in UTF-16 with a byte order mark, Wine in ANSI.)
  if [[ $(head -c 2 "$drive/refused.log" | od -An -tx1 | tr -d ' ') == fffe ]]; then
    iconv -f UTF-16 -t UTF-8 "$drive/refused.log" >"$scratch/refused.log"
  else
    cp "$drive/refused.log" "$scratch/refused.log"
  fi
  grep -q "Accounting.PrintLog: the log directory must be a full path" "$scratch/refused.log" ||
    { echo "setup's refusal is not in the log"; grep -i spoolgate "$scratch/refused.log"; return 1; }
  [[ ! -e $kitdir/spoolgate.exe ]] || { echo "spoolgate.exe left behind"; return 1; }
  ! uninstall_key "$code" || { echo "the product is registered"; return 1; }
}
check "msiexec /i /qn with a LOGDIR that setup refuses fails and leaves nothing installed" refused

# The account the jobs of this Wine prefix run as (setup's hidden option, as in the Wine
# suite): Wine cannot give the directory to the Administrators.
sid=S-1-5-21-0-0-0-1000
install() {
  msiexec /i 'C:\kit.msi' /qn LOGDIR='C:\Accounting\PrintLog' MAXKIB=2048 SPOOLERACCOUNT=$sid || return 1
  local f
  for f in spoolgate.exe deployment.md accounting-log.md accounting-database.md check-accounting.cmd; do
    [[ -f $kitdir/$f ]] || { echo "missing $f"; return 1; }
  done
  cmp -s "$kitdir/spoolgate.exe" "$exe_in_msi" || { echo "spoolgate.exe is not the MSI's"; return 1; }
  uninstall_key "$code" || { echo "$code not registered"; return 1; }
  [[ -d $drive/Accounting/PrintLog ]] || { echo "no log directory"; return 1; }
  same LogFileDirectory "$(registry "$settings" LogFileDirectory)" 'C:\Accounting\PrintLog' &&
    same MaxLogFileSize "$(registry "$settings" MaxLogFileSize)" 0x800
}
check "msiexec /i /qn LOGDIR=C:\\Accounting\\PrintLog MAXKIB=2048 installs the kit and runs setup" install

kit_program() {
  local v
  v=$(cd "$kitdir" && win spoolgate.exe --version | tr -d '\r')
  same "--version" "$v" "spoolgate $version" || return 1
  (cd "$kitdir" && win spoolgate.exe check --spooler-account $sid) >"$scratch/check.txt"
  local s=$?
  cat "$scratch/check.txt"
  ((s == 0))
}
check "the installed spoolgate.exe: --version carries the build's version; check finds nothing wrong" kit_program

open_parent() {
  # The folder above the log directory opened to every user (Wine reads a Linux mode of
  # 0777 as Everyone's full control): check names it, and says so in its exit status.
  chmod 0777 "$drive/Accounting" || return 1
  (cd "$kitdir" && win spoolgate.exe check --json --spooler-account $sid) >"$scratch/open.json"
  local s=$?
  chmod 0755 "$drive/Accounting"
  ((s == 1)) || { echo "check's exit status $s"; cat "$scratch/open.json"; return 1; }
  grep -q '"code": "permissions-parent-open"' "$scratch/open.json" ||
    { cat "$scratch/open.json"; return 1; }
}
check "after the MSI's setup, check names a folder above the log directory that Everyone may change" open_parent

monitoring() {
  # The script with a report of its own: its exit status is check's, its report check's JSON.
  (cd "$drive" && win cmd /c 'C:\Program Files\spoolgate\check-accounting.cmd' 'C:\Accounting\check.json')
  local s=$?
  (cd "$kitdir" && win spoolgate.exe check --json) >"$scratch/direct.json"
  local d=$?
  same "exit status" "$s" "$d" || return 1
  ((d != 0)) || { echo "check (judging for SYSTEM) found nothing wrong under Wine"; return 1; }
  [[ -f $drive/Accounting/check.json && ! -e $drive/Accounting/check.json.partial ]] ||
    { echo "no report, or the partial one left"; return 1; }
  grep -q '"result"' "$drive/Accounting/check.json" &&
    diff <(grep -v '"text"' "$drive/Accounting/check.json") <(grep -v '"text"' "$scratch/direct.json") ||
    { echo "the report is not check's JSON"; return 1; }
  # Without an argument: check.json above the log directory the settings name.
  rm -f "$drive/Accounting/check.json"
  (cd "$drive" && win cmd /c 'C:\Program Files\spoolgate\check-accounting.cmd')
  s=$?
  same "exit status without a report named" "$s" "$d" && [[ -s $drive/Accounting/check.json ]]
}
check "check-accounting.cmd keeps check's report and ends with check's exit status" monitoring

# --- Upgrades: to the next build of this release (Windows Installer compares three parts
# of a version, so only the inclusive maximum finds the earlier build), then to the next
# release; then the earlier version is refused; then removal.
build_next=$(awk -F. '{print $1 "." $2 "." $3 "." $4 + 1}' <<<"$version")
release_next=$(awk -F. '{print $1 "." $2 "." $3 + 1 "." $4}' <<<"$version")
upgrade_to() {  # upgrade_to VERSION FROM-CODE: builds the MSI of VERSION, installs it over FROM-CODE
  local v=$1 from=$2 file=$scratch/next/spoolgate-$1-x64.msi
  SPOOLGATE_SIGN_PASSWORD_FILE=$pki/password scripts/release.sh --build "$build" --out "$scratch/next" \
    --msi-version "$v" --msi-only --pkcs12 "$pki/signer.p12" >/dev/null || return 1
  cp "$file" "$drive/$v.msi"
  local to
  to=$(product_code "$file")
  [[ $to != "$from" ]] || { echo "the same ProductCode twice"; return 1; }
  msiexec /i "C:\\$v.msi" /qn || { echo "msiexec /i $v.msi failed"; return 1; }
  uninstall_key "$to" || { echo "$to ($v) not registered"; return 1; }
  ! uninstall_key "$from" || { echo "$from still registered beside $to ($v)"; return 1; }
  [[ -f $kitdir/spoolgate.exe ]] || { echo "spoolgate.exe gone"; return 1; }
  # Setup did not run again (no LOGDIR), and the settings stay as they were.
  same MaxLogFileSize "$(registry "$settings" MaxLogFileSize)" 0x800
}
upgrade() {
  upgrade_to "$build_next" "$code" || return 1
  upgrade_to "$release_next" "$(product_code "$drive/$build_next.msi")" || return 1
  # The earlier release is refused now.
  if msiexec /i 'C:\kit.msi' /qn; then echo "the earlier version was installed over the later"; return 1; fi
  uninstall_key "$(product_code "$drive/$release_next.msi")" && ! uninstall_key "$code"
}
check "upgrades from $version to $build_next and to $release_next; $version is then refused" upgrade

remove() {
  echo "kept" >"$drive/Accounting/PrintLog/history.csv"
  msiexec /x "C:\\$release_next.msi" /qn || return 1
  [[ ! -e $kitdir/spoolgate.exe && ! -e $kitdir/check-accounting.cmd ]] || { echo "files left"; return 1; }
  ! uninstall_key "$(product_code "$drive/$release_next.msi")" || { echo "still registered"; return 1; }
  # The log directory, its history and the settings stay (the plug-in keeps writing
  # where setup pointed it).
  [[ $(<"$drive/Accounting/PrintLog/history.csv") == kept ]] || { echo "history lost"; return 1; }
  same LogFileDirectory "$(registry "$settings" LogFileDirectory)" 'C:\Accounting\PrintLog'
}
check "msiexec /x removes the kit and keeps the log directory, its history and the settings" remove

exit $status
