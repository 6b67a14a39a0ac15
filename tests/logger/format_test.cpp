// SPDX-License-Identifier: Apache-2.0
// QenDrvLogInitializeInfo and QenDrvLogFormatRecord: the columns of both entry formats
// at every level, CSV quoting, OEM texts as UTF-8, the size query and slot bounds.
#include "tests/logger/log_support.h"
#include "logger/log_format.h"
#include "tests/support/sandbox.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_fields.h"
#include "tools/logread/log_folder.h"

#include <cstring>

namespace {

using namespace lgtest;

const char kLogDirectory[] = "C:\\PrintLog";

class LogFormatTest : public sgtest::SandboxTest {
 protected:
  // Formats the entry, appends it to a fresh log and reads the one line back.
  LogLine WriteAndReadBack(int level, int format, TestEntry& entry,
                           const std::string& name = "Jobs") {
    std::string record = FormatRecord(level, format, entry);
    EXPECT_EQ(WriteRecord(kLogDirectory, name, 64, level, record), 1);
    log_ = ParseLog(sgtest::ReadHostFile(HostRoot() + "/C/PrintLog/" + name + ".csv"));
    EXPECT_TRUE(log_.wellFormed);
    EXPECT_EQ(log_.lines.size(), 1u);
    if (log_.lines.empty()) return LogLine();
    EXPECT_EQ(log_.lines[0].fields.size(), log_.header.size());
    return log_.lines[0];
  }
  std::string Field(const LogLine& line, const char* column) { return log_.Field(line, column); }

  LogFile log_;
};

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
  }
  return text;
}

TEST_F(LogFormatTest, InitializeAcceptsOnlyTheTwoFormats) {
  std::vector<uint8_t> entry(800, 0xAB);
  EXPECT_EQ(QenDrvLogInitializeInfo(2, entry.data(), 4), 1);
  const StandardLogEntry* standard = reinterpret_cast<const StandardLogEntry*>(entry.data());
  EXPECT_EQ(standard->marker, LOG_ENTRY_MARKER);
  EXPECT_EQ(standard->contentFlags, LOG_CONTENT_BASE);
  EXPECT_EQ(standard->fieldMask, LOG_ENTRY_FIELD_MASK);
  EXPECT_EQ(standard->userName, nullptr);
  EXPECT_EQ(entry[sizeof(StandardLogEntry)], 0xAB) << "nothing past the 496-byte entry";

  std::fill(entry.begin(), entry.end(), 0xAB);
  EXPECT_EQ(QenDrvLogInitializeInfo(3, entry.data(), 4), 1);
  const ExtendedLogEntry* extended = reinterpret_cast<const ExtendedLogEntry*>(entry.data());
  EXPECT_EQ(extended->value496, LOG_EXTENDED_VALUE_496);
  EXPECT_EQ(extended->extraText, nullptr);
  EXPECT_EQ(entry[sizeof(ExtendedLogEntry)], 0xAB) << "nothing past the 752-byte entry";

  for (int format : {0, 1, 4, -1}) {
    std::fill(entry.begin(), entry.end(), 0xAB);
    EXPECT_EQ(QenDrvLogInitializeInfo(format, entry.data(), 4), 0);
    EXPECT_EQ(std::count(entry.begin(), entry.end(), 0xAB), 800) << "format " << format;
  }
}

