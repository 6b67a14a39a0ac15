// SPDX-License-Identifier: Apache-2.0
// The one platform header of the product: the Win32 API and the spooler's types.
// On Windows it is <windows.h>, <winspool.h> and the security headers; on Linux it is
// our host Win32 layer.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winspool.h>
#include <sddl.h>
// The one way product code writes a UTF-16 literal.
#define WTEXT(s) L##s
// Exports of the DLLs are named by their .def files.
#define SG_EXPORT
#else
#include "platform/host/win32_types.h"
#include "platform/host/win32_api.h"
#define WTEXT(s) u##s
#define SG_EXPORT __attribute__((visibility("default")))
#endif

// A function the compiler must keep out of line (both platforms build with gcc or clang).
#define SG_NOINLINE __attribute__((noinline))

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static_assert(sizeof(WCHAR) == 2, "WCHAR is UTF-16 on both platforms");
static_assert(sizeof(HANDLE) == 8, "the product is 64-bit only");
