// SPDX-License-Identifier: Apache-2.0
// The fixture of the accounting suite: a sandbox whose "ruzoravu64.dll" is the logging
// library double, helpers that run an accounting job through the exports, and readers
// for what the double saw (calls, entry bytes, slot texts) and for the registry.
#pragma once

#include "accounting/accounting.h"
#include "tests/accounting/log_double.h"
#include "tests/support/sandbox.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace sgtest {

using logdouble::Call;
using logdouble::CallKind;

inline const std::u16string kSettingsKey = u"SOFTWARE\\TALVOK\\PrintLog";
inline const std::u16string kCsrServers =
    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\Client Side "
    u"Rendering Print Provider\\Servers\\";

// UTF-16LE bytes of a text, with its terminator when terminated is true.
inline Bytes Utf16Bytes(std::u16string_view text, bool terminated = true) {
  Bytes out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminated) out.insert(out.end(), {0, 0});
  return out;
}

inline Bytes DwordBytes(uint32_t value) {
  return Bytes{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

class AccountingTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    logdouble::Reset();
    HostMapLibrary(u"ruzoravu64.dll", LOG_DOUBLE_PATH);
    liveAtStart_ = HostLiveAllocations();
  }
  void TearDown() override {
    // Every path of every test frees all it allocated, library binding included.
    EXPECT_EQ(HostLiveAllocations(), liveAtStart_) << "allocations left behind";
    SandboxTest::TearDown();
  }

  // One job through the exports: the header with jobFlags, the JobLogRecord among the
  // print data, then the end of the job.
  void RunJob(const JobLogRecord& record, uint32_t jobFlags = JOB_FLAG_ACCOUNTING) {
    HANDLE job = StartJob();
    SendAll(job, {JobHeader(jobFlags), Data("print data"), AsBytes(record)});
    DrvSplEndDoc(job);
    DrvSplClose(job);
  }

  // The calls the double saw, by kind only.
  static std::vector<CallKind> Kinds() {
    std::vector<CallKind> kinds;
    for (const Call& c : logdouble::GetState().calls) kinds.push_back(c.kind);
    return kinds;
  }
  // The nth call of a kind (0 = the first); fails the test when there is none.
  static Call CallOf(CallKind kind, size_t nth = 0) {
    for (const Call& c : logdouble::GetState().calls) {
      if (c.kind == kind && nth-- == 0) return c;
    }
    ADD_FAILURE() << "no such call";
    return Call(kind);
  }

  // The entry as the first format call saw it.
  static const Bytes& Entry() { return logdouble::GetState().entry; }
  static uint32_t EntryU32(size_t offset) { return U32At(Entry(), offset); }
  static uint16_t EntryU16(size_t offset) {
    return static_cast<uint16_t>(Entry().at(offset) | (Entry().at(offset + 1) << 8));
  }
  static Bytes EntryRange(size_t offset, size_t size) {
    return Bytes(Entry().begin() + offset, Entry().begin() + offset + size);
  }
  // True when no byte of the range was written after the library's initialise call.
  static bool NotWritten(size_t offset, size_t size) {
    return EntryRange(offset, size) == Bytes(size, logdouble::GetState().config.sentinel);
  }
  // The bytes of a slot's buffer, and its text up to the first zero byte.
  static Bytes SlotBytes(size_t offset) {
    auto it = logdouble::GetState().slots.find(offset);
    return it == logdouble::GetState().slots.end() ? Bytes() : it->second;
  }
  static std::string SlotText(size_t offset) {
    Bytes bytes = SlotBytes(offset);
    size_t end = 0;
    while (end < bytes.size() && bytes[end] != 0) ++end;
    EXPECT_LT(end, bytes.size()) << "slot " << offset << " is not terminated in its buffer";
    return std::string(bytes.begin(), bytes.begin() + end);
  }

  static std::optional<HostRegistryValue> Setting(const std::u16string& name) {
    return HostRegistryGetValue(kSettingsKey, name);
  }

  uint64_t liveAtStart_ = 0;
  JobLogRecord log_ = NewJobLog();
};

}  // namespace sgtest