TEST_F(LogFormatTest, StandardEntryFillsEveryColumnAndLeavesExtendedOnesEmpty) {
  auto entry = MakeEntry(LOG_FORMAT_STANDARD);
  LogLine line = WriteAndReadBack(LOG_LEVEL_STANDARD, LOG_FORMAT_STANDARD, *entry);

  EXPECT_EQ(Field(line, "sequence"), "1");
  EXPECT_EQ(Field(line, "level"), "2");
  EXPECT_EQ(Field(line, "format"), "2");
  EXPECT_EQ(Field(line, "content_flags"), "1");
  EXPECT_EQ(Field(line, "time_stamp"), "2026-12-07T09:41:05.250");
  EXPECT_EQ(Field(line, "computer"), "SPOOLHOST");
  EXPECT_EQ(Field(line, "user"), "alice");
  EXPECT_EQ(Field(line, "document"), "Drawing.plt");
  EXPECT_EQ(Field(line, "printer"), "Wide Format");
  EXPECT_EQ(Field(line, "port"), "LPT1:");
  EXPECT_EQ(Field(line, "text_200"), "A0 roll");
  EXPECT_EQ(Field(line, "text_216"), "plotter profile");
  EXPECT_EQ(Field(line, "text_240"), "DEPT-42");
  EXPECT_EQ(Field(line, "value_248"), "248");
  EXPECT_EQ(Field(line, "value_252"), "252");
  EXPECT_EQ(Field(line, "value_256"), "256");
  EXPECT_EQ(Field(line, "block_260"), Hex(entry->standard().block260, 128));
  EXPECT_EQ(Field(line, "value_388"), "388");
  EXPECT_EQ(Field(line, "value_408"), "408");
  EXPECT_EQ(Field(line, "text_416"), "v1.2");
  EXPECT_EQ(Field(line, "text_424"), "ABC123");
  EXPECT_EQ(Field(line, "value_432"), "432");
  EXPECT_EQ(Field(line, "value_436"), "436");
  EXPECT_EQ(Field(line, "text_440"), "mode-x");
  EXPECT_EQ(Field(line, "value_456"), "456");
  EXPECT_EQ(Field(line, "text_464"), "project-7");
  EXPECT_EQ(Field(line, "value_472"), "472");
  EXPECT_EQ(Field(line, "text_480"), "");
  EXPECT_EQ(Field(line, "value_492"), "4294967295");
  for (const char* column : {"value_496", "value_500", "block_504", "value_632", "text_640"})
    EXPECT_EQ(Field(line, column), "") << column;
  EXPECT_TRUE(ChecksumMatches(line));
}

// The readers take their columns from the one table the writer writes by: every column
// of the header the writer wrote is typed by the readers and has a place in the
// database, in the file's order, so a column added to the log reaches them all.
TEST_F(LogFormatTest, ReadersKnowEveryColumnOfTheHeaderTheWriterWrites) {
  auto entry = MakeEntry(LOG_FORMAT_EXTENDED);
  LogLine line = WriteAndReadBack(LOG_LEVEL_EXTENDED, LOG_FORMAT_EXTENDED, *entry);
  std::string bytes = sgtest::ReadHostFile(HostRoot() + "/C/PrintLog/Jobs.csv");
  std::string first = bytes.substr(0, bytes.find("\r\n"));
  EXPECT_EQ(first.size() + 2, 406u) << "the byte order mark, the header and CRLF";
  EXPECT_EQ(LogRecogniseHeader(first.data(), first.size()), LOG_HEADER_CURRENT);
  ASSERT_EQ(spoolgate::HeaderColumns(first), log_.header);

  std::vector<std::string> stored;
  for (const spoolgate::LineColumn& c : spoolgate::LineColumns())
    if (c.csv != nullptr && std::strcmp(c.csv, "computer") != 0) stored.push_back(c.csv);
  std::vector<std::string> written;
  for (const std::string& name : log_.header) {
    ASSERT_NE(spoolgate::FindLineColumn(name), nullptr) << name;
    if (name != "computer") written.push_back(name);
  }
  EXPECT_EQ(stored, written);
  nlohmann::ordered_json json = spoolgate::LogLineJson(log_.header, line.fields);
  EXPECT_EQ(json["value_248"], 248);
  EXPECT_EQ(json["value_496"], 4);
  EXPECT_EQ(json["document"], "Drawing.plt");
  EXPECT_EQ(json["crc32"], line.fields.back());
}

