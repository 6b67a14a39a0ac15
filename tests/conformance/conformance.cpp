// SPDX-License-Identifier: Apache-2.0
// The shared fixture and helpers of the conformance scenarios (see conformance.h).
#include "tests/conformance/conformance.h"

namespace sgconf {

// The same on both platforms: every test directory lies under this one.
std::u16string TestRoot() { return u"C:\\spoolgate-tests"; }

std::u16string WindowsDirectory() {
  WCHAR buffer[MAX_PATH];
  UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

std::u16string PluginDirectory() {
  HMODULE plugin = nullptr;
  WCHAR buffer[MAX_PATH];
  DWORD n = 0;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(Plugin().StartDoc)),
                         &plugin)) {
    n = GetModuleFileNameW(plugin, buffer, MAX_PATH);
  }
  std::u16string path(reinterpret_cast<const char16_t*>(buffer), n < MAX_PATH ? n : 0);
  return path.substr(0, path.find_last_of(u'\\'));
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    uint8_t b = static_cast<uint8_t>(utf8[i]);
    size_t extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    uint32_t c = extra == 0 ? b : b & (0x3F >> extra);
    for (size_t k = 1; k <= extra && i + k < utf8.size(); ++k) {
      c = (c << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
    }
    i += extra + 1;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

Bytes Utf16Bytes(const std::u16string& text, bool withTerminator) {
  Bytes out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (withTerminator) out.insert(out.end(), {0, 0});
  return out;
}

RegistryValue Dword(uint32_t value) {
  return RegistryValue{REG_DWORD, Bytes{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                        static_cast<uint8_t>(value >> 16),
                                        static_cast<uint8_t>(value >> 24)}};
}

RegistryValue Sz(const std::u16string& text) { return RegistryValue{REG_SZ, Utf16Bytes(text, true)}; }

void ConformanceTest::SetUp() {
  PlatformReset();
  printer_ = AddPrinter(std::nullopt, u"Wide Format", u"LPT1:");
  AddJob(printer_, jobId_, u"Drawing.plt", u"alice");
}

HANDLE ConformanceTest::StartJob() {
  HANDLE job = plugin_.StartDoc(printer_, jobId_);
  EXPECT_NE(job, nullptr);
  return job;
}

BOOL ConformanceTest::Send(HANDLE job, const Bytes& block) {
  DWORD written = 0xDEADBEEF;
  BOOL result = plugin_.WritePrinter(job, const_cast<uint8_t*>(block.data()),
                                     static_cast<DWORD>(block.size()), &written);
  EXPECT_EQ(written, block.size()) << "bytes-written must always be the block size";
  return result;
}

void ConformanceTest::SendAll(HANDLE job, const std::vector<Bytes>& blocks) {
  for (const Bytes& block : blocks) EXPECT_TRUE(Send(job, block)) << sgtest::Hex(block, 16);
}

void ConformanceTest::EndAndClose(HANDLE job) {
  plugin_.EndDoc(job);
  plugin_.Close(job);
}

void ConformanceTest::ExpectNotHeld(const std::u16string& path) {
  HANDLE file = CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << Utf8(path) << " is still held open";
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

std::u16string ConformanceTest::Path(const std::u16string& relative) const {
  return relative.empty() ? TestRoot() : TestRoot() + u"\\" + relative;
}

}  // namespace sgconf
