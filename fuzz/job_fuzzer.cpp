// SPDX-License-Identifier: Apache-2.0
// Fuzz target: whole jobs through the plug-in's exports, the real logging library
// loaded by name. Input: a setup byte, then operations (records with fuzz fields, raw
// blocks of any size, markers, page calls, the end or abort of a job, failing calls) on
// two job slots.
#include "fuzz/fuzz_support.h"
#include "platform/win32.h"
#include "plugin/exports.h"
#include "core/records.h"

#include <dlfcn.h>

#include <cstring>
#include <vector>

#ifndef LOGGER_LIBRARY_PATH
#error "LOGGER_LIBRARY_PATH names libruzoravu64.so"
#endif

namespace {

using sgfuzz::Input;

const char16_t* const kDirectories[] = {
    u"C:\\Jobs",         u"C:\\Jobs\\2026\\May", u"C:\\New\\",   u"\\\\srv\\share\\out",
    u"C:\\Windows\\temp", u"C:",                u"",            u"D:\\Deep\\a\\b\\c\\d",
};
const char16_t* const kOverlayPaths[] = {
    u"C:\\Overlays\\form.ovl", u"C:\\Overlays\\other.ovl", u"C:\\Missing\\x.ovl", u"",
};
const char16_t kSettingsKey[] = u"SOFTWARE\\TALVOK\\PrintLog";
const char16_t kCsrKey[] =
    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\Client Side "
    u"Rendering Print Provider\\Servers\\srv1\\Printers\\Wide\\DsSpooler";

struct Job {
  HANDLE handle = nullptr;
};

HANDLE g_printer = nullptr;
bool g_faultArmed = false;
DWORD g_jobId = 7;

template <typename Record>
std::vector<uint8_t> AsBlock(const Record& record) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
  return std::vector<uint8_t>(p, p + sizeof(Record));
}

// A text for a record field: one of a few real ones, or raw fuzz units.
std::u16string PickText(Input& in, const char16_t* const* table, size_t tableSize) {
  uint8_t choice = in.U8();
  if (choice < 0xC0) return table[choice % tableSize];
  return in.Text(choice & 0x3F ? (choice & 0x3F) * 5u : 300u);
}

void Send(Job& job, const std::vector<uint8_t>& block, bool nullData = false) {
  if (job.handle == nullptr) {
    job.handle = DrvSplStartDoc(g_printer, g_jobId);
    if (MyDrvSplStartDoc() != job.handle) sgfuzz::Fail("MyDrvSplStartDoc is not the newest job");
    if (job.handle == nullptr) {
      if (!g_faultArmed) sgfuzz::Fail("DrvSplStartDoc failed without a fault");
      return;  // no job to send to, as the spooler would see it
    }
  }
  DWORD written = 0xDEADBEEF;
  const void* data = nullData ? nullptr : static_cast<const void*>(block.data());
  DrvSplWritePrinter(job.handle, const_cast<void*>(data), static_cast<DWORD>(block.size()),
                     &written);
  if (written != block.size()) sgfuzz::Fail("bytes written differs from the block size");
}

void EndJob(Job& job, bool abort, uint8_t extra) {
  if (job.handle == nullptr) return;
  if (abort) {
    DrvSplAbort(job.handle);
  } else {
    DrvSplEndDoc(job.handle);
  }
  // A second end or abort of the same job must touch no file again.
  if (extra & 1) DrvSplEndDoc(job.handle);
  if (extra & 2) DrvSplAbort(job.handle);
  DrvSplClose(job.handle);
  job.handle = nullptr;
}

std::vector<uint8_t> JobLog(Input& in) {
  JobLogRecord record;
  // Every field from the input: texts without terminators, any flag byte.
  in.Fill(&record, sizeof(record), 0x41);
  record.magic = JOB_LOG_RECORD_MAGIC;
  return AsBlock(record);
}

void Setup(Input& in) {
  uint8_t setup = in.U8();
  HostPrinterSetup printer;
  switch (setup & 3) {
    case 0: printer = {std::nullopt, u"Wide Format", u"LPT1:"}; break;
    case 1: printer = {u"\\\\CSR|srv1", u"\\\\CSR|srv1\\Wide", u"CSR:"}; break;
    case 2: printer = {u"\\\\CSR", u"\\\\CSR|", u""}; break;
    default: printer = {in.Text(in.U8()), in.Text(in.U8()), in.Text(in.U8())}; break;
  }
  g_printer = HostAddPrinter(printer);
  g_jobId = 7;
  switch ((setup >> 2) & 3) {
    case 0: HostAddJob(g_printer, g_jobId, {u"Drawing.plt", u"alice"}); break;
    case 1: HostAddJob(g_printer, g_jobId, {in.Text(in.U16() % 400), in.Text(in.U16() % 400)}); break;
    case 2: HostAddJob(g_printer, g_jobId, {std::nullopt, std::nullopt}); break;
    default: break;  // the spooler no longer knows the job
  }
  if (setup & 0x10) HostSetOemCodePage(932);
  if (setup & 0x20) HostMapLibrary(u"ruzoravu64.dll", "");  // library missing
  if (setup & 0x40) {
    std::vector<uint8_t> name = in.Bytes(in.U8());
    HostRegistrySetValue(kCsrKey, u"printerName", in.U8() % 8, name);
  }
  if (setup & 0x80) HostSetPlatformVersion(5);
}

