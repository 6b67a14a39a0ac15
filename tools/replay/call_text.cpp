// SPDX-License-Identifier: Apache-2.0
// Naming the arguments and results of recorded Win32 calls for `spoolgate run --trace`.
#include "tools/replay/call_text.h"

#include "tools/common/hex.h"
#include "tools/common/text.h"

#include <cstring>

namespace spoolgate {
namespace {

using Json = nlohmann::ordered_json;

std::string Text(const char16_t* text) {
  if (text == nullptr) return {};
  return Utf16ToUtf8(std::u16string(text));
}

const char* DispositionName(uint64_t d) {
  static const char* names[] = {"0", "CREATE_NEW", "CREATE_ALWAYS", "OPEN_EXISTING",
                                "OPEN_ALWAYS", "TRUNCATE_EXISTING"};
  return d < 6 ? names[d] : "?";
}

std::string AccessNames(uint64_t access) {
  std::string out;
  if (access & GENERIC_READ) out = "GENERIC_READ";
  if (access & GENERIC_WRITE) out += std::string(out.empty() ? "" : "|") + "GENERIC_WRITE";
  uint64_t rest = access & ~uint64_t(GENERIC_READ | GENERIC_WRITE);
  if (rest != 0 || out.empty()) out += (out.empty() ? "" : "|") + HexNumber(rest);
  return out;
}

// The names of a call's numeric arguments, in HostCall::args order.
struct ArgNames {
  const char* function;
  const char* names[3];
};
const ArgNames kArgNames[] = {
    {"CreateFileW", {"access", "share", "disposition"}},
    {"ReadFile", {"asked", nullptr, nullptr}},
    {"WriteFile", {"written", nullptr, nullptr}},
    {"WritePrinter", {"written", nullptr, nullptr}},
    {"SetFilePointer", {"distance", "method", nullptr}},
    {"SetFilePointerEx", {"distance", "method", nullptr}},
    {"GetJobW", {"jobId", "level", "bufferSize"}},
    {"GetPrinterW", {"level", "bufferSize", nullptr}},
    {"RegCreateKeyExW", {"access", nullptr, nullptr}},
    {"RegOpenKeyExW", {"access", nullptr, nullptr}},
    {"RegQueryValueExW", {"type", "bufferSize", nullptr}},
    {"RegSetValueExW", {"type", nullptr, nullptr}},
    {"MoveFileExW", {"flags", nullptr, nullptr}},
    {"MessageBoxW", {"style", nullptr, nullptr}},
    {"LockFileEx", {"flags", nullptr, nullptr}},
    {"LoadLibraryExW", {"flags", nullptr, nullptr}},
    {"ReportEventW", {"type", "eventId", nullptr}},
};

}  // namespace

std::string ErrorName(uint64_t error) {
  switch (error) {
    case ERROR_SUCCESS: return "ERROR_SUCCESS";
    case ERROR_INVALID_FUNCTION: return "ERROR_INVALID_FUNCTION";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_PATH_NOT_FOUND: return "ERROR_PATH_NOT_FOUND";
    case ERROR_TOO_MANY_OPEN_FILES: return "ERROR_TOO_MANY_OPEN_FILES";
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
    case ERROR_NOT_ENOUGH_MEMORY: return "ERROR_NOT_ENOUGH_MEMORY";
    case ERROR_OUTOFMEMORY: return "ERROR_OUTOFMEMORY";
    case ERROR_WRITE_FAULT: return "ERROR_WRITE_FAULT";
    case ERROR_READ_FAULT: return "ERROR_READ_FAULT";
    case ERROR_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION";
    case ERROR_LOCK_VIOLATION: return "ERROR_LOCK_VIOLATION";
    case ERROR_HANDLE_EOF: return "ERROR_HANDLE_EOF";
    case ERROR_FILE_EXISTS: return "ERROR_FILE_EXISTS";
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    case ERROR_DISK_FULL: return "ERROR_DISK_FULL";
    case ERROR_INSUFFICIENT_BUFFER: return "ERROR_INSUFFICIENT_BUFFER";
    case ERROR_INVALID_NAME: return "ERROR_INVALID_NAME";
    case ERROR_MOD_NOT_FOUND: return "ERROR_MOD_NOT_FOUND";
    case ERROR_PROC_NOT_FOUND: return "ERROR_PROC_NOT_FOUND";
    case ERROR_ALREADY_EXISTS: return "ERROR_ALREADY_EXISTS";
    case ERROR_FILENAME_EXCED_RANGE: return "ERROR_FILENAME_EXCED_RANGE";
    case ERROR_MORE_DATA: return "ERROR_MORE_DATA";
    case ERROR_NO_MORE_ITEMS: return "ERROR_NO_MORE_ITEMS";
    case ERROR_INVALID_DATA: return "ERROR_INVALID_DATA";
    case ERROR_IO_DEVICE: return "ERROR_IO_DEVICE";
    default: return "error " + std::to_string(error);
  }
}

std::string HandleNames::Name(const void* handle) {
  auto [it, added] = names_.emplace(handle, next_);
  if (added) ++next_;
  return "h" + std::to_string(it->second);
}

// The calls whose result is the handle they open (kept in "handle").
bool ReturnsHandle(const char* function) {
  for (const char* f : {"CreateFileW", "LoadLibraryExW", "GetProcAddress", "RegOpenKeyExW",
                        "RegCreateKeyExW"}) {
    if (std::strcmp(f, function) == 0) return true;
  }
  return false;
}

Json CallJson(const HostCall& call, HandleNames& handles) {
  Json j;
  j["function"] = call.function;
  if (call.handle != nullptr && call.handle != INVALID_HANDLE_VALUE) {
    j["handle"] = handles.Name(call.handle);
    for (const char* closing : {"CloseHandle", "RegCloseKey", "FreeLibrary"}) {
      if (std::strcmp(call.function, closing) == 0 && !call.failed) handles.Forget(call.handle);
    }
  }
  if (call.name != nullptr) j["name"] = Text(call.name);
  if (call.name2 != nullptr) j["name2"] = Text(call.name2);
  if (call.procedure != nullptr) j["procedure"] = call.procedure;
  for (const ArgNames& a : kArgNames) {
    if (std::strcmp(a.function, call.function) != 0) continue;
    for (int i = 0; i < 3 && a.names[i] != nullptr; ++i) {
      if (std::strcmp(call.function, "CreateFileW") == 0 && i == 2) {
        j[a.names[i]] = DispositionName(call.args[i]);
      } else if (std::strcmp(a.names[i], "access") == 0) {
        j[a.names[i]] = AccessNames(call.args[i]);
      } else {
        j[a.names[i]] = call.args[i];
      }
    }
  }
  if (call.kind == HostCallKind::Spooler && call.data == nullptr) {
    j["needed"] = call.size;
  } else if (call.data != nullptr || call.size != 0) {
    j["bytes"] = call.size;
  }
  if (!ReturnsHandle(call.function)) j["returned"] = call.result;
  j["failed"] = call.failed;
  // Windows leaves the last error alone on most successes; the one that tells something
  // is CreateFileW finding the file it was allowed to create.
  if (call.failed || (call.error == ERROR_ALREADY_EXISTS && ReturnsHandle(call.function))) {
    j["error"] = ErrorName(call.error);
  }
  return j;
}

std::string CallText(const Json& call) {
  std::string out = call["function"].get<std::string>();
  for (const auto& [key, value] : call.items()) {
    if (key == "function" || key == "handle" || key == "returned" || key == "failed" || key == "error") {
      continue;
    }
    if (key == "name" || key == "name2" || key == "procedure") {
      out += " '" + value.get<std::string>() + "'";
    } else if (value.is_string()) {
      out += " " + key + " " + value.get<std::string>();
    } else {
      out += " " + key + " " + JsonDump(value, -1);
    }
  }
  bool returnsHandle = !call.contains("returned");
  if (call.contains("handle") && !returnsHandle) out += " on " + call["handle"].get<std::string>();
  out += " -> ";
  if (!returnsHandle) {
    out += std::to_string(call["returned"].get<uint64_t>());
  } else {
    out += call.contains("handle") ? call["handle"].get<std::string>() : "no handle";
  }
  if (call["failed"].get<bool>()) out += " FAILED";
  if (call.contains("error")) out += " " + call["error"].get<std::string>();
  return out;
}

}  // namespace spoolgate
