// SPDX-License-Identifier: Apache-2.0
// The capture file read back as written, and every damaged form of it refused with the
// file and byte offset named: truncation at every byte, wrong magic, version and kind.
#include "tests/tools/cli_runner.h"
#include "tools/replay/capture.h"
#include "tools/common/errors.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace spoolgate;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string WriteSample(const sgtest::TempDir& dir) {
  std::string path = dir / "sample.cap";
  CaptureWriter w(path);
  w.Block(Bytes("header"));
  w.Event(EventKind::StartPage);
  w.Block(Bytes(""));  // a zero-byte block is a block the spooler may deliver
  w.Block(Bytes("print data"));
  w.Event(EventKind::EndPage);
  w.Event(EventKind::Abort);
  w.Finish();
  return path;
}

// The message of the InputError that reading the whole capture throws.
std::string ReadError(const std::string& path) {
  try {
    ValidateCapture(path);
  } catch (const InputError& e) {
    return e.what();
  }
  return "";
}

TEST(CaptureFormat, EventsComeBackAsWrittenWithTheirOffsets) {
  sgtest::TempDir dir;
  std::string path = WriteSample(dir);
  CaptureReader r(path);
  CaptureEvent e;
  std::vector<std::pair<EventKind, std::string>> got;
  std::vector<uint64_t> offsets;
  while (r.Next(e)) {
    got.emplace_back(e.kind, std::string(e.bytes.begin(), e.bytes.end()));
    offsets.push_back(e.offset);
  }
  std::vector<std::pair<EventKind, std::string>> want = {
      {EventKind::Block, "header"}, {EventKind::StartPage, ""}, {EventKind::Block, ""},
      {EventKind::Block, "print data"}, {EventKind::EndPage, ""}, {EventKind::Abort, ""}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(offsets, (std::vector<uint64_t>{12, 23, 24, 29, 44, 45}));
  EXPECT_EQ(r.Offset(), r.Size());
}

TEST(CaptureFormat, EveryTruncationIsRefusedAtTheByteWhereItEnds) {
  sgtest::TempDir dir;
  std::string whole = sgtest::Slurp(WriteSample(dir));
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    dir.Write("cut.cap", whole.substr(0, cut));
    std::string error = ReadError(dir / "cut.cap");
    ASSERT_FALSE(error.empty()) << "a capture cut at " << cut << " bytes was accepted";
    EXPECT_EQ(error.rfind(dir / "cut.cap: byte ", 0), 0u) << error;
    if (cut >= kCaptureHeaderSize) {
      EXPECT_NE(error.find("truncated"), std::string::npos) << error;
    }
  }
}

TEST(CaptureFormat, DamagedHeadersAndEventsNameTheirOffset) {
  sgtest::TempDir dir;
  std::string whole = sgtest::Slurp(WriteSample(dir));

  std::string magic = whole;
  magic[1] = 'X';
  dir.Write("magic.cap", magic);
  EXPECT_EQ(ReadError(dir / "magic.cap"), dir / "magic.cap: byte 0: not a capture: wrong magic");

  std::string version = whole;
  version[8] = 2;
  dir.Write("version.cap", version);
  EXPECT_EQ(ReadError(dir / "version.cap"),
            dir / "version.cap: byte 8: capture version 2 is not supported (this build reads version 1)");

  std::string kind = whole;
  kind[23] = 9;  // the StartPage event
  dir.Write("kind.cap", kind);
  EXPECT_EQ(ReadError(dir / "kind.cap"), dir / "kind.cap: byte 23: unknown event kind 9");

  std::string huge = whole;
  huge[13] = huge[14] = huge[15] = huge[16] = char(0xFF);  // the first block's size
  dir.Write("huge.cap", huge);
  EXPECT_NE(ReadError(dir / "huge.cap").find("byte 13: block of 4294967295 bytes is larger"),
            std::string::npos);

  dir.Write("trailing.cap", whole + "x");
  EXPECT_EQ(ReadError(dir / "trailing.cap"),
            dir / "trailing.cap: byte 46: 1 bytes after the end of the job");
}

TEST(CaptureFormat, AnUnfinishedWriterLeavesNoFile) {
  sgtest::TempDir dir;
  {
    CaptureWriter w(dir / "unfinished.cap");
    w.Block(Bytes("x"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << "the file or its temporary file was left";
}

}  // namespace
