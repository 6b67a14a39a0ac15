// SPDX-License-Identifier: Apache-2.0
// Opening files by UTF-8 name: Windows takes the name as UTF-16 (_wfopen), elsewhere the
// name's bytes are the name.
#include "tools/common/portable.h"

namespace spoolgate {

std::FILE* OpenToRead(const std::string& utf8) {
#ifdef _WIN32
  return _wfopen(PathOf(utf8).wstring().c_str(), L"rb");
#else
  return std::fopen(utf8.c_str(), "rb");
#endif
}

bool SeekTo(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, int64_t(offset), SEEK_SET) == 0;
#else
  return fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

}  // namespace spoolgate
