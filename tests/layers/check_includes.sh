#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# check_includes.sh ROOT LAYER:BELOW,... - every quoted include of a product layer's
# files names a file of that layer, of a layer it stands on, or the platform header. A
# layer is a folder ("core"), or the files <unit>.* of a folder that holds two layers
# ("core/spooler_info"); the rest of that folder is the folder's layer.
set -euo pipefail
root=$1
shift
status=0
units=" "
for rule in "$@"; do
  [[ ${rule%%:*} == */* ]] && units+="${rule%%:*} "
done

# The layer a file (path relative to ROOT, without extension) belongs to.
layer_of() {
  local stem=$1
  if [[ $units == *" $stem "* ]]; then echo "$stem"; else echo "${stem%%/*}"; fi
}

for rule in "$@"; do
  layer=${rule%%:*}
  allowed=" $(tr ',' ' ' <<<"$layer ${rule#*:}" | xargs) "
  folder=${layer%%/*}
  while IFS= read -r hit; do
    file=${hit%%:*} rest=${hit#*:}
    line=${rest%%:*}
    relative=${file#"$root"/}
    [[ $(layer_of "${relative%.*}") == "$layer" ]] || continue
    include=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"${rest#*:}")
    if [[ $include == platform/* && $include != platform/win32.h ]]; then
      echo "$relative:$line: includes $include; product code includes only platform/win32.h"
      status=1
    elif [[ $include != */* ||
            ( ${include%%/*} != platform && $allowed != *" $(layer_of "${include%.*}") "* ) ]]; then
      echo "$relative:$line: $layer includes $include; it may include only from:$allowed(and platform/win32.h)"
      status=1
    fi
  done < <(find "$root/$folder" -name '*.h' -o -name '*.cpp' | sort |
           xargs grep -Hn -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' || true)
done
if [[ $# -eq 0 ]]; then echo "no product folders given"; status=1; fi
exit $status
