// SPDX-License-Identifier: Apache-2.0
// The fixture every host test starts from: a fresh sandbox root, registry and spooler
// double, one printer with one job, and helpers that drive a job through the exports.
#pragma once

#include "platform/host/host_control.h"
#include "platform/win32.h"
#include "plugin/exports.h"
#include "plugin/job_context.h"
#include "tests/support/records_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sgtest {

std::string ReadHostFile(const std::string& hostPath);
bool HostFileExists(const std::string& hostPath);
void WriteHostFile(const std::string& hostPath, const Bytes& bytes);
// Creates the directories of a Windows path under the sandbox root.
void MakeWindowsDirectory(const std::u16string& windowsPath);
// The directory the plug-in reports as its own on the host (GetModuleFileNameW), where
// the spooler keeps a printer driver's files.
inline const std::u16string kDriverDirectory = u"C:\\Windows\\System32\\spool\\drivers\\x64\\3";
// Copies a host build of a library to a Windows path in the sandbox, as a driver
// package installs the DLL there.
void InstallLibrary(const std::u16string& windowsPath, const std::string& hostLibrary);

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts a job on the default printer with the default job id.
  HANDLE StartJob();
  // Sends one block; the bytes-written variable must always equal the block size.
  BOOL Send(HANDLE job, const Bytes& block);
  // Sends blocks in order; each must be taken (TRUE), as in the conformance scenarios.
  void SendAll(HANDLE job, const std::vector<Bytes>& blocks);
  JobContext* Context(HANDLE job) { return static_cast<JobContext*>(job); }

  // What reached the default printer.
  Bytes PrinterBytes() const;
  std::vector<uint32_t> PrinterWrites() const;

  // Contents of a file named by its Windows path, read through the share modes of the
  // handles open on it; empty when missing, a failure when held without read sharing.
  Bytes WindowsFile(const std::u16string& windowsPath) const;
  bool WindowsFileExists(const std::u16string& windowsPath) const;
  void PutWindowsFile(const std::u16string& windowsPath, const Bytes& bytes) const;

  std::string root_;
  HANDLE printer_ = nullptr;
  DWORD jobId_ = 7;
};

}  // namespace sgtest