TEST_F(LogFormatTest, ExtendedEntryAtEveryLevelShowsTheGroupsItsContentFlagsName) {
  struct Case {
    int level;
    uint32_t contentFlags;
    bool extraText, extraBlock;
  };
  // A caller's level is logged as given, a negative one too.
  const Case cases[] = {{3, 0x0B, false, false}, {6, 0x2B, true, false},
                        {10, 0x0F, false, true}, {10, 0x2F, true, true},
                        {-7, 0x0B, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "level " << c.level << " flags " << c.contentFlags);
    auto entry = MakeEntry(LOG_FORMAT_EXTENDED);
    entry->standard().contentFlags = c.contentFlags;
    // The plug-in writes an unfilled group's slots never; these bytes must not show.
    SetBytes(entry->extraText, c.extraText ? "sheet 4 of 9" : "heap garbage");
    entry->entry.extraBlockMarker = c.extraBlock ? LOG_EXTRA_BLOCK_MARKER : 0xDDDDDDDDu;
    for (int i = 0; i < 128; ++i) entry->entry.extraBlock[i] = static_cast<uint8_t>(255 - i);

    LogLine line = WriteAndReadBack(c.level, LOG_FORMAT_EXTENDED, *entry,
                                    "Jobs" + std::to_string(&c - cases));
    EXPECT_EQ(Field(line, "level"), std::to_string(c.level));
    EXPECT_EQ(Field(line, "format"), "3");
    EXPECT_EQ(Field(line, "content_flags"), std::to_string(c.contentFlags));
    EXPECT_EQ(Field(line, "document"), "Drawing.plt");
    EXPECT_EQ(Field(line, "value_492"), "4294967295");
    EXPECT_EQ(Field(line, "value_496"), "4");
    EXPECT_EQ(Field(line, "value_632"), "632632");
    EXPECT_EQ(Field(line, "text_640"), c.extraText ? "sheet 4 of 9" : "");
    EXPECT_EQ(Field(line, "value_500"), c.extraBlock ? "2147483647" : "");
    EXPECT_EQ(Field(line, "block_504"), c.extraBlock ? Hex(entry->entry.extraBlock, 128) : "");
    EXPECT_TRUE(ChecksumMatches(line));
  }
}

TEST_F(LogFormatTest, TextsWithSeparatorsQuotesAndLineBreaksStayInTheirField) {
  auto entry = MakeEntry(LOG_FORMAT_STANDARD);
  SetBytes(entry->document, "plan, rev \"B\"");
  SetBytes(entry->user, "line one\r\nline two");
  SetBytes(entry->printer, "bare\nfeed and bare\rreturn");
  SetBytes(entry->port, "tab\there");
  SetBytes(entry->text200, " padded ");
  SetBytes(entry->text216, "\"");
  SetBytes(entry->ansi424, "cr\ronly");
  SetBytes(entry->ansi240, "trailing ");
  std::string record = FormatRecord(LOG_LEVEL_STANDARD, LOG_FORMAT_STANDARD, *entry);
  EXPECT_NE(record.find(",\"plan, rev \"\"B\"\"\","), std::string::npos) << record;
  // Importers trim a space at either end and split at a tab: such texts are quoted.
  EXPECT_NE(record.find(",\"tab\there\","), std::string::npos) << record;
  EXPECT_NE(record.find(",\" padded \","), std::string::npos) << record;
  EXPECT_NE(record.find(",\"trailing \","), std::string::npos) << record;
  EXPECT_NE(record.find(",\"\"\"\","), std::string::npos) << "a lone quote is doubled and quoted";
  EXPECT_NE(record.find(",\"cr\ronly\","), std::string::npos) << "a lone CR is quoted";

  LogLine line = WriteAndReadBack(LOG_LEVEL_STANDARD, LOG_FORMAT_STANDARD, *entry);
  EXPECT_EQ(Field(line, "document"), "plan, rev \"B\"");
  EXPECT_EQ(Field(line, "user"), "line one\r\nline two");
  EXPECT_EQ(Field(line, "printer"), "bare\nfeed and bare\rreturn");
  EXPECT_EQ(Field(line, "port"), "tab\there");
  EXPECT_EQ(Field(line, "text_200"), " padded ");
  EXPECT_EQ(Field(line, "text_216"), "\"");
  EXPECT_EQ(Field(line, "text_424"), "cr\ronly");
  EXPECT_EQ(Field(line, "text_240"), "trailing ");
  EXPECT_EQ(Field(line, "computer"), "SPOOLHOST") << "fields after them keep their place";
  EXPECT_TRUE(ChecksumMatches(line));
}

