// SPDX-License-Identifier: Apache-2.0
// FormatMessageW of the host Win32 layer: the system's English text of the errors the
// layer itself gives, as Windows words them.
#include "platform/host/host_internal.h"

#include <algorithm>
#include <string>

namespace {

struct ErrorText {
  DWORD error;
  const char16_t* text;
};

// Windows ends each text with CRLF.
const ErrorText kErrorTexts[] = {
    {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, u"The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, u"Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, u"The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, u"Not enough memory resources are available to process this command.\r\n"},
    {ERROR_WRITE_FAULT, u"The system cannot write to the specified device.\r\n"},
    {ERROR_READ_FAULT, u"The system cannot read from the specified device.\r\n"},
    {ERROR_SHARING_VIOLATION, u"The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_LOCK_VIOLATION, u"The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {ERROR_FILE_EXISTS, u"The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect.\r\n"},
    {ERROR_DISK_FULL, u"There is not enough space on the disk.\r\n"},
    {ERROR_INVALID_NAME, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_ALREADY_EXISTS, u"Cannot create a file when that file already exists.\r\n"},
    {ERROR_FILE_TOO_LARGE, u"The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {ERROR_DIRECTORY, u"The directory name is invalid.\r\n"},
    {ERROR_IO_DEVICE, u"The request could not be performed because of an I/O device error.\r\n"},
};

}  // namespace

// FormatMessageW - only FORMAT_MESSAGE_FROM_SYSTEM (with FORMAT_MESSAGE_IGNORE_INSERTS)
// into the caller's buffer, in English whatever languageId asks; any other flag fails
// with ERROR_INVALID_PARAMETER. An error the table does not know fails with
// ERROR_MR_MID_NOT_FOUND, as Windows answers for a code without text. Returns the
// characters written before the terminator; ERROR_INSUFFICIENT_BUFFER when they and
// the terminator do not fit size.
extern "C" DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId,
                                       DWORD languageId, LPWSTR buffer, DWORD size,
                                       va_list* arguments) {
  (void)source;
  (void)languageId;
  (void)arguments;
  if ((flags & ~(DWORD)FORMAT_MESSAGE_IGNORE_INSERTS) != FORMAT_MESSAGE_FROM_SYSTEM || buffer == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const ErrorText* found = std::find_if(std::begin(kErrorTexts), std::end(kErrorTexts),
                                        [messageId](const ErrorText& e) { return e.error == messageId; });
  if (found == std::end(kErrorTexts)) {
    hostimpl::SetError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::u16string text = found->text;
  if (text.size() + 1 > size) {
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}
