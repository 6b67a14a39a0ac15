// SPDX-License-Identifier: Apache-2.0
// Bounded copies and conversions of the texts in fixed record fields: they never read
// past the field, never write past the buffer, and always terminate their output.
#pragma once

#include "platform/win32.h"

// BoundedTextLength() - Length of a UTF-16 text in a field of fieldChars characters: up to
// its terminator, or the whole field when the field holds none.
size_t BoundedTextLength(const WCHAR* field, size_t fieldChars);

// CopyBoundedText() - Copies the text of a UTF-16 field into a buffer of bufferChars
// characters, cut to bufferChars - 1 characters, and terminates it. Returns the characters
// copied. A null field counts as the empty text.
size_t CopyBoundedText(WCHAR* buffer, size_t bufferChars, const WCHAR* field, size_t fieldChars);

// BoundedAnsiLength() - Length of a single-byte text in a field of fieldBytes bytes, as
// BoundedTextLength.
size_t BoundedAnsiLength(const char* field, size_t fieldBytes);

// CopyBoundedAnsi() - The same for single-byte texts.
size_t CopyBoundedAnsi(char* buffer, size_t bufferBytes, const char* field, size_t fieldBytes);

// ConvertTextToOem() - Converts the text of a UTF-16 field to the OEM code page into a
// buffer of bufferBytes bytes, terminator included. A text that does not fit is cut at the
// last whole character that fits (never inside a double-byte character or a surrogate
// pair). Returns the bytes written before the terminator. Unmappable characters become
// '?'.
size_t ConvertTextToOem(char* buffer, size_t bufferBytes, const WCHAR* field, size_t fieldChars);

// AppendBoundedText() - Appends a terminated text to a terminated buffer of bufferChars
// characters; returns FALSE, leaving the buffer as it was, when the result would not fit.
BOOL AppendBoundedText(WCHAR* buffer, size_t bufferChars, const WCHAR* text);

// AppendTextChars() - The same for the first chars characters of text, which need no
// terminator.
BOOL AppendTextChars(WCHAR* buffer, size_t bufferChars, const WCHAR* text, size_t chars);
