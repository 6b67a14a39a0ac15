// SPDX-License-Identifier: Apache-2.0
// The extended entry (format 3) as the library double receives it, host-only (the log line
// end to end: tests/conformance): content flags, further slots, the cleaned document name.
#include "tests/accounting/accounting_fixture.h"

#include "accounting/log_fill.h"

namespace sgtest {
namespace {

JobLogRecord ExtendedJobLog(uint8_t logFlags) {
  JobLogRecord r = NewJobLog();
  r.logFlags = logFlags;
  SetText(r.extraText, u"Extra \u00e9");
  r.value632 = 0xC0FFEE32;
  for (size_t i = 0; i < sizeof(r.extraBlock); ++i) r.extraBlock[i] = static_cast<uint8_t>(0xFF - i);
  r.value472 = 472;
  return r;
}

TEST_F(AccountingTest, ExtendedEntryContentFlagsAndSlotsFollowLogFlags) {
  struct Case {
    uint8_t logFlags;
    uint32_t contentFlags;
    bool text;
    bool block;
  };
  const Case cases[] = {{0x01, 0x0B, false, false}, {0x02, 0x0B, false, false},
                        {0x09, 0x2B, true, false},  {0x11, 0x0F, false, true},
                        {0x19, 0x2F, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "logFlags 0x" << std::hex << int(c.logFlags));
    logdouble::Reset();
    JobLogRecord record = ExtendedJobLog(c.logFlags);
    RunJob(record);
    ASSERT_EQ(Entry().size(), 752u);

    EXPECT_EQ(EntryU32(0), 0xFFFFFFFFu);
    EXPECT_EQ(EntryU32(4), c.contentFlags);
    EXPECT_EQ(EntryU32(8), 0x03FFFFFFu);
    EXPECT_EQ(EntryU32(496), 4u);
    EXPECT_EQ(EntryU32(632), 0xC0FFEE32u);
    if (c.block) {
      EXPECT_EQ(EntryU32(500), 0x7FFFFFFFu);
      EXPECT_EQ(EntryRange(504, 128), Bytes(record.extraBlock, record.extraBlock + 128));
    } else {
      EXPECT_TRUE(NotWritten(500, 132));
    }
    EXPECT_EQ(SlotText(640), c.text ? "Extra \x82" : "");
    EXPECT_TRUE(NotWritten(636, 4));
    EXPECT_TRUE(NotWritten(648, 104));

    // The standard part is filled as in the standard entry.
    EXPECT_EQ(EntryU16(16), 1);  // day of the week
    EXPECT_EQ(EntryU32(472), 472u);
    EXPECT_EQ(SlotText(232), "Drawing.plt");
    EXPECT_EQ(SlotText(192), "alice");
    EXPECT_EQ(SlotText(480), "");
    EXPECT_TRUE(NotWritten(40, 152));
  }
}

TEST_F(AccountingTest, DocumentNameIsCleanedOnlyWhenTheRecordAsksForIt) {
  HostAddJob(printer_, jobId_, {u"A\tB\"C\rD\nE\x01\x1F\x7F\u00e9", u"alice"});
  log_.logFlags = 0x05;
  RunJob(log_);
  EXPECT_EQ(SlotText(232), "A\tBCDE\x7F\x82");

  logdouble::Reset();
  log_.logFlags = 0x01;
  RunJob(log_);
  EXPECT_EQ(SlotText(232), "A\tB\"C\rD\nE\x01\x1F\x7F\x82");

  // The standard entry never cleans.
  logdouble::Reset();
  log_.logFlags = 0x1C;
  RunJob(log_);
  EXPECT_EQ(SlotText(232), "A\tB\"C\rD\nE\x01\x1F\x7F\x82");
}

TEST_F(AccountingTest, CleaningAffectsOnlyTheDocumentName) {
  HostAddJob(printer_, jobId_, {u"\"\r\n\x01", u"\"bob\""});
  log_.logFlags = 0x0D;
  SetText(log_.extraText, u"say \"hi\"\r\n");
  SetText(log_.fallbackDocumentName, u"unused");
  RunJob(log_);
  EXPECT_EQ(SlotText(232), "");  // made only of dropped bytes
  EXPECT_EQ(SlotText(640), "say \"hi\"\r\n");
  EXPECT_EQ(SlotText(192), "\"bob\"");
}

TEST_F(AccountingTest, CleaningLooksAtTheFirst255BytesOnly) {
  log_.logFlags = 0x05;
  // 254 bytes and the terminator fit the window: cleaned.
  HostAddJob(printer_, jobId_, {u"\"" + std::u16string(253, u'n'), u"alice"});
  RunJob(log_);
  EXPECT_EQ(SlotText(232), std::string(253, 'n'));

  // 255 bytes leave no terminator in the window: left exactly as converted.
  logdouble::Reset();
  HostAddJob(printer_, jobId_, {u"\"" + std::u16string(254, u'n'), u"alice"});
  RunJob(log_);
  EXPECT_EQ(SlotText(232), "\"" + std::string(254, 'n'));
}

TEST_F(AccountingTest, SanitizeLogTextWithoutItsWorkAreaLeavesTheText) {
  JobLogRecord record = NewJobLog();
  record.logFlags = LOG_FLAG_SANITIZE;
  char text[512] = "a\"b";
  HostFailNth(HostOp::Alloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(SanitizeLogText(&record, text), 0);
  HostClearFaults();
  EXPECT_STREQ(text, "a\"b");

  EXPECT_EQ(SanitizeLogText(&record, text), 1);
  EXPECT_STREQ(text, "ab");
  record.logFlags = 0;
  char untouched[512] = "c\"d";
  EXPECT_EQ(SanitizeLogText(&record, untouched), 0);
  EXPECT_STREQ(untouched, "c\"d");
}

}  // namespace
}  // namespace sgtest
