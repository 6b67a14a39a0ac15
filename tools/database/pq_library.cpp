// SPDX-License-Identifier: Apache-2.0
// Loading libpq on first use (dlopen), once for the process; it stays loaded to the
// end.
#include "tools/database/pq_library.h"

#include "tools/database/log_db_backend.h"

#include <dlfcn.h>

#include <string>

namespace spoolgate {

namespace {

struct Loaded {
  PqLibrary functions{};
  std::string failure;  // empty when every function was found
};

Loaded Load() {
  Loaded l;
  void* library = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    l.failure = why != nullptr ? why : "not found";
    return l;
  }
#define SPOOLGATE_PQ_FIND(name)                                                       \
  l.functions.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name));      \
  if (l.functions.name == nullptr && l.failure.empty()) l.failure = #name " is missing";
  SPOOLGATE_PQ_FUNCTIONS(SPOOLGATE_PQ_FIND)
#undef SPOOLGATE_PQ_FIND
  return l;
}

}  // namespace

const PqLibrary& Pq() {
  static const Loaded loaded = Load();
  if (!loaded.failure.empty()) {
    throw DbError("PostgreSQL: the client library libpq.so.5 (package libpq5) cannot be used: " + loaded.failure);
  }
  return loaded.functions;
}

}  // namespace spoolgate
