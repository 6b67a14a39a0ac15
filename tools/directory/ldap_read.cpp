// SPDX-License-Identifier: Apache-2.0
// Reading users from an LDAP server: one connection, a simple bind, the paged results
// control so that a large directory comes in bounded pages, a timeout on every answer.
#include "tools/directory/ldap_read.h"

#include "tools/common/errors.h"

#include <ldap.h>

#include <memory>

namespace spoolgate {
namespace {

struct LdapCloser {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct MessageFree {
  void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using Message = std::unique_ptr<LDAPMessage, MessageFree>;

struct Reader {
  const LdapQuery& q;
  LDAP* ld = nullptr;

  [[noreturn]] void Fail(const std::string& what, int rc) const {
    std::string why = ldap_err2string(rc);
    char* diagnostic = nullptr;
    if (ld != nullptr && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic) == LDAP_OPT_SUCCESS &&
        diagnostic != nullptr) {
      if (*diagnostic != '\0') why += " (" + std::string(diagnostic) + ")";
      ldap_memfree(diagnostic);
    }
    throw InputError(q.url + ": " + what + ": " + why);
  }

  timeval Timeout() const { return timeval{time_t(q.timeoutSeconds), 0}; }

  // Waits for the whole answer to msgid; the request is abandoned when none comes in time.
  Message Wait(int msgid, const std::string& what) {
    LDAPMessage* result = nullptr;
    timeval t = Timeout();
    int rc = ldap_result(ld, msgid, LDAP_MSG_ALL, &t, &result);
    Message m(result);
    if (rc == 0) {
      ldap_abandon_ext(ld, msgid, nullptr, nullptr);
      throw InputError(q.url + ": " + what + ": no answer within " + std::to_string(q.timeoutSeconds) +
                       " seconds (--timeout)");
    }
    if (rc < 0) {
      int err = LDAP_OTHER;
      ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &err);
      Fail(what, err);
    }
    return m;
  }
};

std::string Value(LDAP* ld, LDAPMessage* entry, const std::string& attribute) {
  berval** values = ldap_get_values_len(ld, entry, attribute.c_str());
  if (values == nullptr) return "";
  std::string v = values[0] != nullptr ? std::string(values[0]->bv_val, values[0]->bv_len) : std::string();
  ldap_value_free_len(values);
  return v;
}

}  // namespace

DirectorySnapshot ReadLdap(const LdapQuery& q, std::vector<std::string>& conflicts) {
  if (q.url.rfind("ldap://", 0) != 0 && q.url.rfind("ldaps://", 0) != 0) {
    throw InputError(q.url + ": not an LDAP URL (ldap://HOST[:PORT] or ldaps://HOST[:PORT])");
  }
  if (q.startTls && q.url.rfind("ldaps://", 0) == 0) {
    throw InputError(q.url + ": --starttls is for ldap:// (an ldaps:// connection is encrypted already)");
  }
  Reader r{q};
  int rc = ldap_initialize(&r.ld, q.url.c_str());
  if (rc != LDAP_SUCCESS) r.Fail("cannot use the URL", rc);
  std::unique_ptr<LDAP, LdapCloser> owner(r.ld);
  int version = LDAP_VERSION3;
  ldap_set_option(r.ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  // A referral would send the bind's password to another server.
  ldap_set_option(r.ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  timeval t = r.Timeout();
  ldap_set_option(r.ld, LDAP_OPT_NETWORK_TIMEOUT, &t);
  ldap_set_option(r.ld, LDAP_OPT_TIMEOUT, &t);  // the synchronous StartTLS
  if (q.startTls) {
    rc = ldap_start_tls_s(r.ld, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) r.Fail("StartTLS", rc);
  }

  berval password{ber_len_t(q.password.size()), const_cast<char*>(q.password.data())};
  int msgid = 0;
  rc = ldap_sasl_bind(r.ld, q.bindDn.empty() ? nullptr : q.bindDn.c_str(), LDAP_SASL_SIMPLE, &password, nullptr,
                      nullptr, &msgid);
  if (rc != LDAP_SUCCESS) r.Fail("cannot connect", rc);
  {
    Message m = r.Wait(msgid, "bind");
    int err = LDAP_OTHER;
    rc = ldap_parse_result(r.ld, m.get(), &err, nullptr, nullptr, nullptr, nullptr, 0);
    if (rc != LDAP_SUCCESS) r.Fail("bind", rc);
    if (err != LDAP_SUCCESS) r.Fail("bind as '" + q.bindDn + "' refused", err);
  }

  std::vector<std::string> names = {q.fields.userAttribute};
  for (const KeptAttribute& k : q.fields.keep) names.push_back(k.source);
  std::vector<char*> attrs;
  for (std::string& n : names) attrs.push_back(n.data());
  attrs.push_back(nullptr);

  DirectorySnapshot snapshot;
  snapshot.source = q.url;
  for (const KeptAttribute& k : q.fields.keep) snapshot.attributes.push_back(k.name);
  size_t entries = 0;
  berval cookie{0, nullptr};
  std::unique_ptr<berval, void (*)(berval*)> cookieOwner(nullptr, ber_bvfree);
  do {
    LDAPControl* page = nullptr;
    rc = ldap_create_page_control(r.ld, ber_int_t(q.pageSize), &cookie, 0, &page);
    if (rc != LDAP_SUCCESS) r.Fail("paged search", rc);
    LDAPControl* controls[] = {page, nullptr};
    timeval limit = r.Timeout();
    rc = ldap_search_ext(r.ld, q.base.c_str(), LDAP_SCOPE_SUBTREE, q.filter.c_str(), attrs.data(), 0, controls,
                         nullptr, &limit, int(q.maxEntries + 1), &msgid);
    ldap_control_free(page);
    if (rc != LDAP_SUCCESS) r.Fail("search", rc);
    Message m = r.Wait(msgid, "search");
    for (LDAPMessage* e = ldap_first_entry(r.ld, m.get()); e != nullptr; e = ldap_next_entry(r.ld, e)) {
      if (++entries > q.maxEntries) {
        throw InputError(q.url + ": more than " + std::to_string(q.maxEntries) +
                         " entries match; narrow --filter or raise --max-entries");
      }
      std::map<std::string, std::string> values;
      for (const KeptAttribute& k : q.fields.keep) values[k.name] = Value(r.ld, e, k.source);
      AddDirectoryEntry(snapshot, Value(r.ld, e, q.fields.userAttribute), values, conflicts);
    }
    int err = LDAP_OTHER;
    LDAPControl** returned = nullptr;
    LDAPMessage* done = ldap_first_message(r.ld, m.get());
    while (done != nullptr && ldap_msgtype(done) != LDAP_RES_SEARCH_RESULT) done = ldap_next_message(r.ld, done);
    if (done == nullptr) throw InputError(q.url + ": search: the answer has no end");
    rc = ldap_parse_result(r.ld, done, &err, nullptr, nullptr, nullptr, &returned, 0);
    if (rc != LDAP_SUCCESS) r.Fail("search", rc);
    std::unique_ptr<LDAPControl*, void (*)(LDAPControl**)> returnedOwner(returned, ldap_controls_free);
    if (err == LDAP_SIZELIMIT_EXCEEDED) {
      throw InputError(q.url + ": the server hands over fewer entries than match (its size limit); "
                       "narrow --filter or page with a server that supports it");
    }
    if (err != LDAP_SUCCESS) r.Fail("search under '" + q.base + "'", err);
    cookie = berval{0, nullptr};
    LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
    if (response != nullptr) {
      ber_int_t estimate = 0;
      rc = ldap_parse_pageresponse_control(r.ld, response, &estimate, &cookie);
      if (rc != LDAP_SUCCESS) r.Fail("paged search", rc);
      cookieOwner.reset(cookie.bv_val != nullptr ? ber_bvdup(&cookie) : nullptr);
      ber_memfree(cookie.bv_val);
      cookie = cookieOwner ? *cookieOwner : berval{0, nullptr};
    }
  } while (cookie.bv_len != 0);
  return snapshot;
}

}  // namespace spoolgate
