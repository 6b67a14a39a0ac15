// Unusable arguments and input: exit status 2 and one line on standard error that names
// the file and the line or byte offset — never a crash, never a half-written output.
#include "tests/tools/cli_runner.h"

#include <gtest/gtest.h>

namespace {

using sgtest::RunCli;
using sgtest::TempDir;

// The command failed as a user should see it: status 2, exactly one line of error.
void ExpectOneLineError(const sgtest::CliResult& r, const std::string& wanted) {
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.err, "spoolgate: " + wanted + "\n");
}

struct DescriptionCase {
  const char* text;
  const char* error;  // after "FILE:"
};

TEST(CliErrors, DescriptionFaultsNameTheLineAndLeaveNoCapture) {
  const DescriptionCase cases[] = {
      {"JobHeaderRecord jobFlags=0\nOverlayControlRecord mood=1\nEndDoc\n",
       "2: unknown field 'mood' of OverlayControlRecord"},
      {"# comment\nJobHeaderRecord jobFlags=0\n\nOverlayControlRecord mode=256\nEndDoc\n",
       "4: value 256 out of range for mode (u8, 0..255)"},
      {"JobHeaderRecord jobFlags=0x100000000\nEndDoc\n",
       "1: value 0x100000000 out of range for jobFlags (u32, 0..4294967295)"},
      {"JobHeaderRecord jobFlags=JOB_FLAG_PRINT\nEndDoc\n",
       "1: 'JOB_FLAG_PRINT' is neither a number nor a known constant (field jobFlags)"},
      {"JobLogRecord ansi416='NINE BYTES'\nEndDoc\n",
       "1: 10 bytes out of range for ansi416 (9 bytes)"},
      {"JobLogRecord values388=1,2,3,4,5,6,7\nEndDoc\n",
       "1: values388 holds 6 values, more were given"},
      {"ArchiveLocationRecord \\\n  directory='C:\\Jobs' \\\n  colour=1\nEndDoc\n",
       "1: unknown field 'colour' of ArchiveLocationRecord"},
      {"data \"C:\\Jobs\"\nEndDoc\n",
       "1: unknown escape \\J (write Windows paths in single quotes: 'C:\\Jobs')"},
      {"data hex\"1B 1\"\nEndDoc\n", "1: odd number of hex digits"},
      {"TailRecord size=5000000\nEndDoc\n",
       "1: value 5000000 out of range for size (block size, 0..4194304)"},
      {"JobHeaderRecord\ndata \"x\"\n", "2: the job has no end: finish it with EndDoc or Abort"},
      {"EndDoc\nStartPage\n", "2: StartPage after the end of the job"},
      {"PageStart\nEndDoc\n", "1: unknown statement 'PageStart'"},
      {"data file='missing.bin'\nEndDoc\n", "1: cannot open data file "},
  };
  for (const DescriptionCase& c : cases) {
    TempDir dir;
    dir.Write("job.txt", c.text);
    sgtest::CliResult r = RunCli({"capture", "job.txt", "-o", "job.cap"}, dir.path);
    EXPECT_EQ(r.status, 2) << c.text;
    EXPECT_EQ(r.err.rfind(std::string("spoolgate: job.txt:") + c.error, 0), 0u)
        << "for:\n" << c.text << "got: " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "job.cap"));
  }
}

TEST(CliErrors, ABadCaptureStopsTheRunBeforeAnyJob) {
  TempDir dir;
  dir.Write("good.txt", "JobHeaderRecord jobFlags=0\ndata \"x\"\nEndDoc\n");
  ASSERT_EQ(RunCli({"capture", "good.txt", "-o", "good.cap"}, dir.path).status, 0);
  std::string good = sgtest::Slurp(dir / "good.cap");
  dir.Write("short.cap", good.substr(0, good.size() - 2));  // the last block's byte and EndDoc cut off

  sgtest::CliResult r = RunCli({"run", "good.cap", "short.cap"}, dir.path);
  ExpectOneLineError(r, "short.cap: byte 58: block of 1 bytes but only 0 bytes left (truncated)");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(std::filesystem::exists(dir / "spoolgate-root")) << "a job ran after all";

  dir.Write("text.cap", "JobHeaderRecord jobFlags=0\n");
  ExpectOneLineError(RunCli({"run", "text.cap"}, dir.path), "text.cap: byte 0: not a capture: wrong magic");
  ExpectOneLineError(RunCli({"run", "none.cap"}, dir.path), "none.cap: No such file or directory");
}

TEST(CliErrors, StoredFilesShorterThanTheirHeader) {
  TempDir dir;
  dir.Write("a.RUD", std::string(379, 'x'));
  ExpectOneLineError(RunCli({"rud", "info", "a.RUD"}, dir.path),
                     "a.RUD: byte 379: archive shorter than its 380-byte header (379 bytes)");
  ExpectOneLineError(RunCli({"rud", "extract", "a.RUD", "-o", "a.prn"}, dir.path),
                     "a.RUD: byte 379: archive shorter than its 380-byte header (379 bytes)");
  EXPECT_FALSE(std::filesystem::exists(dir / "a.prn"));
  dir.Write("o.ovl", "");
  ExpectOneLineError(RunCli({"overlay", "info", "o.ovl"}, dir.path),
                     "o.ovl: byte 0: overlay shorter than its 444-byte header (0 bytes)");
}

TEST(CliErrors, UnusableArgumentsExitWithTwo) {
  TempDir dir;
  EXPECT_EQ(RunCli({}, dir.path).status, 2);
  EXPECT_EQ(RunCli({"print"}, dir.path).status, 2);
  EXPECT_EQ(RunCli({"run"}, dir.path).status, 2);
  EXPECT_EQ(RunCli({"run", "x.cap", "--job-id", "seven"}, dir.path).status, 2);
  EXPECT_EQ(RunCli({"log", "show", dir / "missing"}, dir.path).status, 2);
  sgtest::CliResult date = RunCli({"log", "summary", dir.path, "--from", "last week"}, dir.path);
  ExpectOneLineError(date, "--from last week: not a date (YYYY-MM-DD, optionally with THH:MM:SS)");
}

TEST(CliErrors, EverySubcommandHasHelp) {
  TempDir dir;
  const std::vector<std::vector<std::string>> commands = {
      {"--help"},         {"capture", "--help"}, {"run", "--help"},
      {"rud", "--help"},  {"rud", "info", "--help"}, {"rud", "extract", "--help"},
      {"overlay", "--help"}, {"overlay", "info", "--help"}, {"overlay", "extract", "--help"},
      {"log", "--help"},  {"log", "show", "--help"}, {"log", "summary", "--help"},
      {"log", "verify", "--help"}};
  for (const auto& args : commands) {
    sgtest::CliResult r = RunCli(args, dir.path);
    EXPECT_EQ(r.status, 0) << args[0] << " " << args.back();
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << r.out;
  }
}

}  // namespace
