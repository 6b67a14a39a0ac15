// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the spoolgate command's capture reader over any file content. Every
// fault must be an InputError; nothing else may escape and no event may be invented.
#include "fuzz/fuzz_support.h"
#include "tools/replay/capture.h"
#include "tools/common/errors.h"

#include <unistd.h>

#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = sgfuzz::SandboxRoot() + "/input.cap";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) sgfuzz::Fail("cannot write the capture");
  if (size > 0 && std::fwrite(data, 1, size, file) != size) sgfuzz::Fail("short write");
  std::fclose(file);

  try {
    spoolgate::CaptureReader reader(path);
    spoolgate::CaptureEvent event;
    uint64_t events = 0;
    uint64_t bytes = 0;
    while (reader.Next(event)) {
      ++events;
      bytes += event.bytes.size();
      // Each event costs at least its kind byte, each block its size word and bytes.
      if (bytes + events > size) sgfuzz::Fail("reader returned more than the file holds");
      if (event.bytes.size() > spoolgate::kMaxCaptureBlock) sgfuzz::Fail("block over the limit");
    }
    if (reader.Offset() != size) sgfuzz::Fail("capture accepted with bytes left over");
  } catch (const spoolgate::InputError&) {
    // Refused with a message: what bad input must get.
  }
  return 0;
}
