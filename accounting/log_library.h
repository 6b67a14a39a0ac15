// SPDX-License-Identifier: Apache-2.0
// Where the plug-in loads the logging library from: its own directory, then the
// system directory, never the search path.
#pragma once

#include "platform/win32.h"

// LoadLogLibrary() - Loads "ruzoravu64.dll" by full path from the directory the
// plug-in itself was loaded from, else from the system directory; NULL when neither
// holds a copy that loads. The bare name is never searched for: that would try the
// current directory and every directory on PATH, where any user may put a DLL that
// would then run inside the spooler.
HMODULE LoadLogLibrary(void);
