// Overlay file creation and insertion (placeholder until the overlay subsystem lands).
// Behaves as when the overlay file can be neither created nor opened.
#include "overlay/overlay.h"

HANDLE CreateOverlayFile(const WCHAR* overlayPath, const OverlayHeaderRecord* header) {
  (void)overlayPath;
  (void)header;
  return INVALID_HANDLE_VALUE;
}

BOOL CopyOverlayToPrinter(HANDLE printer, const WCHAR* overlayPath) {
  (void)printer;
  (void)overlayPath;
  return FALSE;
}

BOOL CopyOverlayToFile(HANDLE file, const WCHAR* overlayPath) {
  (void)file;
  (void)overlayPath;
  return FALSE;
}
