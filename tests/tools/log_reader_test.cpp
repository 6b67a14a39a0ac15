// The log file reader that show, summary, verify and import stand on: records that
// continue past an LF inside quotes, wherever the reader's buffer ends.
#include "tests/tools/cli_runner.h"
#include "tools/log_folder.h"

#include <gtest/gtest.h>

namespace {

TEST(CsvRecordReaderTest, AQuotedLineBreakAcrossTheReadBufferStaysInItsRecord) {
  sgtest::TempDir dir;
  // The quote opens before byte 65,536, where the reader's buffer ends, and the line
  // break inside it comes after: the reader must carry the open quote into the next fill.
  const std::string first = std::string(65530, 'x') + ",\"ab" + "cd\r\nef\",z";
  const std::string second = "2,\"\"\"quoted\"\" text\"";
  dir.Write("log.csv", first + "\r\n" + second + "\r\n" + "3,torn");

  spoolgate::CsvRecordReader reader(dir / "log.csv");
  ASSERT_TRUE(reader.Ok());
  std::string record;
  uint64_t offset = 1;
  bool complete = false;
  ASSERT_TRUE(reader.Next(record, offset, complete));
  EXPECT_EQ(record, first);
  EXPECT_EQ(offset, 0u);
  EXPECT_TRUE(complete);
  ASSERT_TRUE(reader.Next(record, offset, complete));
  EXPECT_EQ(record, second);
  EXPECT_EQ(offset, first.size() + 2);
  EXPECT_EQ(spoolgate::SplitCsv(record), (std::vector<std::string>{"2", "\"quoted\" text"}));
  ASSERT_TRUE(reader.Next(record, offset, complete));
  EXPECT_EQ(record, "3,torn");
  EXPECT_FALSE(complete);
  EXPECT_FALSE(reader.Next(record, offset, complete));
}

}  // namespace
