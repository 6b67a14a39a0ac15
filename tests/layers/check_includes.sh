#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# check_includes.sh ROOT LAYER:BELOW,... - every quoted include of a product layer's
# files names a file of that layer, of a layer it stands on, or the platform header. A
# layer is a folder ("core"), or the files <unit>.* of a folder that holds two layers
# ("core/spooler_info"); the rest of that folder is the folder's layer.
# check_includes.sh ROOT --within tools LAYER:BELOW,... - the same for the folders of
# tools/ ("common", "replay"), whose includes name them as "tools/common/..."; what they
# include from outside tools/ (the product, the platform) is not checked here.
# Either way the units (a.h with a.cpp) the checked files make include each other in no
# cycle.
set -euo pipefail
root=$1
shift
within=
if [[ ${1:-} == --within ]]; then
  within=$2
  shift 2
fi
base=$root${within:+/$within}
status=0
edges=""
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
    relative=${file#"$base"/}
    [[ $(layer_of "${relative%.*}") == "$layer" ]] || continue
    include=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"${rest#*:}")
    shown=${within:+$within/}$relative
    if [[ -n $within ]]; then
      [[ $include == "$within"/* ]] || continue
      include=${include#"$within"/}
    fi
    edges+="${relative%.*} ${include%.*}"$'\n'
    if [[ -n $within ]]; then
      if [[ $allowed != *" $(layer_of "${include%.*}") "* ]]; then
        echo "$shown:$line: $layer includes $within/$include; it may include only from:$allowed"
        status=1
      fi
    elif [[ $include == platform/* && $include != platform/win32.h ]]; then
      echo "$shown:$line: includes $include; product code includes only platform/win32.h"
      status=1
    elif [[ $include != */* ||
            ( ${include%%/*} != platform && $allowed != *" $(layer_of "${include%.*}") "* ) ]]; then
      echo "$shown:$line: $layer includes $include; it may include only from:$allowed(and platform/win32.h)"
      status=1
    fi
  done < <(find "$base/$folder" -name '*.h' -o -name '*.cpp' | sort |
           xargs grep -Hn -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' || true)
done
if [[ $# -eq 0 ]]; then echo "no product folders given"; status=1; fi
# Two units that include each other (a.cpp includes b.h, which includes a.h) are one unit
# in two halves; tsort names the units of each cycle.
if ! cycles=$(tsort <<<"$edges" 2>&1 >/dev/null) || [[ -n $cycles ]]; then
  echo "an include cycle:" $(grep -v 'input contains a loop' <<<"$cycles" | sed 's/^tsort: //')
  status=1
fi
exit $status
