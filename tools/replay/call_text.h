// SPDX-License-Identifier: Apache-2.0
// The Win32 calls of the host layer's record in the forms a person and a program read:
// one JSON object a call, one line of text a call, and Win32 error names.
#pragma once

#include "platform/host/host_tools.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <unordered_map>

namespace spoolgate {

// Handles by the order they were first seen in a run, "h1", "h2", ...: an address says
// nothing and differs from one run to the next. A handle that is closed is forgotten,
// so an address used again for a new object gets a new name.
class HandleNames {
 public:
  std::string Name(const void* handle);
  void Forget(const void* handle) { names_.erase(handle); }

 private:
  std::unordered_map<const void*, uint64_t> names_;
  uint64_t next_ = 1;
};

// "ERROR_PATH_NOT_FOUND" for the codes the host layer gives, else the number.
std::string ErrorName(uint64_t error);
// The call with its arguments by name, what it returned and, after a failure, the error;
// handles by their names in handles.
nlohmann::ordered_json CallJson(const HostCall& call, HandleNames& handles);
// CallJson as one line: "CreateFileW 'C:\a.RUD' access GENERIC_READ ... -> h5".
std::string CallText(const nlohmann::ordered_json& call);

}  // namespace spoolgate