TEST_F(LogFormatTest, OemTextsOfCodePages437And932ArriveAsUtf8) {
  HostSetOemCodePage(437);
  auto entry = MakeEntry(LOG_FORMAT_STANDARD);
  SetBytes(entry->document, "Caf\x82 \xE1 \xB0");  // é, ß and a shade block
  SetBytes(entry->user, "J\x81rgen");              // ü
  LogLine line = WriteAndReadBack(LOG_LEVEL_STANDARD, LOG_FORMAT_STANDARD, *entry);
  EXPECT_EQ(Field(line, "document"), "Caf\xC3\xA9 \xC3\x9F \xE2\x96\x91");
  EXPECT_EQ(Field(line, "user"), "J\xC3\xBCrgen");

  HostSetOemCodePage(932);
  entry = MakeEntry(LOG_FORMAT_EXTENDED);
  SetBytes(entry->document, "\x93\xFA\x96\x7B\x8C\xEA.plt");  // 日本語.plt
  SetBytes(entry->user, "\x83\x5C\x83\x74\x83\x67");          // ソフト: trail bytes 0x5C
  SetBytes(entry->printer, "\xB1\xB2");                       // half-width ｱｲ
  line = WriteAndReadBack(LOG_LEVEL_EXTENDED, LOG_FORMAT_EXTENDED, *entry, "Japanese");
  EXPECT_EQ(Field(line, "document"), "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.plt");
  EXPECT_EQ(Field(line, "user"), "\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88");
  EXPECT_EQ(Field(line, "printer"), "\xEF\xBD\xB1\xEF\xBD\xB2");
}

TEST_F(LogFormatTest, SizeQueryAndTooSmallBufferWriteNothing) {
  auto entry = MakeEntry(LOG_FORMAT_EXTENDED);
  DWORD required = 0;
  EXPECT_EQ(QenDrvLogFormatRecord(6, 3, &entry->entry, nullptr, 0, &required), 0);
  std::string record = FormatRecord(6, 3, *entry);
  EXPECT_EQ(required, record.size() + 1) << "the size counts the terminating zero";
  EXPECT_EQ(record.substr(record.size() - 2), "\r\n");

  for (DWORD size : {required - 1, 1u, 0u}) {
    std::vector<char> block(required + 8, '\xCC');
    DWORD reported = 0;
    EXPECT_EQ(QenDrvLogFormatRecord(6, 3, &entry->entry, block.data(), size, &reported), 0);
    EXPECT_EQ(reported, required);
    EXPECT_EQ(std::count(block.begin(), block.end(), '\xCC'), static_cast<long>(block.size()))
        << "nothing written with a buffer of " << size;
  }
  // A null buffer with a size claimed is still only a query.
  DWORD reported = 0;
  EXPECT_EQ(QenDrvLogFormatRecord(6, 3, &entry->entry, nullptr, required, &reported), 0);
  EXPECT_EQ(reported, required);

  // An exact fit writes the record and its zero, and not one byte more.
  std::vector<char> block(required + 8, '\xCC');
  EXPECT_EQ(QenDrvLogFormatRecord(6, 3, &entry->entry, block.data(), required, &reported), 1);
  EXPECT_EQ(std::string(block.data()), record);
  EXPECT_EQ(block[required], '\xCC');
}

TEST_F(LogFormatTest, UnknownFormatGivesTheEmptyRecordWhichIsNeverWritten) {
  auto entry = MakeEntry(LOG_FORMAT_STANDARD);
  DWORD required = 0xDEADBEEF;
  QenDrvLogFormatRecord(2, 7, &entry->entry, nullptr, 0, &required);
  EXPECT_EQ(required, 1u) << "never 0: the write call must still find a zero byte";
  char block[4] = {'\xCC', '\xCC', '\xCC', '\xCC'};
  QenDrvLogFormatRecord(2, 7, &entry->entry, block, 1, &required);
  EXPECT_EQ(block[0], '\0');
  EXPECT_EQ(block[1], '\xCC');
  EXPECT_EQ(QenDrvLogWriteRecord(kLogDirectory, "Jobs", 64, 2, block, nullptr), 0);
  EXPECT_FALSE(WindowsFileExists(u"C:\\PrintLog\\Jobs.csv"));
}

