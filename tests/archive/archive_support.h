// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the archive tests: the four warning texts written as UTF-16 code
// units, the record of CreateDirectoryW calls, and a direct call of the path choice.
#pragma once

#include "archive/archive.h"
#include "tests/support/sandbox.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sgtest {

// Written with escapes, independently of the product's UTF-8 literals.
inline const std::u16string kPathTooLongText =
    u"\u30D5\u30EB\u30D1\u30B9\u304C\u9577\u3059\u304E\u307E\u3059\u3002";
inline const std::u16string kFileExistsText =
    u"\uFF8C\uFF67\uFF72\uFF99\u540D\u304C\u3059\u3067\u306B\u5B58\u5728\u3059\u308B\u305F"
    u"\u3081 Sheafmark \u4FDD\u5B58\u306F\u4E2D\u6B62\u3057\u307E\u3059\u3002";
inline const std::u16string kNamesExhaustedText =
    u"\u30D5\u30A1\u30A4\u30EB\u304C\u3044\u3063\u3071\u3044\u306B\u306A\u308A\u307E\u3057"
    u"\u305F\u3002\n\u30D5\u30A1\u30A4\u30EB\u306E\u4F5C\u6210\u306B\u5931\u6557\u3057\u307E"
    u"\u3057\u305F\u3002";
inline const std::u16string kCreateFailedText =
    u"\u30D5\u30A1\u30A4\u30EB\u306E\u4F5C\u6210\u306B\u5931\u6557\u3057\u307E\u3057\u305F"
    u"\u3002";

// Texts of the message boxes shown since the host was reset, checking that each was
// shown without owner, with a null caption and as a warning.
std::vector<std::u16string> WarningTexts();

// Every path handed to CreateDirectoryW since the last clear, in order.
std::vector<std::u16string> CreatedDirectoryCalls();
void ClearCreatedDirectoryCalls();
// Runs before every CreateDirectoryW with its path (another job acting meanwhile);
// nullptr removes it.
void SetBeforeCreateDirectory(std::function<void(const std::u16string&)> action);

// ChooseArchivePath with the three texts put into ArchiveLocationRecord fields;
// nullopt when it fails. Releases the returned buffer.
std::optional<std::u16string> ChoosePath(std::u16string_view directory,
                                         std::u16string_view fileName,
                                         std::u16string_view documentName);

// SandboxTest with the CreateDirectoryW record cleared.
class ArchiveTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    ClearCreatedDirectoryCalls();
    SetBeforeCreateDirectory(nullptr);
  }
};

}  // namespace sgtest
