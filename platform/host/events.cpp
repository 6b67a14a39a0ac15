// SPDX-License-Identifier: Apache-2.0
// The event log of the host Win32 layer: RegisterEventSourceW, ReportEventW and
// DeregisterEventSource record each event for HostEventLog instead of a system log.
#include "platform/host/call_record.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace {

constexpr uint32_t kEventSourceMagic = 0x45564E54;  // "EVNT"

struct EventSource {
  std::atomic<uint32_t> magic{kEventSourceMagic};
  std::u16string name;
};

std::mutex g_mutex;
std::vector<HostEvent> g_events;

EventSource* AsSource(HANDLE handle) {
  auto* source = static_cast<EventSource*>(handle);
  return source != nullptr && source->magic.load() == kEventSourceMagic ? source : nullptr;
}

}  // namespace

// RegisterEventSourceW - a handle for reporting under the named source. Windows accepts
// a source that is not registered under the EventLog service key (the viewer then
// lacks the message text); only the local machine (null server) is supported here,
// and an empty or null source fails with ERROR_INVALID_PARAMETER.
extern "C" HANDLE WINAPI RegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
  if (server != nullptr || source == nullptr || source[0] == 0) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* handle = new EventSource;
  handle->name = hostimpl::ToU16(source);
  return handle;
}

// ReportEventW - records the event with its strings (raw data is not kept). A handle
// that did not come from RegisterEventSourceW fails with ERROR_INVALID_HANDLE.
// call_record.cpp exports it under its Win32 name.
BOOL hostimpl::plain::ReportEventW(HANDLE source, WORD type, WORD category, DWORD eventId,
                                   PSID user, WORD stringCount, DWORD dataSize,
                                   LPCWSTR* strings, LPVOID data) {
  (void)user;
  (void)dataSize;
  (void)data;
  EventSource* s = AsSource(source);
  if (s == nullptr) {
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (stringCount != 0 && strings == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HostEvent event{s->name, type, category, eventId, {}};
  for (WORD i = 0; i < stringCount; ++i) {
    event.strings.push_back(strings[i] != nullptr ? hostimpl::ToU16(strings[i]) : u"");
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_events.push_back(std::move(event));
  return TRUE;
}

// DeregisterEventSource - closes a handle of RegisterEventSourceW.
extern "C" BOOL WINAPI DeregisterEventSource(HANDLE source) {
  EventSource* s = AsSource(source);
  uint32_t expected = kEventSourceMagic;
  if (s == nullptr || !s->magic.compare_exchange_strong(expected, 0)) {
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete s;
  return TRUE;
}

// HostEventLog - the events reported since the last reset, in order.
std::vector<HostEvent> HostEventLog() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_events;
}

namespace hostimpl {

void ResetEvents() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_events.clear();
}

}  // namespace hostimpl