TEST_F(LogFormatTest, TextsAreReadOnlyWithinTheirSlotsAndNullSlotsAreEmpty) {
  auto entry = MakeEntry(LOG_FORMAT_EXTENDED);
  entry->standard().contentFlags = 0x2B;
  // None of the texts is terminated within its slot; what follows each slot in memory
  // would show in the line if it were read. The extra text's buffer has exactly the
  // slot's size, so AddressSanitizer reports any read past it.
  auto slot = [](size_t bytes, char fill) {
    std::vector<char> buffer(bytes, fill);
    for (char c : std::string("PAST THE SLOT")) buffer.push_back(c);
    buffer.push_back('\0');
    return buffer;
  };
  std::vector<char> computer = slot(LOG_COMPUTER_NAME_BYTES, 'C');
  std::vector<char> document = slot(LOG_LONG_TEXT_BYTES, 'D');
  std::vector<char> ansi = slot(LOG_SHORT_TEXT_BYTES, 'a');
  std::vector<char> extra(LOG_SHORT_TEXT_BYTES, 'x');
  std::vector<WCHAR> wide(LOG_SHORT_TEXT_BYTES / 2, u'w');
  for (char16_t c : std::u16string(u"PAST THE SLOT")) wide.push_back(c);
  wide.push_back(0);
  entry->standard().computerName = computer.data();
  entry->standard().documentName = document.data();
  entry->standard().ansi240 = ansi.data();
  entry->standard().text440 = wide.data();
  entry->entry.extraText = extra.data();
  entry->standard().userName = nullptr;
  entry->standard().emptyText = nullptr;

  LogLine line = WriteAndReadBack(10, LOG_FORMAT_EXTENDED, *entry);
  EXPECT_EQ(Field(line, "computer"), std::string(32, 'C'));
  EXPECT_EQ(Field(line, "document"), std::string(512, 'D'));
  EXPECT_EQ(Field(line, "text_240"), std::string(256, 'a'));
  EXPECT_EQ(Field(line, "text_440"), std::string(128, 'w'));
  EXPECT_EQ(Field(line, "text_640"), std::string(256, 'x'));
  EXPECT_EQ(Field(line, "user"), "");
  EXPECT_EQ(Field(line, "text_480"), "");
  EXPECT_EQ(Field(line, "printer"), "Wide Format");
}

TEST_F(LogFormatTest, DoubleByteTextCutByItsSlotKeepsItsWholeCharacters) {
  HostSetOemCodePage(932);
  auto entry = MakeEntry(LOG_FORMAT_STANDARD);
  // 255 times 日 (two bytes each) and a lone lead byte in the slot's last byte.
  std::vector<char> document;
  for (int i = 0; i < 255; ++i) {
    document.push_back('\x93');
    document.push_back('\xFA');
  }
  document.push_back('\x93');
  document.push_back('\x93');
  ASSERT_EQ(document.size(), 512u);
  entry->standard().documentName = document.data();
  LogLine line = WriteAndReadBack(2, 2, *entry);
  std::string day = "\xE6\x97\xA5";
  std::string expected;
  for (int i = 0; i < 255; ++i) expected += day;
  EXPECT_EQ(Field(line, "document").substr(0, expected.size()), expected);
  EXPECT_LE(Field(line, "document").size(), expected.size() + 3) << "at most one stand-in";
}

}  // namespace

