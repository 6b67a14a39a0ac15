#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A throw-away OpenLDAP server for the directory tests: slapd with an mdb database in a
# temporary folder, listening on the loopback only, its users loaded with ldapadd.
# Source this file, then:
#
#   ldap_server_start [LDIF]  # sets SPOOLGATE_TEST_LDAP_URL, _BASE, _BIND_DN, _PASSWORD;
#                             # returns 1 when no server could start
#   ldap_server_stop          # stops the server and removes the folder (safe to call twice)
#
# The schema holds the attributes a Windows domain serves (sAMAccountName, department,
# as Debian's msuser.schema defines them) beside inetOrgPerson's (uid, displayName);
# the entries carry them through objectClass extensibleObject. LDAP_SERVER_BASE is the folder the temporary folder is made in (/tmp).
# Call ldap_server_stop from an EXIT trap so that the server goes away whatever happens.

ldap_server_dir=""

ldap_server_start() {
  local ldif=${1:-}
  if ! command -v slapd >/dev/null && [[ ! -x /usr/sbin/slapd ]]; then
    echo "ldap-server: no OpenLDAP server installed (package slapd)" >&2
    return 1
  fi
  ldap_server_dir=$(mktemp -d "${LDAP_SERVER_BASE:-/tmp}/spoolgate-ldap.XXXXXX") || return 1
  chmod 700 "$ldap_server_dir"
  mkdir "$ldap_server_dir/db"
  local password
  password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  local base="dc=example,dc=test" admin="cn=admin,dc=example,dc=test"
  cat >"$ldap_server_dir/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
include /etc/ldap/schema/nis.schema
include /etc/ldap/schema/msuser.schema
modulepath /usr/lib/ldap
moduleload back_mdb
pidfile $ldap_server_dir/slapd.pid
# For any account but the root: pages of five at most (a larger page is refused), any
# number of them; a reader that does not page gets five.
sizelimit size.soft=5 size.hard=5 size.pr=5 size.prtotal=unlimited
database mdb
maxsize 67108864
suffix "$base"
rootdn "$admin"
rootpw $password
directory $ldap_server_dir/db
CONF
  # A free port of the loopback: the kernel's choice, released just before slapd takes it.
  local port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  if ! /usr/sbin/slapd -f "$ldap_server_dir/slapd.conf" -h "ldap://127.0.0.1:$port/" \
      >"$ldap_server_dir/slapd.log" 2>&1; then
    cat "$ldap_server_dir/slapd.log" >&2
    ldap_server_stop
    return 1
  fi
  local url="ldap://127.0.0.1:$port" tries=0
  until ldapsearch -x -H "$url" -b "" -s base >/dev/null 2>&1; do
    if ((++tries > 50)); then
      echo "ldap-server: slapd did not answer on $url" >&2
      ldap_server_stop
      return 1
    fi
    sleep 0.1
  done
  {
    printf 'dn: %s\nobjectClass: dcObject\nobjectClass: organization\no: example\ndc: example\n\n' "$base"
    printf 'dn: ou=people,%s\nobjectClass: organizationalUnit\nou: people\n\n' "$base"
    # The account the tests read as, under the limits (the root is under none).
    printf 'dn: cn=reader,%s\nobjectClass: simpleSecurityObject\nobjectClass: organizationalRole\ncn: reader\nuserPassword: %s\n\n' \
      "$base" "$password"
    if [[ -n "$ldif" ]]; then cat "$ldif"; fi
  } | ldapadd -x -H "$url" -D "$admin" -w "$password" >"$ldap_server_dir/ldapadd.log" 2>&1 || {
    cat "$ldap_server_dir/ldapadd.log" >&2
    ldap_server_stop
    return 1
  }
  export SPOOLGATE_TEST_LDAP_URL=$url SPOOLGATE_TEST_LDAP_BASE=$base SPOOLGATE_TEST_LDAP_BIND_DN=cn=reader,$base
  export SPOOLGATE_TEST_LDAP_PASSWORD=$password
  echo "ldap-server: slapd $(/usr/sbin/slapd -VV 2>&1 | awk 'NR==1 {print $4}') on $url"
}

ldap_server_stop() {
  [[ -n "$ldap_server_dir" ]] || return 0
  if [[ -f "$ldap_server_dir/slapd.pid" ]]; then
    local pid tries=0
    pid=$(cat "$ldap_server_dir/slapd.pid")
    kill "$pid" 2>/dev/null
    while kill -0 "$pid" 2>/dev/null && ((tries++ < 50)); do sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  fi
  rm -rf "$ldap_server_dir"
  ldap_server_dir=""
  unset SPOOLGATE_TEST_LDAP_URL SPOOLGATE_TEST_LDAP_BASE SPOOLGATE_TEST_LDAP_BIND_DN SPOOLGATE_TEST_LDAP_PASSWORD
}