// Makes a later allocation, file, registry, printer or library call fail, once or
// from then on: whatever fails, the jobs must still end without a leak or open handle.
void ArmFault(Input& in) {
  static const DWORD kErrors[] = {ERROR_NOT_ENOUGH_MEMORY, ERROR_DISK_FULL, ERROR_ACCESS_DENIED,
                                  ERROR_PATH_NOT_FOUND, ERROR_SHARING_VIOLATION,
                                  ERROR_READ_FAULT, ERROR_ALREADY_EXISTS};
  uint8_t what = in.U8();
  HostOp op = static_cast<HostOp>(what % static_cast<unsigned>(HostOp::Count));
  uint8_t nth = in.U8();
  HostFailNth(op, 1 + nth % 64, kErrors[(what >> 4) % 7], (nth & 0x80) != 0);
  g_faultArmed = true;
}

void SetLogSetting(Input& in) {
  uint8_t which = in.U8();
  std::vector<uint8_t> data = in.Bytes(in.U16() % 600);
  HostRegistrySetValue(kSettingsKey, (which & 1) ? u"MaxLogFileSize" : u"LogFileDirectory",
                       (which >> 1) % 8, data);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Kept loaded for the whole run: the plug-in loads and unloads the library for every
  // job, and unloading an instrumented library under the fuzzer loses its counters.
  if (dlopen(LOGGER_LIBRARY_PATH, RTLD_NOW | RTLD_NODELETE) == nullptr) {
    sgfuzz::Fail("cannot load the logging library");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sgfuzz::ResetSandbox();
  HostMapLibrary(u"ruzoravu64.dll", LOGGER_LIBRARY_PATH);
  Input in(data, size);
  g_faultArmed = false;
  Setup(in);
  uint64_t liveAtStart = HostLiveAllocations();

  Job jobs[2];
  int operations = 0;
  while (!in.Empty() && operations++ < 256) {
    uint8_t op = in.U8();
    Job& job = jobs[(op >> 4) & 1];
    switch (op & 0x0F) {
      case 0: {  // raw block of any size, short records included
        uint16_t n = in.U16() % 4096;
        Send(job, in.Bytes(n));
        break;
      }
      case 1: {  // a block of a record's size (or one off it), filled from the input
        static const size_t kSizes[] = {36, 520, 444, 1536, 380, 2780, 76, 8, 0};
        size_t n = kSizes[in.U8() % 9];
        uint8_t delta = in.U8() % 3;
        n = delta == 1 && n > 0 ? n - 1 : delta == 2 ? n + 1 : n;
        std::vector<uint8_t> block(n);
        in.Fill(block.data(), n);
        Send(job, block);
        break;
      }
      case 2: {
        JobHeaderRecord header;
        std::memset(&header, 0xA5, sizeof(header));
        uint8_t flags = in.U8();
        header.jobFlags = (flags & 7u) | ((flags & 0x80) ? (1u << (3 + (flags >> 3) % 29)) : 0u);
        Send(job, AsBlock(header));
        break;
      }
      case 3: {
        OverlayControlRecord control;
        std::memset(&control, 0, sizeof(control));
        control.mode = in.U8();
        sgfuzz::PutText(control.overlayPath, PickText(in, kOverlayPaths, 4));
        Send(job, AsBlock(control));
        break;
      }
      case 4: {
        OverlayHeaderRecord header;
        in.Fill(&header, sizeof(header), 0x11);
        Send(job, AsBlock(header));
        break;
      }
      case 5: {
        ArchiveLocationRecord location;
        sgfuzz::PutText(location.directory, PickText(in, kDirectories, 8));
        uint8_t nameKind = in.U8();
        sgfuzz::PutText(location.fileName,
                        nameKind < 0x80 ? std::u16string() : in.Text((nameKind & 0x7F) * 3u));
        sgfuzz::PutText(location.documentName, in.Text(in.U16() % 300));
        Send(job, AsBlock(location));
        break;
      }
      case 6: {
        ArchiveHeaderRecord header;
        in.Fill(&header, sizeof(header), 0x33);
        Send(job, AsBlock(header));
        break;
      }
      case 7: Send(job, JobLog(in)); break;
      case 8: {
        TailRecord tail;
        std::memset(&tail, 0, sizeof(tail));
        tail.magic = TAIL_RECORD_MAGIC;
        tail.tailFlags = in.U8();
        tail.tailPages = in.U32();
        Send(job, AsBlock(tail));
        break;
      }
      case 9: Send(job, std::vector<uint8_t>(kOverlayMarker, kOverlayMarker + 8)); break;
      case 10:
        if (job.handle != nullptr) DrvSplStartPage(job.handle);
        break;
      case 11:
        if (job.handle != nullptr) DrvSplEndPage(job.handle);
        break;
      case 12: EndJob(job, false, in.U8()); break;
      case 13: EndJob(job, true, in.U8()); break;
      case 14: SetLogSetting(in); break;
      default:
        if (op & 0x40) {
          ArmFault(in);
        } else {
          Send(job, {}, (op & 0x20) != 0);  // empty block, or a null one
        }
        break;
    }
  }
  for (Job& job : jobs) EndJob(job, false, 0);
  HostClearFaults();

  if (HostOpenHandleCount() != 0) sgfuzz::Fail("a file or key is still open after the jobs");
  if (HostLiveAllocations() != liveAtStart) sgfuzz::Fail("memory leaked by the jobs");
  return 0;
}
