// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the archive's naming. ChooseArchivePath over fields of exactly their
// record size (texts cut, unterminated or with lone surrogates), with some of the
// candidate names already taken; ReplaceFileNameChars over any source and buffer size.
#include "fuzz/fuzz_support.h"
#include "archive/archive.h"
#include "platform/win32.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

std::unique_ptr<WCHAR[]> Field(sgfuzz::Input& in, size_t chars) {
  std::unique_ptr<WCHAR[]> field(new WCHAR[chars]);
  size_t length = in.U16() % (chars + 8);  // past chars: no terminator in the field
  std::u16string text = in.Text(length);
  for (size_t i = 0; i < chars; ++i) field[i] = i < text.size() ? text[i] : 0;
  if (length >= chars) {
    for (size_t i = text.size(); i < chars; ++i) field[i] = u'n';
  }
  return field;
}

size_t TerminatedLength(const WCHAR* text, size_t chars) {
  for (size_t i = 0; i < chars; ++i) {
    if (text[i] == 0) return i;
  }
  sgfuzz::Fail("text not terminated within its buffer");
}

// Creates an empty file at a Windows path (directories included), as another job would.
void Occupy(const std::u16string& windowsPath) {
  HANDLE file = CreateFileW((LPCWSTR)windowsPath.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sgfuzz::ResetSandbox();
  CreateDirectoryW((LPCWSTR)u"C:\\Jobs", NULL);
  sgfuzz::Input in(data, size);
  uint8_t setup = in.U8();

  // ReplaceFileNameChars: any source length, any destination size from 1 up.
  {
    size_t sourceChars = 1 + in.U16() % 400;
    size_t destinationChars = 1 + in.U16() % 300;
    std::unique_ptr<WCHAR[]> source(new WCHAR[sourceChars]);
    std::u16string text = in.Text(sourceChars);
    for (size_t i = 0; i < sourceChars; ++i) source[i] = i < text.size() ? text[i] : 0;
    std::unique_ptr<WCHAR[]> destination(new WCHAR[destinationChars]);
    ReplaceFileNameChars(source.get(), sourceChars, destination.get(), destinationChars);
    size_t in_length = 0;
    while (in_length < sourceChars && source[in_length] != 0) ++in_length;
    size_t out_length = TerminatedLength(destination.get(), destinationChars);
    size_t expected = in_length < destinationChars - 1 ? in_length : destinationChars - 1;
    if (out_length != expected) sgfuzz::Fail("replacement changed the text's length");
  }

  std::unique_ptr<WCHAR[]> directory = (setup & 1) ? Field(in, ARCHIVE_TEXT_CHARS) : nullptr;
  if (!directory) {
    directory.reset(new WCHAR[ARCHIVE_TEXT_CHARS]);
    sgfuzz::PutText(*reinterpret_cast<char16_t(*)[ARCHIVE_TEXT_CHARS]>(directory.get()),
                    u"C:\\Jobs");
  }
  std::unique_ptr<WCHAR[]> fileName = Field(in, ARCHIVE_TEXT_CHARS);
  if (setup & 2) fileName[0] = 0;
  std::unique_ptr<WCHAR[]> documentName = Field(in, DOCUMENT_NAME_CHARS);

  // Take the plain name and some numbered ones, as earlier jobs would have.
  if (setup & 4) {
    WCHAR* first = ChooseArchivePath(directory.get(), fileName.get(), documentName.get());
    if (first != NULL) {
      std::u16string taken((const char16_t*)first, TerminatedLength(first, ARCHIVE_PATH_CHARS));
      GlobalFree(first);
      Occupy(taken);
      unsigned more = (setup >> 3) & 0x1F;
      for (unsigned n = 0; n < more && taken.size() > 4; ++n) {
        std::u16string numbered = taken.substr(0, taken.size() - 4);
        numbered += static_cast<char16_t>(u'0' + (n * 7 % 100) / 10);
        numbered += static_cast<char16_t>(u'0' + (n * 7 % 100) % 10);
        numbered += u".RUD";
        Occupy(numbered);
      }
    }
  }

  WCHAR* path = ChooseArchivePath(directory.get(), fileName.get(), documentName.get());
  if (path != NULL) {
    size_t length = TerminatedLength(path, ARCHIVE_PATH_CHARS);
    if (length < 4 || std::memcmp(path + length - 4, u".RUD", 8) != 0) {
      sgfuzz::Fail("chosen path does not end in .RUD");
    }
    GlobalFree(path);
  }
  if (HostOpenHandleCount() != 0) sgfuzz::Fail("naming left a file open");
  return 0;
}
