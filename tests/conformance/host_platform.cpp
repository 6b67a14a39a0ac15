// SPDX-License-Identifier: Apache-2.0
// The conformance scenarios' platform adapter on Linux: the plug-in linked in, over the
// host Win32 layer and its control interface, in a fresh sandbox root for every test.
#include "tests/conformance/conformance.h"

#include "platform/host/host_control.h"
#include "plugin/exports.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace sgconf {
namespace {



std::string currentRoot;

void RemoveRoot() {
  std::error_code ignored;
  if (!currentRoot.empty()) std::filesystem::remove_all(currentRoot, ignored);
  currentRoot.clear();
}

}  // namespace

const PluginExports& Plugin() {
  static const PluginExports exports = {DrvSplStartDoc, DrvSplWritePrinter, DrvSplStartPage,
                                        DrvSplEndPage,  DrvSplEndDoc,       DrvSplAbort,
                                        DrvSplClose,    MyDrvSplStartDoc};
  return exports;
}

bool OnWindows() { return false; }

bool UseOemCodePage(unsigned codePage) {
  HostSetOemCodePage(codePage);
  return true;
}


void PlatformReset() {
  static bool registered = (std::atexit(RemoveRoot), true);
  (void)registered;
  RemoveRoot();
  std::string base = std::filesystem::temp_directory_path() / "spoolgate-conformance-XXXXXX";
  std::vector<char> pattern(base.begin(), base.end());
  pattern.push_back('\0');
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  currentRoot = pattern.data();
  HostReset(currentRoot);
#ifdef SPOOLGATE_LOGGER_PATH
  HostMapLibrary(u"ruzoravu64.dll", SPOOLGATE_LOGGER_PATH);
#endif
  MakeWindowsDirectory(TestRoot());
}

HANDLE AddPrinter(std::optional<std::u16string> server, const std::u16string& name,
                  const std::u16string& port) {
  return HostAddPrinter({server, name, port});
}

void AddJob(HANDLE printer, DWORD jobId, std::optional<std::u16string> document,
            std::optional<std::u16string> user) {
  HostAddJob(printer, jobId, {document, user});
}

Bytes PrinterBytes(HANDLE printer) { return HostPrinterData(printer).bytes; }

std::vector<uint32_t> PrinterWrites(HANDLE printer) { return HostPrinterData(printer).writeSizes; }

std::optional<Bytes> ReadWindowsFile(const std::u16string& path) {
  std::string host = HostMapPath(path);
  if (host.empty() || !std::filesystem::is_regular_file(host)) return std::nullopt;
  std::ifstream in(host, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWindowsFile(const std::u16string& path, const Bytes& bytes) {
  std::string host = HostMapPath(path);
  std::filesystem::create_directories(std::filesystem::path(host).parent_path());
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool WindowsDirectoryExists(const std::u16string& path) {
  std::string host = HostMapPath(path);
  return !host.empty() && std::filesystem::is_directory(host);
}

void MakeWindowsDirectory(const std::u16string& path) {
  std::filesystem::create_directories(HostMapPath(path));
}

std::vector<std::u16string> ListWindowsDirectory(const std::u16string& path) {
  std::vector<std::u16string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(HostMapPath(path), error)) {
    names.push_back(Utf16(entry.path().filename().string()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<RegistryValue> ReadRegistryValue(const std::u16string& key,
                                               const std::u16string& name) {
  std::optional<HostRegistryValue> value = HostRegistryGetValue(key, name);
  if (!value) return std::nullopt;
  return RegistryValue{value->type, value->data};
}

void WriteRegistryValue(const std::u16string& key, const std::u16string& name, DWORD type,
                        const Bytes& data) {
  HostRegistrySetValue(key, name, type, data);
}

bool RegistryKeyExists(const std::u16string& key) { return HostRegistryKeyExists(key); }

std::vector<MessageBoxSeen> MessageBoxesShown() {
  std::vector<MessageBoxSeen> boxes;
  for (const HostMessageBox& box : HostMessageBoxes()) {
    boxes.push_back({reinterpret_cast<uintptr_t>(box.owner), box.text, box.caption, box.style});
  }
  return boxes;
}

}  // namespace sgconf
