// SPDX-License-Identifier: Apache-2.0
// The buffering of an output file, the same on every system: small writes gather in
// the buffer, a large one goes out directly.
#include "tools/common/output_file.h"

namespace spoolgate {

void OutputFile::Write(const void* data, size_t size) {
  if (buffer_.size() + size <= kBufferBytes) {
    const char* p = static_cast<const char*>(data);
    buffer_.insert(buffer_.end(), p, p + size);
    return;
  }
  Flush();
  if (size < kBufferBytes) {
    Write(data, size);
  } else {
    WriteOut(data, size);
  }
}

void OutputFile::Flush() {
  WriteOut(buffer_.data(), buffer_.size());
  buffer_.clear();
}

}  // namespace spoolgate
