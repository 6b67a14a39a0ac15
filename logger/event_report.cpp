// SPDX-License-Identifier: Apache-2.0
// The last resort for a line that can be stored nowhere: the Windows event log, under
// the library's own event source, so that the job still leaves a trace.
#include "logger/logger_internal.h"

// The event log takes at most 31,839 characters in one string; the buffer holds its
// terminator too, so at most 31,838 characters of the line are kept.
#define LOG_EVENT_TEXT_CHARS 31839u

void ReportLostLine(const WCHAR* logPath, const char* line, size_t lineBytes) {
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
    LPCWSTR strings[2] = {logPath, text};
    ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, LOG_EVENT_LINE_LOST, NULL, 2, 0, strings, NULL);
    DeregisterEventSource(source);
  }
  free(text);
}
