// SPDX-License-Identifier: Apache-2.0
// Comparing names without regard to case, for every script: Unicode's simple case
// folding from a table compiled in, so that Linux and Windows fold alike, with no locale.
#pragma once

#include <string>

namespace spoolgate {

// The text with every character replaced by its simple case folding (JÜRGEN and jürgen
// both give jürgen; one character to one, so the text keeps its length in characters).
// Bytes that are not well-formed UTF-8 are kept as they are.
std::string FoldCase(const std::string& text);

}  // namespace spoolgate
