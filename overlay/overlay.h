// SPDX-License-Identifier: Apache-2.0
// The overlay store: creating an overlay file in register mode and copying a stored
// overlay's body to the printer or into an open file.
#pragma once

#include "core/records.h"

// Each overlayPath is the OverlayControlRecord's field of OVERLAY_PATH_CHARS characters;
// it is read only within the field, whether or not it holds a terminator.

// CreateOverlayFile() - Creates (or replaces and empties) the overlay file, unshared,
// with the 444-byte header at its start. Returns the handle positioned behind the
// header, or INVALID_HANDLE_VALUE, also when the header could not be written whole. No
// directory is created, no message shown.
HANDLE CreateOverlayFile(const WCHAR* overlayPath, const OverlayHeaderRecord* header);

// CopyOverlayToPrinter() - Copies the overlay's body (everything behind its header) to
// the printer in chunks of at most 256 bytes. Returns the last write's result; FALSE
// when the overlay cannot be opened (missing, or held by another job) or has no body.
BOOL CopyOverlayToPrinter(HANDLE printer, const WCHAR* overlayPath);

// CopyOverlayToFile() - The same into an open file at its current position; FALSE,
// without opening the overlay, for INVALID_HANDLE_VALUE.
BOOL CopyOverlayToFile(HANDLE file, const WCHAR* overlayPath);