// The checksum field's eight digits are upper-case hex only: every byte beside the two
// ranges, lower case and bytes past ASCII make the line one without a checksum.
TEST(LogChecksumFieldTest, OnlyUpperCaseHexDigitsAreAChecksum) {
  uint32_t stored = 0;
  ASSERT_TRUE(LogReadChecksumField("1,x,0123ABCF", 12, &stored));
  EXPECT_EQ(stored, 0x0123ABCFu);
  ASSERT_TRUE(LogReadChecksumField("1,x,FEDC9876", 12, &stored));
  EXPECT_EQ(stored, 0xFEDC9876u);
  for (char bad : {'/', ':', '@', 'G', 'a', 'f', ' ', '\0', '\x80', '\xC1'}) {
    for (size_t at = 4; at < 12; ++at) {
      std::string line = "1,x,0123ABCF";
      line[at] = bad;
      stored = 7;
      EXPECT_FALSE(LogReadChecksumField(line.data(), line.size(), &stored)) << line << " at " << at;
      EXPECT_EQ(stored, 7u);
    }
  }
  EXPECT_FALSE(LogReadChecksumField("1,x;0123ABCF", 12, &stored));
  EXPECT_FALSE(LogReadChecksumField(",0123ABCF", 9, &stored));
}

TEST(LogGenerationNameTest, AStampNamesItsSecondAndEveryAttemptAfterTheFirst) {
  struct Case {
    unsigned year, month, day, hour, minute, second, attempt;
    const char* stamp;
  };
  const Case cases[] = {
      {2026, 12, 7, 9, 41, 5, 1, "-20261207-094105Z"},
      {2026, 12, 7, 9, 41, 5, 2, "-20261207-094105Z-2"},
      {2026, 1, 31, 23, 59, 59, 10, "-20260131-235959Z-10"},
      {999, 1, 1, 0, 0, 0, 1, "-09990101-000000Z"},
  };
  for (const Case& c : cases) {
    char out[LOG_GENERATION_STAMP_MAX];
    size_t n = LogFormatGenerationStamp(c.year, c.month, c.day, c.hour, c.minute, c.second, c.attempt, out, sizeof out);
    ASSERT_LE(n, sizeof out);
    EXPECT_EQ(std::string(out, n), c.stamp);
    // Read back from a file name, the stamp leaves the log's name.
    std::string stem = std::string("Jobs") + c.stamp;
    size_t base = 0;
    EXPECT_EQ(LogIsGenerationStem(stem.data(), stem.size(), &base), 1) << stem;
    EXPECT_EQ(base, 4u) << stem;
  }
  // The Z may be missing (a generation named before times were UTC); the digits may not.
  for (const char* other : {"Jobs", "Jobs-20261207-0941Z", "Jobs-2026127-094105Z", "Jobs-20261207-094105Z-",
                            "Jobs20261207-094105Z"}) {
    size_t base = 0;
    EXPECT_EQ(LogIsGenerationStem(other, strlen(other), &base), 0) << other;
  }
}

// A generation's name carries a number only after its "Z" and in a form no counter of
// an earlier version takes (four digits or more, or a leading zero).
TEST(LogGenerationNameTest, ANumberIsReadOnlyWhereNoCounterCanStand) {
  struct Case {
    const char* stem;
    uint64_t number;
  } cases[] = {
      {"Jobs-20261207-221537Z-0024", 24},
      {"Jobs-20261207-221537Z-0001", 1},
      {"Jobs-20261207-221537Z-123456", 123456},
      {"Jobs-20261207-221537Z-9223372036854775807", 9223372036854775807ull},
      {"Jobs-20261207-221537Z-9223372036854775808", 0},  // past the limit: no number
      {"Jobs-20261207-221537Z-2", 0},                     // a counter
      {"Jobs-20261207-221537Z-999", 0},
      {"Jobs-20261207-221537Z-024", 24},
      {"Jobs-20261207-221537Z", 0},
      {"Jobs-20261207-221537", 0},                        // local time, no counter
      {"Jobs-20261207-221537-0024", 0},                   // no "Z": the counter of an old name
      {"Jobs-0024", 0},
      {"Jobs", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogGenerationNumber(c.stem, std::strlen(c.stem)), c.number) << c.stem;
  }
}
