// SPDX-License-Identifier: Apache-2.0
// Naming a database without its URL, and finding the passwords of a libpq connection
// string, as a URI or as keyword/value pairs, so that what the command prints leaves them out.
#include "tools/database/db_url.h"

#include "tools/database/pq_library.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

namespace spoolgate {
namespace {

using Span = std::pair<size_t, size_t>;  // begin, end

std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(uint8_t(text[i + 1])) &&
        std::isxdigit(uint8_t(text[i + 2]))) {
      out.push_back(char(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The password spans of a postgresql:// or postgres:// URI.
std::vector<Span> UriPasswords(const std::string& url, size_t authority) {
  std::vector<Span> spans;
  const size_t query = url.find('?', authority);
  const size_t at = url.rfind('@', query == std::string::npos ? std::string::npos : query);
  const size_t colon = url.find(':', authority);
  if (at != std::string::npos && at >= authority) {
    if (colon < at) spans.emplace_back(colon + 1, at);
  } else if (colon < url.find_first_of("/?", authority)) {
    // user:secret/db without @host: libpq reads the password as a port it then quotes.
    const size_t end = url.find_first_of("/?", colon);
    const std::string port = url.substr(colon + 1, end == std::string::npos ? std::string::npos : end - colon - 1);
    if (port.find_first_not_of("0123456789") != std::string::npos) spans.emplace_back(colon + 1, std::min(end, url.size()));
  }
  if (query == std::string::npos) return spans;
  for (size_t p = query + 1; p < url.size();) {
    size_t end = url.find('&', p);
    if (end == std::string::npos) end = url.size();
    const size_t eq = url.find('=', p);
    if (eq < end && PercentDecoded(url.substr(p, eq - p)) == "password") spans.emplace_back(eq + 1, end);
    p = end + 1;
  }
  return spans;
}

// The value spans of the password keyword in "key=value key='quoted \' value'".
std::vector<Span> KeywordPasswords(const std::string& text) {
  std::vector<Span> spans;
  size_t p = 0;
  auto skipSpace = [&] {
    while (p < text.size() && std::isspace(uint8_t(text[p]))) ++p;
  };
  while (true) {
    skipSpace();
    if (p >= text.size()) break;
    const size_t keyBegin = p;
    while (p < text.size() && text[p] != '=' && !std::isspace(uint8_t(text[p]))) ++p;
    const std::string key = text.substr(keyBegin, p - keyBegin);
    skipSpace();
    if (p < text.size() && text[p] == '=') ++p;
    skipSpace();
    const size_t valueBegin = p;
    if (p < text.size() && text[p] == '\'') {
      for (++p; p < text.size() && text[p] != '\''; ++p) {
        if (text[p] == '\\') ++p;
      }
      if (p < text.size()) ++p;
    } else {
      while (p < text.size() && !std::isspace(uint8_t(text[p]))) {
        if (text[p] == '\\') ++p;
        ++p;
      }
    }
    p = std::min(p, text.size());
    if (key == "password") spans.emplace_back(valueBegin, p);
  }
  return spans;
}

std::vector<Span> Passwords(const std::string& url) {
  for (const char* scheme : {"postgresql://", "postgres://"}) {
    const std::string s = scheme;
    if (url.compare(0, s.size(), s) == 0) return UriPasswords(url, s.size());
  }
  if (url.find('=') != std::string::npos) return KeywordPasswords(url);
  return {};
}

}  // namespace

std::string DatabaseName(const std::string& url) {
  if (url.compare(0, 7, "sqlite:") == 0) return url;
  PQconninfoOption* options = Pq().PQconninfoParse(url.c_str(), nullptr);
  if (options == nullptr) return "the --db URL";
  std::string host, name;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    if (std::string(o->keyword) == "host") host = o->val;
    if (std::string(o->keyword) == "dbname") name = o->val;
  }
  Pq().PQconninfoFree(options);
  // An unencoded '@' or '/' in the password leaves part of it in what libpq takes for
  // the host or the name; neither holds an '@' of its own.
  if (host.find('@') != std::string::npos) host = host.substr(host.rfind('@') + 1);
  if (name.find('@') != std::string::npos) name = "***";
  return WithoutPasswords("postgresql://" + host + "/" + name, url);
}

std::string ConnectionMessage(const std::string& message, const std::string& url) {
  std::string out;
  std::string text = WithoutPasswords(message, url);
  // A quoted option name ("port") stays: it is libpq's word, not the user's.
  std::vector<std::string> keywords;
  if (PQconninfoOption* defaults = Pq().PQconndefaults()) {
    for (PQconninfoOption* o = defaults; o->keyword != nullptr; ++o) keywords.push_back(o->keyword);
    Pq().PQconninfoFree(defaults);
  }
  for (size_t at = 0; at < text.size();) {
    size_t open = text.find('"', at), close = open == std::string::npos ? open : text.find('"', open + 1);
    if (close == std::string::npos) return out + text.substr(at);
    std::string value = text.substr(open + 1, close - open - 1);
    bool keyword = std::find(keywords.begin(), keywords.end(), value) != keywords.end();
    out += text.substr(at, open - at) + "\"" + (keyword ? value : "...") + "\"";
    at = close + 1;
  }
  return out;
}

std::string WithoutPasswords(const std::string& message, const std::string& url) {
  std::vector<std::string> secrets, wholes;
  for (const Span& span : Passwords(url)) {
    const std::string raw = url.substr(span.first, span.second - span.first);
    std::string value = raw;
    if (raw.size() >= 2 && raw.front() == '\'' && raw.back() == '\'') value = raw.substr(1, raw.size() - 2);
    // libpq cuts a password at an unencoded '@', '/', ':' or '?' and names the pieces
    // as a host, a port or a parameter.
    for (const std::string& whole : {raw, value, PercentDecoded(value)}) {
      secrets.push_back(whole);
      wholes.push_back(whole);
      for (size_t p = 0; p <= whole.size();) {
        size_t end = whole.find_first_of("@/:?", p);
        if (end == std::string::npos) end = whole.size();
        secrets.push_back(whole.substr(p, end - p));
        p = end + 1;
      }
    }
  }
  std::string out = message;
  for (const std::string& secret : secrets) {
    // A piece of one or two characters would blank out every such letter of the message
    // and tells little: only the whole password is hidden at any length.
    bool whole = std::find(wholes.begin(), wholes.end(), secret) != wholes.end();
    if (secret.empty() || (secret.size() < 3 && !whole)) continue;
    for (size_t p = out.find(secret); p != std::string::npos; p = out.find(secret, p + 3)) {
      out.replace(p, secret.size(), "***");
    }
  }
  return out;
}

}  // namespace spoolgate
