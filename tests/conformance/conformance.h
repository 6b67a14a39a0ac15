// SPDX-License-Identifier: Apache-2.0
// Scenarios that run unchanged on the host layer and, under Wine, on the real Win32 API
// with the real DLLs: the platform adapter each side implements, and the shared fixture.
#pragma once

#include "plugin/export_table.h"
#include "plugin/job_context.h"
#include "platform/win32.h"
#include "tests/support/records_builder.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace sgconf {

using sgtest::Bytes;

// The plug-in's exports (plugin/export_table.h): linked in on the host, found with
// GetProcAddress in the DLL that the Windows suite loads by path.
using ::PluginExports;

struct MessageBoxSeen {
  uintptr_t owner = 0;
  std::u16string text;
  std::optional<std::u16string> caption;  // absent when the caption was null
  UINT style = 0;
};

struct RegistryValue {
  DWORD type = 0;
  Bytes data;
};

// --- the platform adapter: tests/conformance/host_platform.cpp on Linux,
// --- tests/wine/wine_platform.cpp on Windows ----------------------------------------

const PluginExports& Plugin();
// A fresh start for one test: no printers or jobs, no files under TestRoot(), no
// TALVOK or Client Side Rendering registry keys, no log files, no message boxes seen.
void PlatformReset();
// Where the platform is; scenarios that meet a known difference say so.
bool OnWindows();
// Makes codePage the OEM code page where the platform can (the host layer); false where
// it cannot (Windows keeps the system's), and the scenario is skipped there.
bool UseOemCodePage(unsigned codePage);
// A Windows directory that exists, empty, for the test's files (C:\spoolgate-tests).
std::u16string TestRoot();
// The Windows directory as GetWindowsDirectoryW reports it.
std::u16string WindowsDirectory();
// The directory the plug-in was loaded from, where the logging library is installed.
std::u16string PluginDirectory();

HANDLE AddPrinter(std::optional<std::u16string> server, const std::u16string& name,
                  const std::u16string& port);
void AddJob(HANDLE printer, DWORD jobId, std::optional<std::u16string> document,
            std::optional<std::u16string> user);
Bytes PrinterBytes(HANDLE printer);
std::vector<uint32_t> PrinterWrites(HANDLE printer);

// Files named by Windows paths; a missing file reads as nullopt. Writing creates
// missing parent directories.
std::optional<Bytes> ReadWindowsFile(const std::u16string& path);
void WriteWindowsFile(const std::u16string& path, const Bytes& bytes);
bool WindowsDirectoryExists(const std::u16string& path);
// Creates a directory and any missing parents.
void MakeWindowsDirectory(const std::u16string& path);
// The names of the files in a directory, sorted.
std::vector<std::u16string> ListWindowsDirectory(const std::u16string& path);

// HKEY_LOCAL_MACHINE; key paths without the hive.
std::optional<RegistryValue> ReadRegistryValue(const std::u16string& key,
                                               const std::u16string& name);
void WriteRegistryValue(const std::u16string& key, const std::u16string& name, DWORD type,
                        const Bytes& data);
bool RegistryKeyExists(const std::u16string& key);

// The message boxes shown since PlatformReset, in order.
std::vector<MessageBoxSeen> MessageBoxesShown();

// --- shared helpers ------------------------------------------------------------------

inline const WCHAR* W(const std::u16string& text) {
  return reinterpret_cast<const WCHAR*>(text.c_str());
}
std::string Utf8(const std::u16string& text);
std::u16string Utf16(const std::string& utf8);
Bytes Utf16Bytes(const std::u16string& text, bool withTerminator);
RegistryValue Dword(uint32_t value);
RegistryValue Sz(const std::u16string& text);  // REG_SZ with its terminator

// The fixture: a fresh platform, the local printer "Wide Format" on LPT1: with job 7
// ("Drawing.plt" by alice), and helpers that drive a job through the exports.
class ConformanceTest : public ::testing::Test {
 protected:
  void SetUp() override;

  HANDLE StartJob();
  // Sends one block; the bytes-written variable must always equal the block size.
  BOOL Send(HANDLE job, const Bytes& block);
  // Sends blocks in order; each must be taken (TRUE), as in the subsystem suites.
  void SendAll(HANDLE job, const std::vector<Bytes>& blocks);
  JobContext* Context(HANDLE job) { return static_cast<JobContext*>(job); }
  void EndAndClose(HANDLE job);
  // Fails when a handle is still open on the file (the plug-in's or anyone's): an
  // open for writing without sharing succeeds only when no other handle holds it.
  void ExpectNotHeld(const std::u16string& path);
  // A directory under TestRoot(): "C:\spoolgate-tests\<relative>".
  std::u16string Path(const std::u16string& relative) const;

  const PluginExports& plugin_ = Plugin();
  HANDLE printer_ = nullptr;
  DWORD jobId_ = 7;
};

}  // namespace sgconf
