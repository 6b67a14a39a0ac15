// End to end on the host: an accounting job through the plug-in's exports, the plug-in
// loading the logging library installed beside it, and the line that lands in the log.
#include "tests/logger/log_support.h"
#include "tests/support/sandbox.h"

#include <cstring>

namespace {

using namespace lgtest;
using sgtest::AsBytes;
using sgtest::Data;
using sgtest::JobHeader;

class LogEmissionTest : public sgtest::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sgtest::InstallLibrary(sgtest::kDriverDirectory + u"\\ruzoravu64.dll", LOGGER_LIBRARY_PATH);
  }
  void RunJob(const JobLogRecord& record) {
    HANDLE job = StartJob();
    SendAll(job, {JobHeader(JOB_FLAG_ACCOUNTING), Data("print data"), AsBytes(record)});
    DrvSplEndDoc(job);
    DrvSplClose(job);
  }
  LogFile ReadLog(const std::string& hostPath) {
    LogFile log = ParseLog(sgtest::ReadHostFile(hostPath));
    EXPECT_TRUE(log.byteOrderMark);
    EXPECT_TRUE(log.wellFormed);
    for (const LogLine& line : log.lines) EXPECT_TRUE(ChecksumMatches(line)) << line.raw;
    return log;
  }
};

TEST_F(LogEmissionTest, ExtendedJobAppendsOneLineToTheDefaultLog) {
  JobLogRecord record = sgtest::NewJobLog();
  sgtest::SetText(record.leadingText, u"Plotter, 3rd floor");
  sgtest::SetText(record.text200, u"A0 roll");
  sgtest::SetAnsi(record.ansi240, "DEPT-42");
  record.value248 = 1234;
  record.logFlags = LOG_FLAG_EXTRA_TEXT | LOG_FLAG_EXTRA_BLOCK | 0x01;
  sgtest::SetText(record.extraText, u"sheet 4");
  record.value632 = 632;
  std::memset(record.extraBlock, 0xA5, sizeof(record.extraBlock));
  RunJob(record);

  // The name is made safe (',' is allowed, so it stays); the directory is the default.
  LogFile log = ReadLog(root_ + "/C/Windows/temp/PrintLog/Plotter, 3rd floor.csv");
  ASSERT_EQ(log.lines.size(), 1u);
  const LogLine& line = log.lines[0];
  EXPECT_EQ(log.Field(line, "sequence"), "1");
  EXPECT_EQ(log.Field(line, "level"), "10");
  EXPECT_EQ(log.Field(line, "format"), "3");
  EXPECT_EQ(log.Field(line, "content_flags"), "47");
  EXPECT_EQ(log.Field(line, "time_stamp"), "2026-12-07T09:41:05.250");
  EXPECT_EQ(log.Field(line, "computer"), "SPOOLHOST");
  EXPECT_EQ(log.Field(line, "user"), "alice");
  EXPECT_EQ(log.Field(line, "document"), "Drawing.plt");
  EXPECT_EQ(log.Field(line, "printer"), "Wide Format");
  EXPECT_EQ(log.Field(line, "port"), "LPT1:");
  EXPECT_EQ(log.Field(line, "text_200"), "A0 roll");
  EXPECT_EQ(log.Field(line, "text_240"), "DEPT-42");
  EXPECT_EQ(log.Field(line, "value_248"), "1234");
  EXPECT_EQ(log.Field(line, "text_480"), "");
  EXPECT_EQ(log.Field(line, "value_496"), "4");
  EXPECT_EQ(log.Field(line, "value_500"), "2147483647");
  std::string block;
  for (int i = 0; i < 128; ++i) block += "A5";
  EXPECT_EQ(log.Field(line, "block_504"), block);
  EXPECT_EQ(log.Field(line, "value_632"), "632");
  EXPECT_EQ(log.Field(line, "text_640"), "sheet 4");
}

TEST_F(LogEmissionTest, StandardJobsAppendToTheDirectoryTheRegistryNames) {
  std::u16string directory = u"C:\\Accounting\\Plot";
  std::vector<uint8_t> data(reinterpret_cast<const uint8_t*>(directory.c_str()),
                            reinterpret_cast<const uint8_t*>(directory.c_str() + directory.size() + 1));
  HostRegistrySetValue(u"SOFTWARE\\TALVOK\\PrintLog", u"LogFileDirectory", REG_SZ, data);
  HostSetOemCodePage(932);
  HostAddJob(printer_, jobId_, {u"\u56F3\u9762.plt", u"\u5C71\u7530"});  // 図面.plt by 山田

  JobLogRecord record = sgtest::NewJobLog();
  RunJob(record);
  RunJob(record);

  LogFile log = ReadLog(root_ + "/C/Accounting/Plot/PrintLog.csv");
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.Field(log.lines[0], "sequence"), "1");
  EXPECT_EQ(log.Field(log.lines[1], "sequence"), "2");
  EXPECT_EQ(log.Field(log.lines[0], "level"), "2");
  EXPECT_EQ(log.Field(log.lines[0], "format"), "2");
  EXPECT_EQ(log.Field(log.lines[0], "document"), "\xE5\x9B\xB3\xE9\x9D\xA2.plt");
  EXPECT_EQ(log.Field(log.lines[0], "user"), "\xE5\xB1\xB1\xE7\x94\xB0");
  EXPECT_EQ(log.Field(log.lines[0], "text_640"), "");
}

}  // namespace
