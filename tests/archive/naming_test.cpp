// SPDX-License-Identifier: Apache-2.0
// Choosing the archive path: the length limit, explicit and document names, numbering,
// character replacement, the spooler's document name and the warnings of each case.
#include "tests/archive/archive_support.h"

#include <memory>

namespace sgtest {
namespace {

class ArchiveNamingTest : public ArchiveTest {};

// The longest path taken, written out rather than borrowed from the product.
constexpr size_t kLongestPath = 255;
// "C:\Jobs" + "\" + name + ".RUD" is 12 characters besides the name.
constexpr size_t kFixedChars = 12;

TEST_F(ArchiveNamingTest, ExplicitNamePathOf255IsTakenAnd256IsRefusedWithWarning) {
  std::u16string fits(kLongestPath - kFixedChars, u'n');
  auto chosen = ChoosePath(u"C:\\Jobs", fits, u"Drawing.plt");
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->size(), 255u);
  EXPECT_EQ(*chosen, u"C:\\Jobs\\" + fits + u".RUD");
  EXPECT_TRUE(WarningTexts().empty());

  EXPECT_FALSE(ChoosePath(u"C:\\Jobs", fits + u"n", u"Drawing.plt").has_value());
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kPathTooLongText});
}

TEST_F(ArchiveNamingTest, DocumentNamePathOf255IsTakenAnd256IsRefusedSilently) {
  std::u16string fits(kLongestPath - kFixedChars, u'd');
  auto chosen = ChoosePath(u"C:\\Jobs", u"", fits);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(*chosen, u"C:\\Jobs\\" + fits + u".RUD");

  EXPECT_FALSE(ChoosePath(u"C:\\Jobs", u"", fits + u"d").has_value());
  EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ArchiveNamingTest, NumberedPathMayGrowTwoCharactersPastTheLimit) {
  std::u16string name(kLongestPath - kFixedChars, u'd');
  PutWindowsFile(u"C:\\Jobs\\" + name + u".RUD", Data("taken"));
  auto chosen = ChoosePath(u"C:\\Jobs", u"", name);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->size(), 257u);
  EXPECT_EQ(*chosen, u"C:\\Jobs\\" + name + u"00.RUD");
}

TEST_F(ArchiveNamingTest, ExplicitNameIsUsedUnchangedAndNeverNumbered) {
  EXPECT_EQ(ChoosePath(u"C:\\Jobs", u"plan.RUD", u"Drawing.plt"), u"C:\\Jobs\\plan.RUD.RUD");
  EXPECT_EQ(ChoosePath(u"C:\\Jobs", u"a:b\\c", u"Drawing.plt"), u"C:\\Jobs\\a:b\\c.RUD");
  // The separator is inserted also behind a directory that ends in one.
  EXPECT_EQ(ChoosePath(u"C:\\Jobs\\", u"plan", u""), u"C:\\Jobs\\\\plan.RUD");
  EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ArchiveNamingTest, ExistingExplicitNameIsRefusedWithWarningAndLeftAlone) {
  PutWindowsFile(u"C:\\Jobs\\plan.RUD", Data("someone's archive"));
  EXPECT_FALSE(ChoosePath(u"C:\\Jobs", u"plan", u"Drawing.plt").has_value());
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kFileExistsText});
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\plan.RUD"), Data("someone's archive"));
}

TEST_F(ArchiveNamingTest, EmptyDocumentNameGivesBareExtensionThenNumbers) {
  EXPECT_EQ(ChoosePath(u"C:\\Jobs", u"", u""), u"C:\\Jobs\\.RUD");
  PutWindowsFile(u"C:\\Jobs\\.RUD", Data("x"));
  EXPECT_EQ(ChoosePath(u"C:\\Jobs", u"", u""), u"C:\\Jobs\\00.RUD");
  PutWindowsFile(u"C:\\Jobs\\00.RUD", Data("x"));
  EXPECT_EQ(ChoosePath(u"C:\\Jobs", u"", u""), u"C:\\Jobs\\01.RUD");
}

