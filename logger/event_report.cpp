// SPDX-License-Identifier: Apache-2.0
// The last resort for a line that can be stored nowhere: the Windows event log, under
// the library's own event source, so that the job still leaves a trace and its reason.
#include "logger/logger_internal.h"

// The event log takes at most 31,839 characters in one string; the buffer holds its
// terminator too, so at most 31,838 characters of the line are kept.
#define LOG_EVENT_TEXT_CHARS 31839u
// Room for "error 4294967295: " and the system's text of an error, which is a sentence.
#define LOG_EVENT_REASON_CHARS 512u

// "error <n>: <the system's text>" into reason (terminated), without the text's line
// break; "error <n>" alone when the system has no text for it. Error 0 is the library's
// own reason: no call failed, but every number is used.
static void ComposeReason(DWORD error, WCHAR* reason) {
  static const char kExhausted[] = "every sequence number is used";
  static const char kLead[] = "error ";
  char ascii[64];
  size_t n = 0;
  if (error == 0) {
    n = sizeof(kExhausted) - 1;
    memcpy(ascii, kExhausted, n);
  } else {
    memcpy(ascii, kLead, sizeof(kLead) - 1);
    n = sizeof(kLead) - 1;
    n += FormatDecimal(error, 1, ascii + n, sizeof(ascii) - n);
  }
  for (size_t i = 0; i < n; ++i) reason[i] = (WCHAR)ascii[i];
  reason[n] = 0;
  if (error == 0) return;
  // The text goes after ": " straight into the buffer; no allocation is asked for.
  DWORD chars = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                               error, 0, reason + n + 2, (DWORD)(LOG_EVENT_REASON_CHARS - n - 2), NULL);
  while (chars > 0 && (reason[n + 1 + chars] == '\r' || reason[n + 1 + chars] == '\n' ||
                       reason[n + 1 + chars] == ' '))
    --chars;
  if (chars == 0) return;
  reason[n] = ':';
  reason[n + 1] = ' ';
  reason[n + 2 + chars] = 0;
}

void ReportLostLine(const WCHAR* logPath, const char* line, size_t lineBytes, DWORD error) {
  WCHAR reason[LOG_EVENT_REASON_CHARS];
  ComposeReason(error, reason);
  WCHAR* text = (WCHAR*)malloc(LOG_EVENT_TEXT_CHARS * sizeof(WCHAR));
  if (text == NULL) return;
  // A line cut at the bound still tells the job; its bytes that do not form whole
  // characters are dropped by the conversion.
  size_t bytes = lineBytes < LOG_EVENT_TEXT_CHARS - 1 ? lineBytes : LOG_EVENT_TEXT_CHARS - 1;
  int chars = bytes == 0 ? 0
                         : MultiByteToWideChar(CP_UTF8, 0, line, (int)bytes, text,
                                               (int)(LOG_EVENT_TEXT_CHARS - 1));
  text[chars > 0 ? chars : 0] = 0;
  HANDLE source = RegisterEventSourceW(NULL, LOG_EVENT_SOURCE);
  if (source != NULL) {
    // The line stays the second string, where the readers of stored events find it.
    LPCWSTR strings[3] = {logPath, text, reason};
    ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, LOG_EVENT_LINE_LOST, NULL, 3, 0, strings, NULL);
    DeregisterEventSource(source);
  }
  free(text);
}
