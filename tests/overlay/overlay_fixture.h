// SPDX-License-Identifier: Apache-2.0
// Shared setup of the overlay suites: a stored overlay under C:\Overlays, and jobs that
// register an overlay or insert one, to the printer or into an archive file.
#pragma once

#include "overlay/overlay.h"
#include "tests/support/sandbox.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace sgtest {

inline const std::u16string kOverlayDir = u"C:\\Overlays";
inline const std::u16string kOverlayPath = u"C:\\Overlays\\form.ovl";
inline const std::u16string kArchiveDir = u"C:\\Archive";
inline const std::u16string kArchivePath = u"C:\\Archive\\Saved.RUD";
inline constexpr uint8_t kFramed = 0;
inline constexpr uint8_t kRaw = OVERLAY_MODE_RAW;
inline constexpr uint8_t kRegister = OVERLAY_MODE_REGISTER;
inline constexpr size_t kArchiveHeaderBytes = sizeof(ArchiveHeaderRecord);

class OverlayTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    MakeWindowsDirectory(kOverlayDir);
  }

  // Stores an overlay file as a registering job would have left it.
  void StoreOverlay(const Bytes& body, uint8_t headerSeed = 0x11) {
    PutWindowsFile(kOverlayPath, Concat({OverlayHeader(headerSeed), body}));
  }

  // Starts a job and sends its control records: the overlay records for mode (the
  // header record only in register mode), then the archive records when archived.
  HANDLE StartOverlayJob(uint8_t mode, bool archived = false,
                         const std::u16string& path = kOverlayPath, uint8_t headerSeed = 0x11) {
    HANDLE job = StartJob();
    EXPECT_TRUE(Send(job, JobHeader(archived ? JOB_FLAG_OVERLAY | JOB_FLAG_ARCHIVE
                                             : JOB_FLAG_OVERLAY)));
    EXPECT_TRUE(Send(job, OverlayControl(mode, path)));
    if ((mode & OVERLAY_MODE_REGISTER) != 0) {
      EXPECT_TRUE(Send(job, OverlayHeader(headerSeed)));
    }
    if (archived) {
      EXPECT_TRUE(Send(job, ArchiveLocation(kArchiveDir, u"Saved", u"Drawing")));
      EXPECT_TRUE(Send(job, ArchiveHeader()));
    }
    return job;
  }

  void EndJob(HANDLE job) {
    DrvSplEndDoc(job);
    DrvSplClose(job);
  }

  // The print data of the archive file, behind its header.
  Bytes ArchiveData() const {
    Bytes file = WindowsFile(kArchivePath);
    EXPECT_GE(file.size(), kArchiveHeaderBytes) << "the archive file is missing or short";
    if (file.size() < kArchiveHeaderBytes) return {};
    return Bytes(file.begin() + kArchiveHeaderBytes, file.end());
  }

  // Names of the files in a directory given by its Windows path.
  std::vector<std::string> FilesIn(const std::u16string& windowsDir) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(HostMapPath(windowsDir), ec)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
};

}  // namespace sgtest