TEST_F(ArchiveNamingTest, FirstFreeNumberIsTakenEvenBelowHigherTakenOnes) {
  PutWindowsFile(u"C:\\Jobs\\Report.RUD", Data("x"));
  PutWindowsFile(u"C:\\Jobs\\Report00.RUD", Data("x"));
  PutWindowsFile(u"C:\\Jobs\\Report02.RUD", Data("x"));
  EXPECT_EQ(ChoosePath(u"C:\\Jobs", u"", u"Report"), u"C:\\Jobs\\Report01.RUD");
  EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ArchiveNamingTest, AllHundredNumbersTakenGivesWarningAndNoPath) {
  PutWindowsFile(u"C:\\Jobs\\Report.RUD", Data("x"));
  for (int n = 0; n < 100; ++n) {
    std::u16string number = {static_cast<char16_t>(u'0' + n / 10),
                              static_cast<char16_t>(u'0' + n % 10)};
    PutWindowsFile(u"C:\\Jobs\\Report" + number + u".RUD", Data("x"));
  }
  HostResetCounters();
  EXPECT_FALSE(ChoosePath(u"C:\\Jobs", u"", u"Report").has_value());
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kNamesExhaustedText});
  EXPECT_EQ(HostCallCount(HostOp::CreateFile), 101u) << "the plain name, then 00 to 99";
}

TEST_F(ArchiveNamingTest, WarningTextsAreTheExactCodeUnits) {
  // The first word of the exists-warning is half-width katakana, and the feature name
  // stands between two ASCII spaces; the exhausted-warning breaks its line with LF.
  const std::u16string prefix = {0xFF8C, 0xFF67, 0xFF72, 0xFF99, 0x540D};
  EXPECT_EQ(kFileExistsText.substr(0, 5), prefix);
  EXPECT_NE(kFileExistsText.find(u" Sheafmark "), std::u16string::npos);
  EXPECT_EQ(kNamesExhaustedText[16], u'\n');
  EXPECT_EQ(kNamesExhaustedText.substr(17), kCreateFailedText);

  PutWindowsFile(u"C:\\Jobs\\plan.RUD", Data("x"));
  ChoosePath(u"C:\\Jobs", u"plan", u"");
  auto texts = WarningTexts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].substr(0, 5), prefix);
  EXPECT_EQ(texts[0].size(), kFileExistsText.size());
}

TEST(ArchiveNameReplacement, EachOfTheElevenCharactersIsReplacedInPlace) {
  const std::u16string source = u"a\\b/c:d,e;f*g?h\"i<j>k|l\tm";
  const std::u16string expected =
      u"a\uFFE5b\uFF0Fc\uFF1Ad\uFF0Ce\uFF1Bf\uFF0Ag\uFF1Fh\u201Di\uFF1Cj\uFF1Ek\uFF5Cl\tm";
  WCHAR in[ARCHIVE_TEXT_CHARS];
  WCHAR out[ARCHIVE_NAME_CHARS];
  SetText(in, source);
  std::fill(std::begin(out), std::end(out), static_cast<WCHAR>(0xCCCC));
  ReplaceFileNameChars(in, ARCHIVE_TEXT_CHARS, out, ARCHIVE_NAME_CHARS);
  EXPECT_EQ(std::u16string(out), expected);
  EXPECT_EQ(expected.size(), source.size());
}

TEST_F(ArchiveNamingTest, DocumentNameIsReplacedButDirectoryIsNot) {
  EXPECT_EQ(ChoosePath(u"D:\\Jobs", u"", u"A/B:C"), u"D:\\Jobs\\A\uFF0FB\uFF1AC.RUD");
}

