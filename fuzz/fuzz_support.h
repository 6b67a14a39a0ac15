// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the fuzz targets: a reader that turns fuzz input into numbers,
// texts and blocks (running dry gives zeros), and a per-process sandbox that each
// input starts afresh in.
#pragma once

#include "platform/host/host_control.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace sgfuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  size_t Left() const { return size_ - at_; }

  uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }

  // Up to n bytes of input (fewer when it runs dry).
  std::vector<uint8_t> Bytes(size_t n) {
    size_t take = n < Left() ? n : Left();
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + take);
    at_ += take;
    return out;
  }

  // Fills dst with input bytes; what the input cannot give is fill.
  void Fill(void* dst, size_t n, uint8_t fill = 0) {
    size_t take = n < Left() ? n : Left();
    if (take > 0) std::memcpy(dst, data_ + at_, take);
    if (take < n) std::memset(static_cast<uint8_t*>(dst) + take, fill, n - take);
    at_ += take;
  }

  // A UTF-16 text of chars units taken raw from the input: lone surrogates, control
  // characters and missing terminators all come out of it.
  std::u16string Text(size_t chars) {
    std::u16string out;
    for (size_t i = 0; i < chars && Left() >= 2; ++i) out.push_back(static_cast<char16_t>(U16()));
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// One sandbox root per process, emptied and handed to HostReset for every input.
void ResetSandbox();
const std::string& SandboxRoot();

// Writes text into a field of n units: cut to the field, and without terminator when
// it fills the field exactly.
template <size_t N>
void PutText(char16_t (&field)[N], const std::u16string& text) {
  for (size_t i = 0; i < N; ++i) field[i] = i < text.size() ? text[i] : 0;
}

// Stops the fuzzer with a message: an invariant of the product did not hold.
[[noreturn]] void Fail(const char* what);

}  // namespace sgfuzz
