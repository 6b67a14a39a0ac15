// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the logging library's formatter over arbitrary entries. Every pointer
// slot points at a buffer of exactly the slot's size filled from the input, so a read
// past a slot's buffer is caught; the formatted record is then written to the log.
#include "fuzz/fuzz_support.h"
#include "logger/ruzoravu64.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Slot {
  size_t offset;
  size_t bytes;
};

// The entries' pointer slots and the sizes of the buffers the plug-in hangs there.
const Slot kSlots[] = {
    {32, LOG_COMPUTER_NAME_BYTES}, {192, LOG_LONG_TEXT_BYTES},  {200, LOG_LONG_TEXT_BYTES},
    {208, LOG_LONG_TEXT_BYTES},    {216, LOG_LONG_TEXT_BYTES},  {224, LOG_LONG_TEXT_BYTES},
    {232, LOG_LONG_TEXT_BYTES},    {240, LOG_SHORT_TEXT_BYTES}, {416, LOG_SHORT_TEXT_BYTES},
    {424, LOG_SHORT_TEXT_BYTES},   {440, LOG_SHORT_TEXT_BYTES}, {464, LOG_SHORT_TEXT_BYTES},
    {480, LOG_SHORT_TEXT_BYTES},   {640, LOG_SHORT_TEXT_BYTES},
};

const int kFormats[] = {LOG_FORMAT_STANDARD, LOG_FORMAT_EXTENDED, 0, -1, 4};
const int kLevels[] = {LOG_LEVEL_STANDARD, LOG_LEVEL_EXTENDED, LOG_LEVEL_EXTENDED_TEXT,
                       LOG_LEVEL_EXTENDED_BLOCK, 0, -7, 1000};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sgfuzz::Input in(data, size);
  uint8_t choice = in.U8();
  int format = kFormats[choice % 5];
  int level = kLevels[(choice >> 3) % 7];
  size_t entrySize = format == LOG_FORMAT_STANDARD ? sizeof(StandardLogEntry)
                                                   : sizeof(ExtendedLogEntry);

  std::unique_ptr<uint8_t[]> entry(new uint8_t[entrySize]);
  in.Fill(entry.get(), entrySize);
  std::vector<std::unique_ptr<char[]>> buffers;
  uint32_t nullSlots = in.U16();
  for (size_t i = 0; i < sizeof(kSlots) / sizeof(kSlots[0]); ++i) {
    const Slot& slot = kSlots[i];
    if (slot.offset + sizeof(void*) > entrySize) continue;
    char* buffer = nullptr;
    if ((nullSlots & (1u << i)) == 0) {
      buffers.emplace_back(new char[slot.bytes]);
      buffer = buffers.back().get();
      in.Fill(buffer, slot.bytes, 'x');
    }
    std::memcpy(entry.get() + slot.offset, &buffer, sizeof(buffer));
  }

  DWORD required = 0xDEADBEEF;
  QenDrvLogFormatRecord(level, format, entry.get(), nullptr, 0, &required);
  if (required == 0 || required > (1u << 20)) sgfuzz::Fail("implausible required size");

  // One byte short: nothing may be written past the smaller buffer.
  std::unique_ptr<char[]> shortBlock(new char[required - 1]);
  DWORD again = 0;
  QenDrvLogFormatRecord(level, format, entry.get(), shortBlock.get(), required - 1, &again);
  if (again != required) sgfuzz::Fail("required size differs between calls");

  std::unique_ptr<char[]> block(new char[required]);
  QenDrvLogFormatRecord(level, format, entry.get(), block.get(), required, &again);
  // The write call gets no length: the record must end at its zero byte.
  if (std::memchr(block.get(), 0, required) != block.get() + required - 1) {
    sgfuzz::Fail("formatted record is not terminated at its last byte");
  }

  if (choice & 0x80) {
    // A fresh sandbox now and then keeps the log directories small.
    static unsigned writes = 0;
    if (writes++ % 512 == 0) sgfuzz::ResetSandbox();
    char name[40];
    in.Fill(name, sizeof(name) - 1, 0);
    name[sizeof(name) - 1] = 0;
    const char* directory = (choice & 0x40) ? "C:\\Windows\\temp\\PrintLog" : "C:\\Logs\\..\\x";
    QenDrvLogWriteRecord(directory, name, in.U8(), level, block.get(), nullptr);
  }
  return 0;
}
