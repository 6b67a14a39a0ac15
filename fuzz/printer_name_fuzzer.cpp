// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the printer name for the log, from any server and printer names (null,
// short, long, unterminated in the registry) and any stored "printerName" value.
#include "fuzz/fuzz_support.h"
#include "accounting/printer_name.h"
#include "platform/win32.h"

#include <memory>

namespace {

const char16_t kServersKey[] =
    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\Client Side "
    u"Rendering Print Provider\\Servers\\";

std::u16string Name(sgfuzz::Input& in, const char16_t* start) {
  uint8_t kind = in.U8();
  std::u16string text = (kind & 1) ? std::u16string(start) : std::u16string();
  std::u16string tail = in.Text(kind >> 1);
  for (char16_t& c : tail) {
    if (c == 0) c = u'\\';  // a terminator in the middle would only shorten the test
  }
  return text + tail;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned runs = 0;
  // The registry lives in memory; a fresh host now and then keeps it small.
  if (runs++ % 256 == 0) sgfuzz::ResetSandbox();
  sgfuzz::Input in(data, size);
  uint8_t setup = in.U8();
  HostSetPlatformVersion((setup & 1) ? 5 : 10);

  std::u16string server = Name(in, u"\\\\CSR|");
  std::u16string printer = Name(in, u"\\\\CSR|");
  if (setup & 2) {
    // The provider's key for exactly these names, with any stored value.
    size_t cut = printer.rfind(u'\\');
    std::u16string printerPart = cut == std::u16string::npos ? printer : printer.substr(cut + 1);
    std::u16string serverPart = server.size() > 6 ? server.substr(6) : u"";
    std::vector<uint8_t> value = in.Bytes(in.U16() % 600);
    HostRegistrySetValue(kServersKey + serverPart + u"\\Printers\\" + printerPart + u"\\DsSpooler",
                         u"printerName", in.U8() % 8, value);
  }

  PRINTER_INFO_2W info;
  std::memset(&info, 0, sizeof(info));
  info.pServerName = (setup & 4) ? nullptr : (LPWSTR)server.c_str();
  info.pPrinterName = (LPWSTR)printer.c_str();

  // The callers pass 256; smaller capacities with buffers of that size are probed too.
  DWORD capacity = (setup & 8) ? 1 + in.U8() : LOG_PRINTER_NAME_CHARS;
  std::unique_ptr<WCHAR[]> output(new WCHAR[capacity]);
  for (DWORD i = 0; i < capacity; ++i) output[i] = 0xCCCC;
  int result = ResolveLogPrinterName(&info, output.get(), capacity);
  bool terminated = false;
  for (DWORD i = 0; i < capacity && !terminated; ++i) terminated = output[i] == 0;
  if (result == 1 && !terminated) sgfuzz::Fail("name not terminated within the capacity");
  if (result == 0) {
    for (DWORD i = 0; i < capacity; ++i) {
      if (output[i] != 0) sgfuzz::Fail("no name, but the output is not all zeros");
    }
  }
  if (HostOpenHandleCount() != 0) sgfuzz::Fail("a registry key was left open");
  return 0;
}