TEST_F(ArchiveNamingTest, UnterminatedFieldsAreCutAtTheFieldsEnd) {
  // Each field alone on the heap, exactly 256 characters and no terminator, so that a
  // read past it is caught by the address sanitizer.
  auto directory = std::make_unique<WCHAR[]>(ARCHIVE_TEXT_CHARS);
  auto name = std::make_unique<WCHAR[]>(ARCHIVE_TEXT_CHARS);
  auto empty = std::make_unique<WCHAR[]>(ARCHIVE_TEXT_CHARS);
  std::fill_n(directory.get(), ARCHIVE_TEXT_CHARS, static_cast<WCHAR>(u'd'));
  std::fill_n(name.get(), ARCHIVE_TEXT_CHARS, static_cast<WCHAR>(u'n'));
  std::fill_n(empty.get(), ARCHIVE_TEXT_CHARS, static_cast<WCHAR>(0));

  // A cut field always makes a path too long: refused, warned only for explicit names.
  EXPECT_EQ(ChooseArchivePath(directory.get(), name.get(), empty.get()), nullptr);
  EXPECT_EQ(ChooseArchivePath(directory.get(), empty.get(), name.get()), nullptr);
  EXPECT_EQ(ChooseArchivePath(empty.get(), empty.get(), name.get()), nullptr);
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kPathTooLongText});

  // The document name is cut to the 255 characters its buffer can hold terminated.
  WCHAR out[ARCHIVE_NAME_CHARS];
  ReplaceFileNameChars(name.get(), ARCHIVE_TEXT_CHARS, out, ARCHIVE_NAME_CHARS);
  EXPECT_EQ(std::u16string(out), std::u16string(255, u'n'));
}

TEST_F(ArchiveNamingTest, NoMemoryForAWorkingBufferFailsWithoutWarningOrLeak) {
  for (uint64_t nth = 1; nth <= 3; ++nth) {
    uint64_t live = HostLiveAllocations();
    HostFailNth(HostOp::Alloc, nth, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(ChoosePath(u"C:\\Jobs", u"", u"Report").has_value()) << "allocation " << nth;
    HostClearFaults();
    EXPECT_EQ(HostLiveAllocations(), live) << "allocation " << nth;
  }
  EXPECT_TRUE(WarningTexts().empty());
  EXPECT_TRUE(ChoosePath(u"C:\\Jobs", u"", u"Report").has_value());
}

// --- the document name from the spooler ---------------------------------------------

class JobDocumentNameTest : public ArchiveTest {
 protected:
  // The name GetJobDocumentName leaves in a zero-filled buffer, or nullopt on FALSE.
  std::optional<std::u16string> Fetch(DWORD jobId) {
    WCHAR buffer[DOCUMENT_NAME_CHARS + 1];
    std::fill(std::begin(buffer), std::end(buffer), static_cast<WCHAR>(0));
    buffer[DOCUMENT_NAME_CHARS] = 0xCCCC;  // guard behind the buffer
    uint64_t live = HostLiveAllocations();
    BOOL found = GetJobDocumentName(printer_, jobId, buffer);
    EXPECT_EQ(HostLiveAllocations(), live) << "the job information block is released";
    EXPECT_EQ(buffer[DOCUMENT_NAME_CHARS], 0xCCCC) << "written past the buffer";
    EXPECT_EQ(buffer[DOCUMENT_NAME_CHARS - 1], 0) << "the last character stays zero";
    if (!found) return std::nullopt;
    return std::u16string(buffer);
  }
};

TEST_F(JobDocumentNameTest, SpoolersNameIsTakenAndCutTo255Characters) {
  EXPECT_EQ(Fetch(jobId_), u"Drawing.plt");
  std::u16string longName(300, u'x');
  longName[254] = u'L';
  longName[255] = u'C';
  HostAddJob(printer_, 21, {longName, u"alice"});
  EXPECT_EQ(Fetch(21), longName.substr(0, 255));
}

TEST_F(JobDocumentNameTest, MissingEmptyOrUnreachableNameGivesFalse) {
  HostAddJob(printer_, 21, {std::nullopt, u"alice"});
  EXPECT_EQ(Fetch(21), std::nullopt);
  HostAddJob(printer_, 22, {u"", u"alice"});
  EXPECT_EQ(Fetch(22), std::nullopt);
  EXPECT_EQ(Fetch(23), std::nullopt) << "no such job";

  HostFailNth(HostOp::Alloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Fetch(jobId_), std::nullopt);
  HostFailNth(HostOp::GetJob, 2, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Fetch(jobId_), std::nullopt);
  HostClearFaults();
  EXPECT_EQ(Fetch(jobId_), u"Drawing.plt");
}

}  // namespace
}  // namespace sgtest
