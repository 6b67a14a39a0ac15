// SPDX-License-Identifier: Apache-2.0
// The standard entry (format 2) byte for byte as the library double receives it, host-only
// (the log line end to end: tests/conformance): fixed words, time stamp, names, fields.
#include "tests/accounting/accounting_fixture.h"

namespace sgtest {
namespace {

// A record with every carried field set to something recognisable.
JobLogRecord CarryingJobLog() {
  JobLogRecord r = NewJobLog();
  r.dayOfWeek = 4;  // deliberately not the date's weekday: it is carried, not computed
  SetText(r.text200, u"Caf\u00e9 plan");
  SetText(r.text216, u"Project 12");
  SetAnsi(r.ansi240, "dept \xE9\x80\xFF");  // bytes, not converted
  r.value248 = 0x11111111;
  r.value252 = 0x22222222;
  r.value256 = 0x33333333;
  for (size_t i = 0; i < sizeof(r.block260); ++i) r.block260[i] = static_cast<uint8_t>(i * 7);
  for (uint32_t i = 0; i < 6; ++i) r.values388[i] = 0x38800000u + i;
  SetAnsi(r.ansi416, "A0");
  SetAnsi(r.ansi424, "roll-914");
  r.value432 = 432;
  r.value436 = 436;
  SetText(r.text440, u"PLT-\u00e9042");
  r.value448 = 448;
  r.value452 = 452;
  r.value456 = 456;
  SetAnsi(r.ansi464, "cost centre 7");
  r.value472 = 472;
  r.value488 = 488;
  r.value492 = 492;
  r.logFlags = 0x1C;  // still the standard entry: bits 0 and 1 are clear
  SetText(r.extraText, u"never read here");
  r.value632 = 0x632;
  return r;
}

TEST_F(AccountingTest, StandardEntryCarriesFixedWordsTimeStampAndRecordFields) {
  JobLogRecord record = CarryingJobLog();
  RunJob(record);
  ASSERT_EQ(Entry().size(), 496u);

  EXPECT_EQ(EntryU32(0), 0xFFFFFFFFu);
  EXPECT_EQ(EntryU32(4), 1u);
  EXPECT_EQ(EntryU32(8), 0x03FFFFFFu);
  // SYSTEMTIME: year, month, day of week (the record's last word), day, h, m, s, ms.
  EXPECT_EQ(EntryU16(12), 2026);
  EXPECT_EQ(EntryU16(14), 12);
  EXPECT_EQ(EntryU16(16), 4);
  EXPECT_EQ(EntryU16(18), 7);
  EXPECT_EQ(EntryU16(20), 9);
  EXPECT_EQ(EntryU16(22), 41);
  EXPECT_EQ(EntryU16(24), 5);
  EXPECT_EQ(EntryU16(26), 250);

  EXPECT_EQ(EntryU32(248), 0x11111111u);
  EXPECT_EQ(EntryU32(252), 0x22222222u);
  EXPECT_EQ(EntryU32(256), 0x33333333u);
  EXPECT_EQ(EntryRange(260, 128), Bytes(record.block260, record.block260 + 128));
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(EntryU32(388 + 4 * i), 0x38800000u + i);
  EXPECT_EQ(EntryU32(432), 432u);
  EXPECT_EQ(EntryU32(436), 436u);
  EXPECT_EQ(EntryU32(448), 448u);
  EXPECT_EQ(EntryU32(452), 452u);
  EXPECT_EQ(EntryU32(456), 456u);
  EXPECT_EQ(EntryU32(472), 472u);
  EXPECT_EQ(EntryU32(488), 488u);
  EXPECT_EQ(EntryU32(492), 492u);

  // What the library put there stays wherever the entry has nothing to say.
  EXPECT_TRUE(NotWritten(28, 4));
  EXPECT_TRUE(NotWritten(40, 152));
  EXPECT_TRUE(NotWritten(412, 4));
  EXPECT_TRUE(NotWritten(460, 4));
  EXPECT_TRUE(NotWritten(476, 4));
}

TEST_F(AccountingTest, StandardEntryTextsAreConvertedOrCopiedAsTheirSlotsSay) {
  RunJob(CarryingJobLog());

  EXPECT_EQ(SlotText(32), "SPOOLHOST");
  EXPECT_EQ(SlotText(192), "alice");
  EXPECT_EQ(SlotText(200), "Caf\x82 plan");  // OEM code page 437, not ANSI
  EXPECT_EQ(SlotText(208), "Wide Format");
  EXPECT_EQ(SlotText(216), "Project 12");
  EXPECT_EQ(SlotText(224), "LPT1:");
  EXPECT_EQ(SlotText(232), "Drawing.plt");
  EXPECT_EQ(SlotText(240), "dept \xE9\x80\xFF");
  EXPECT_EQ(SlotText(416), "A0");
  EXPECT_EQ(SlotText(424), "roll-914");
  EXPECT_EQ(SlotText(464), "cost centre 7");
  EXPECT_EQ(SlotText(480), "");
  // The text at record offset 2300 stays UTF-16, terminator included.
  Bytes utf16 = Utf16Bytes(u"PLT-\u00e9042");
  Bytes slot440 = SlotBytes(440);
  ASSERT_EQ(slot440.size(), 256u);
  EXPECT_EQ(Bytes(slot440.begin(), slot440.begin() + utf16.size()), utf16);
}

TEST_F(AccountingTest, AnsiTextsFillingTheirFieldsAreCarriedWholeAndTerminated) {
  SetAnsi(log_.ansi240, std::string(34, 'w'));  // no terminator in its 34 bytes
  SetAnsi(log_.ansi416, std::string(9, 'x'));
  SetAnsi(log_.ansi424, std::string(11, 'y'));
  SetAnsi(log_.ansi464, std::string(36, 'z'));
  SetText(log_.text440, std::u16string(12, u'q'));
  RunJob(log_);
  EXPECT_EQ(SlotText(240), std::string(34, 'w'));
  EXPECT_EQ(SlotText(416), std::string(9, 'x'));
  EXPECT_EQ(SlotText(424), std::string(11, 'y'));
  EXPECT_EQ(SlotText(464), std::string(36, 'z'));
  Bytes slot440 = SlotBytes(440);
  EXPECT_EQ(Bytes(slot440.begin(), slot440.begin() + 26), Utf16Bytes(std::u16string(12, u'q')));
}

TEST_F(AccountingTest, ComputerNameOfFifteenCharactersArrivesWhole) {
  HostSetComputerName(u"PLOTROOM-EAST15");
  RunJob(log_);
  EXPECT_EQ(SlotText(32), "PLOTROOM-EAST15");

  // One that does not fit the 16 characters gives no name, and the entry still goes.
  logdouble::Reset();
  HostSetComputerName(u"PLOTROOM-EAST-16");
  RunJob(log_);
  EXPECT_EQ(SlotText(32), "");
  EXPECT_EQ(Kinds().size(), 6u);
}

TEST_F(AccountingTest, UnknownUserIsReplacedOnlyWhenExactlyUnknown) {
  struct Case {
    std::optional<std::u16string> jobUser;
    std::string logged;
  };
  const Case cases[] = {{u"UNKNOWN", "printadmin"}, {u"unknown", "unknown"},
                        {u"UNKNOWNx", "UNKNOWNx"},  {u"UNKNOW", "UNKNOW"},
                        {u"", "printadmin"},        {std::nullopt, "printadmin"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    logdouble::Reset();
    HostAddJob(printer_, jobId_, {u"Drawing.plt", c.jobUser});
    RunJob(log_);
    EXPECT_EQ(SlotText(192), c.logged);
  }
}

TEST_F(AccountingTest, DocumentNameFallsBackToTheRecordAndIsCutAt255) {
  HostAddJob(printer_, jobId_, {u"", u"alice"});
  RunJob(log_);
  EXPECT_EQ(SlotText(232), "Fallback.plt");

  logdouble::Reset();
  HostAddJob(printer_, jobId_, {std::nullopt, u"alice"});
  RunJob(log_);
  EXPECT_EQ(SlotText(232), "Fallback.plt");

  logdouble::Reset();
  std::u16string longName;
  for (int i = 0; i < 300; ++i) longName.push_back(static_cast<char16_t>(u'a' + i % 26));
  HostAddJob(printer_, jobId_, {longName, u"alice"});
  RunJob(log_);
  EXPECT_EQ(SlotText(232), std::string(longName.begin(), longName.begin() + 255));

  // A fallback name that fills its whole field is cut the same way.
  logdouble::Reset();
  HostAddJob(printer_, jobId_, {u"", u"alice"});
  SetText(log_.fallbackDocumentName, std::u16string(256, u'f'));
  RunJob(log_);
  EXPECT_EQ(SlotText(232), std::string(255, 'f'));
}

TEST_F(AccountingTest, JobTheSpoolerForgotStillGivesAnEntry) {
  HostRemoveJob(printer_, jobId_);
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 1);
  EXPECT_EQ(SlotText(232), "Fallback.plt");
  EXPECT_EQ(SlotText(192), "printadmin");
  EXPECT_EQ(SlotText(208), "Wide Format");
}

TEST_F(AccountingTest, PortNameFromTheSpoolerIsBoundedByItsBuffer) {
  HANDLE printer = HostAddPrinter({std::nullopt, u"Long Port", std::u16string(700, u'p')});
  HostAddJob(printer, 9, {u"Plan.plt", u"bob"});
  EXPECT_EQ(WriteStandardJobLog(printer, 9, &log_), 1);
  EXPECT_EQ(SlotText(224), std::string(511, 'p'));
  EXPECT_EQ(SlotText(208), "Long Port");
}

// In code page 932 every character below takes two bytes: each text is cut at a
// whole character inside its buffer, never past it.
TEST_F(AccountingTest, DoubleByteCodePageConversionsStayInsideTheirBuffers) {
  HostSetOemCodePage(932);
  std::u16string kana(300, u'\u30a2');  // katakana A, 0x83 0x41 in code page 932
  HANDLE printer = HostAddPrinter({std::nullopt, kana, kana});
  HostAddJob(printer, 9, {kana, kana});
  HostSetComputerName(std::u16string(15, u'\u30a2'));
  // A character outside the code page's plane is a surrogate pair (two '?' here): a cut
  // inside it drops it whole, a cut behind it keeps it whole.
  SetText(log_.text200, std::u16string(255, u'\u30a2') + u"\U0001F600");
  SetText(log_.text216, std::u16string(254, u'\u30a2') + u"\U0001F600\u30a2");  // unterminated
  log_.logFlags = 0x0D;
  SetText(log_.extraText, std::u16string(129, u'\u30a2'));

  EXPECT_EQ(WriteExtendedJobLog(printer, 9, &log_), 1);
  std::string pair = "\x83\x41";
  auto repeated = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += pair;
    return s;
  };
  EXPECT_EQ(SlotText(32), repeated(15));    // 30 bytes of 32
  EXPECT_EQ(SlotText(192), repeated(255));  // cut at 255 characters first
  EXPECT_EQ(SlotText(200), repeated(255));  // 511 bytes of 512 leave no room for the pair
  EXPECT_EQ(SlotText(208), repeated(255));
  EXPECT_EQ(SlotText(216), repeated(254) + "??");
  EXPECT_EQ(SlotText(224), repeated(255));
  EXPECT_EQ(SlotText(232), repeated(255));
  EXPECT_EQ(SlotText(640), repeated(127));  // 254 bytes of 256
}

}  // namespace
}  // namespace sgtest
