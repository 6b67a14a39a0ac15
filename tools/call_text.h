// The Win32 calls of the host layer's record in the forms a person and a program read:
// one JSON object a call, one line of text a call, and Win32 error names.
#pragma once

#include "platform/host/host_tools.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace spoolgate {

// "ERROR_PATH_NOT_FOUND" for the codes the host layer gives, else the number.
std::string ErrorName(uint64_t error);
// The call with its arguments by name, its result and, after a failure, the error.
nlohmann::ordered_json CallJson(const HostCall& call);
// CallJson as one line: "CreateFileW 'C:\a.RUD' access 0xC0000000 ... -> 0x5".
std::string CallText(const nlohmann::ordered_json& call);

}  // namespace spoolgate
