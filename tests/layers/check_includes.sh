#!/usr/bin/env bash
# check_includes.sh ROOT FOLDER:BELOW,... - every quoted include of a product folder's
# files names a file of that folder, of a folder it stands on, or the platform header.
set -euo pipefail
root=$1
shift
status=0
for rule in "$@"; do
  folder=${rule%%:*}
  allowed=" $(tr ',' ' ' <<<"$folder ${rule#*:}" | xargs) "
  while IFS= read -r hit; do
    file=${hit%%:*} rest=${hit#*:}
    line=${rest%%:*}
    include=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"${rest#*:}")
    top=${include%%/*}
    if [[ $include == platform/* && $include != platform/win32.h ]]; then
      echo "${file#"$root"/}:$line: includes $include; product code includes only platform/win32.h"
      status=1
    elif [[ $include != */* || ( $top != platform && $allowed != *" $top "* ) ]]; then
      echo "${file#"$root"/}:$line: $folder/ includes $include; it may include only from:$allowed(and platform/win32.h)"
      status=1
    fi
  done < <(find "$root/$folder" -name '*.h' -o -name '*.cpp' | sort |
           xargs grep -Hn -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' || true)
done
if [[ $# -eq 0 ]]; then echo "no product folders given"; status=1; fi
exit $status
