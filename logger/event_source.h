// SPDX-License-Identifier: Apache-2.0
// The event source the logging library reports lost lines under, for the library and
// for the administrator's kit, which registers it.
#pragma once

#include "platform/win32.h"

// Registered under LOG_EVENT_SOURCE_KEY with the library as its message file, the event
// viewer shows the text of the message table (event_messages.mc); the event is written
// either way.
#define LOG_EVENT_SOURCE WTEXT("ruzoravu64")
#define LOG_EVENT_SOURCE_KEY \
  WTEXT("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ruzoravu64")
// Event identifier of a lost accounting line; the message table gives its text.
#define LOG_EVENT_LINE_LOST 1000u
