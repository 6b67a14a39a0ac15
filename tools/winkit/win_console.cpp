// SPDX-License-Identifier: Apache-2.0
// Console text for spoolgate.exe: a stream buffer that hands whole UTF-8 characters to
// WriteConsoleW, since writing UTF-8 bytes to a console shows them in its code page, and
// binary mode for a redirected stream, so that its bytes are the Linux command's.
#include "tools/winkit/win_console.h"

#include "tools/winkit/win_system.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <streambuf>

namespace spoolgate {
namespace {

class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) { setp(buffer_, buffer_ + kBytes); }
  ~ConsoleBuffer() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    Flush(false);
    if (c != traits_type::eof()) {
      *pptr() = char(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override {
    Flush(true);
    return 0;
  }

 private:
  static constexpr int kBytes = 4096;
  // Writes what is buffered up to the last whole character; the start of a character
  // cut by the buffer's end waits for its other bytes, unless everything must go.
  void Flush(bool all) {
    int n = int(pptr() - pbase());
    int whole = n;
    if (!all) {
      int back = 0;
      while (back < 3 && back < whole && (buffer_[whole - 1 - back] & 0xC0) == 0x80) ++back;
      unsigned char lead = static_cast<unsigned char>(back < whole ? buffer_[whole - 1 - back] : 0);
      int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (back < whole && length > back + 1) whole -= back + 1;
    }
    std::wstring text = Wide(std::string(buffer_, size_t(whole)));
    DWORD written = 0;
    if (!text.empty()) WriteConsoleW(console_, text.data(), DWORD(text.size()), &written, nullptr);
    std::copy(buffer_ + whole, buffer_ + n, buffer_);
    setp(buffer_, buffer_ + kBytes);
    pbump(n - whole);
  }
  HANDLE console_;
  char buffer_[kBytes];
};

void Attach(std::ostream& stream, DWORD which) {
  HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
  if (!GetConsoleMode(handle, &mode)) {
    // Text mode would make every LF a CRLF, and a CSV line's CRLF a CR CR LF.
    _setmode(_fileno(which == STD_OUTPUT_HANDLE ? stdout : stderr), _O_BINARY);
    return;
  }
  static ConsoleBuffer* buffers[2] = {};
  ConsoleBuffer*& buffer = buffers[which == STD_OUTPUT_HANDLE ? 0 : 1];
  buffer = new ConsoleBuffer(handle);  // lives as long as the stream
  stream.rdbuf(buffer);
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(Utf8(argv[i]));
  return args;
}

void UseConsoleForText() {
  Attach(std::cout, STD_OUTPUT_HANDLE);
  Attach(std::cerr, STD_ERROR_HANDLE);
}

}  // namespace spoolgate
