// The overlay store: creating an overlay file in register mode and copying a stored
// overlay's body to the printer or into an open file.
#pragma once

#include "core/records.h"

// overlayPath is the OverlayControlRecord's field of OVERLAY_PATH_CHARS characters; it
// is read only within the field, whether or not it holds a terminator.
HANDLE CreateOverlayFile(const WCHAR* overlayPath, const OverlayHeaderRecord* header);
BOOL CopyOverlayToPrinter(HANDLE printer, const WCHAR* overlayPath);
BOOL CopyOverlayToFile(HANDLE file, const WCHAR* overlayPath);
