// SPDX-License-Identifier: Apache-2.0
// Unusable arguments and input: exit status 2 and one line on standard error that names
// the file and the line or byte offset — never a crash, never a half-written output.
#include "tests/tools/cli_runner.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <regex>
#include <thread>

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

TEST(CliErrors, StoredFilesShorterThanTheirHeaderOrOfAnotherKind) {
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

  // A capture, a text file and a directory are named for what they are not; --force
  // reads a file as asked all the same.
  dir.Write("job.txt", "JobHeaderRecord jobFlags=0\ndata pattern size=600\nEndDoc\n");
  ASSERT_EQ(RunCli({"capture", "job.txt", "-o", "job.cap"}, dir.path).status, 0);
  dir.Write("passwd", std::string(20, 'x') + ":x:0:0:root:/root:/bin/sh\n" + std::string(500, 'y'));
  std::filesystem::create_directory(dir / "folder.RUD");
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"rud", "info", "job.cap"},
       "job.cap: not an archive file: it is a capture (spoolgate run replays it) (--force reads it as one)"},
      {{"overlay", "extract", "job.cap", "-o", "body"},
       "job.cap: not an overlay file: it is a capture (spoolgate run replays it) (--force reads it as one)"},
      {{"overlay", "info", "passwd"},
       "passwd: not an overlay file: its header is lines of text (--force reads it as one)"},
      {{"rud", "info", "folder.RUD"}, "folder.RUD: is a directory"},
  };
  for (const auto& [args, error] : refused) {
    sgtest::CliResult r = RunCli(args, dir.path);
    EXPECT_EQ(r.status, 2) << args[2];
    EXPECT_NE(r.err.find("spoolgate: " + error + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "body"));
  EXPECT_EQ(RunCli({"overlay", "info", "passwd", "--force"}, dir.path).status, 0);
  // A header that is one fill byte, text or not, is the rendering side's and is read.
  dir.Write("fill.ovl", std::string(444, 'O') + "SP1;PU100,2800;\n");
  EXPECT_EQ(RunCli({"overlay", "info", "fill.ovl"}, dir.path).status, 0);
}

// The names in dir that look like a temporary output file.
std::vector<std::string> PartFiles(const TempDir& dir) {
  std::vector<std::string> parts;
  for (const auto& e : std::filesystem::directory_iterator(dir.path)) {
    std::string name = e.path().filename().string();
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) parts.push_back(name);
  }
  return parts;
}

// Runs a shell command line in dir; its exit status.
int Shell(const TempDir& dir, const std::string& command) {
  int status = std::system(("cd '" + dir.path + "' && " + command).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CliErrors, OutputsNeverHarmTheUsersFiles) {
  TempDir dir;
  const std::string job = "JobHeaderRecord jobFlags=0\ndata \"x\"\nEndDoc\n";
  dir.Write("mine.job", job);
  ASSERT_EQ(RunCli({"capture", "mine.job", "-o", "x.cap"}, dir.path).status, 0);
  const std::string capture = sgtest::Slurp(dir / "x.cap");
  const std::string archive = std::string(444, '\0') + "print data";  // long enough for both headers
  for (const char* name : {"b.RUD", "plan.prn", "letter.body"}) dir.Write(name, archive);

  // An output that is an input, by its name, by default or through a link.
  std::filesystem::create_symlink("mine.job", dir / "alias.job");
  const std::vector<std::vector<std::string>> sameFile = {
      {"rud", "extract", "b.RUD", "-o", "b.RUD"},
      {"rud", "extract", "plan.prn"},
      {"overlay", "extract", "letter.body"},
      {"capture", "mine.job", "-o", "mine.job"},
      {"capture", "mine.job", "-o", "alias.job"},
      {"run", "x.cap", "--printer-out", "x.cap"},
  };
  for (const auto& args : sameFile) {
    sgtest::CliResult r = RunCli(args, dir.path);
    EXPECT_EQ(r.status, 2) << args[0] << " " << args[1];
    EXPECT_NE(r.err.find("is the input"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(sgtest::Slurp(dir / "b.RUD"), archive);
  EXPECT_EQ(sgtest::Slurp(dir / "plan.prn"), archive);
  EXPECT_EQ(sgtest::Slurp(dir / "letter.body"), archive);
  EXPECT_EQ(sgtest::Slurp(dir / "mine.job"), job);
  EXPECT_EQ(sgtest::Slurp(dir / "x.cap"), capture);
  EXPECT_FALSE(std::filesystem::exists(dir / "spoolgate-root")) << "a job ran after all";

  // Another program's temporary file is left alone; a link keeps pointing at its
  // target, which receives the output; a device stays a device.
  dir.Write("out.cap.part", "someone else's");
  std::filesystem::create_symlink("target.cap", dir / "link.cap");
  ASSERT_EQ(RunCli({"capture", "mine.job", "-o", "out.cap"}, dir.path).status, 0);
  ASSERT_EQ(RunCli({"capture", "mine.job", "-o", "link.cap"}, dir.path).status, 0);
  EXPECT_EQ(sgtest::Slurp(dir / "out.cap.part"), "someone else's");
  EXPECT_EQ(sgtest::Slurp(dir / "out.cap"), capture);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.cap"));
  EXPECT_EQ(sgtest::Slurp(dir / "target.cap"), capture);
  // The file replaced through the link keeps its permissions, unlike a new file's.
  ASSERT_EQ(chmod((dir / "target.cap").c_str(), 0604), 0);
  ASSERT_EQ(RunCli({"capture", "mine.job", "-o", "link.cap"}, dir.path).status, 0);
  struct stat replaced;
  ASSERT_EQ(stat((dir / "target.cap").c_str(), &replaced), 0);
  EXPECT_EQ(replaced.st_mode & 07777, 0604u);
  ASSERT_EQ(RunCli({"rud", "extract", "b.RUD", "-o", "/dev/null"}, dir.path).status, 0);
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));

  // A name of a descriptor the command has open is written through: a file standard
  // output appends to keeps its earlier bytes (and its inode), a pipe takes the output.
  // Standard input given as "-" is the file behind it.
  const std::string cli = SPOOLGATE_CLI;
  dir.Write("collected.bin", "earlier");
  struct stat before;
  ASSERT_EQ(stat((dir / "collected.bin").c_str(), &before), 0);
  EXPECT_EQ(Shell(dir, cli + " capture mine.job -o /dev/stdout >> collected.bin"), 0);
  EXPECT_EQ(Shell(dir, cli + " capture mine.job -o /dev/fd/1 >> collected.bin"), 0);
  struct stat after;
  ASSERT_EQ(stat((dir / "collected.bin").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(sgtest::Slurp(dir / "collected.bin"), "earlier" + capture + capture);
  EXPECT_EQ(Shell(dir, cli + " capture mine.job -o /dev/stdout | wc -c > count.txt"), 0);
  EXPECT_EQ(std::stoul(sgtest::Slurp(dir / "count.txt")), capture.size());
  EXPECT_EQ(Shell(dir, cli + " capture - -o mine.job < mine.job 2>err.txt"), 2);
  EXPECT_NE(sgtest::Slurp(dir / "err.txt").find("is the input"), std::string::npos);
  EXPECT_EQ(sgtest::Slurp(dir / "mine.job"), job);
  EXPECT_EQ(PartFiles(dir), std::vector<std::string>{"out.cap.part"});
}

TEST(CliErrors, AnInterruptedOutputLeavesNoTemporaryFile) {
  TempDir dir;
  // The description's data comes from a FIFO nobody writes: the command waits with its
  // temporary output open until the signal comes.
  ASSERT_EQ(mkfifo((dir / "data.fifo").c_str(), 0600), 0);
  dir.Write("wait.job", "JobHeaderRecord jobFlags=0\ndata file='data.fifo'\nEndDoc\n");
  for (int sig : {SIGINT, SIGTERM}) {
    pid_t pid = sgtest::StartCli({"capture", "wait.job", "-o", "out.cap"}, dir.path);
    for (int i = 0; i < 500 && PartFiles(dir).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(PartFiles(dir).size(), 1u);
    kill(pid, sig);
    sgtest::CliResult r = sgtest::WaitCli(pid, dir.path);
    EXPECT_EQ(r.status, -1) << "not ended by the signal";
    EXPECT_TRUE(PartFiles(dir).empty()) << PartFiles(dir)[0];
    EXPECT_FALSE(std::filesystem::exists(dir / "out.cap"));
  }
}

TEST(CliErrors, AnUnusableRootIsAnErrorNotAnAbort) {
  TempDir dir;
  dir.Write("job.txt", "JobHeaderRecord jobFlags=0\ndata \"x\"\nEndDoc\n");
  ASSERT_EQ(RunCli({"capture", "job.txt", "-o", "x.cap"}, dir.path).status, 0);
  std::filesystem::create_directory(dir / "root");
  dir.Write("root/C", "a file where the drive belongs");
  ExpectOneLineError(RunCli({"run", "--root", "root", "x.cap"}, dir.path),
                     "root: unusable sandbox root: cannot create " + dir.path +
                         "/root/C: Not a directory");
  sgtest::CliResult proc = RunCli({"run", "--root", "/proc", "x.cap"}, dir.path);
  EXPECT_EQ(proc.status, 2) << proc.err;
  EXPECT_EQ(proc.err.rfind("spoolgate: /proc: unusable sandbox root: cannot create /proc/C: ", 0), 0u)
      << proc.err;
}

TEST(CliErrors, UnusableArgumentsExitWithTwo) {
  TempDir dir;
  EXPECT_EQ(RunCli({}, dir.path).status, 2);
  ExpectOneLineError(RunCli({"print"}, dir.path),
                     "unknown subcommand 'print' (one of: capture, run, rud, overlay, log, directory) "
                     "(--help for usage)");
  ExpectOneLineError(RunCli({"log", "shwo"}, dir.path),
                     "unknown subcommand 'shwo' of log (one of: show, summary, report, verify, import) "
                     "(--help for usage)");
  dir.Write("job.txt", "JobHeaderRecord jobFlags=0\nEndDoc\n");
  ASSERT_EQ(RunCli({"capture", "job.txt", "-o", "x.cap"}, dir.path).status, 0);
  ExpectOneLineError(RunCli({"run", "--job-id", "4294967295", "x.cap", "x.cap"}, dir.path),
                     "--job-id 4294967295: the 2 jobs would need ids above 4294967295");
  EXPECT_EQ(RunCli({"run"}, dir.path).status, 2);
  EXPECT_EQ(RunCli({"run", "x.cap", "--job-id", "seven"}, dir.path).status, 2);
  EXPECT_EQ(RunCli({"log", "show", dir / "missing"}, dir.path).status, 2);
  // One rule for folders and databases: a sum of a text column is refused by both, and
  // the database has no damaged lines to include.
  ExpectOneLineError(RunCli({"log", "summary", dir.path, "--sum", "text_200"}, dir.path),
                     "--sum text_200: not a numeric column (numeric columns: sequence level format content_flags "
                     "value_248 value_252 value_256 value_388 value_392 value_396 value_400 value_404 value_408 "
                     "value_432 value_436 value_448 value_452 value_456 value_472 value_488 value_492 value_496 "
                     "value_500 value_632)");
  ExpectOneLineError(RunCli({"log", "show", "--db", "sqlite:none.db", "--include-damaged"}, dir.path),
                     "--include-damaged: the database stores only lines whose checksum is right");
  sgtest::CliResult date = RunCli({"log", "summary", dir.path, "--from", "last week"}, dir.path);
  ExpectOneLineError(date, "--from last week: not an ISO 8601 date or date-time (YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS[.fff]])");
}

TEST(CliErrors, APasswordIsNeverShown) {
  // No server answers at these: each fails to connect, and says so without the password
  // in any form libpq takes one, nor the part after an '@' left unencoded in it.
  TempDir dir;
  std::filesystem::create_directory(dir / "logs");
  dir.Write("logs/Jobs.seq", "0\r\n");  // a log, so that the import goes on to the database
  for (const std::string url : {"postgresql:///acct?host=/nonexistent&password=S3CRET",
                                "postgresql://u:S3CRET@PW@localhost:1/acct",
                                "postgresql://u:S3%43RET@/acct?host=/nonexistent",
                                "host=/nonexistent dbname=acct password='S3CRET PW'"}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"log", "import", "logs", "--db", url, "--no-progress"},
          std::vector<std::string>{"log", "summary", "--db", url, "--json"}}) {
      sgtest::CliResult r = RunCli(args, dir.path);
      EXPECT_EQ(r.status, 2) << url;
      // Named by its host and name, or not at all.
      EXPECT_TRUE(r.err.rfind("spoolgate: postgresql://", 0) == 0 || r.err.find("the --db URL") != std::string::npos)
          << r.err;
      for (const char* secret : {"S3CRET", "S3%43RET", "PW"}) {
        EXPECT_EQ((r.out + r.err).find(secret), std::string::npos) << secret << " in " << r.err;
      }
    }
  }
}

TEST(CliErrors, EverySubcommandHasHelp) {
  TempDir dir;
  const std::vector<std::vector<std::string>> commands = {
      {"--help"},         {"capture", "--help"}, {"run", "--help"},
      {"rud", "--help"},  {"rud", "info", "--help"}, {"rud", "extract", "--help"},
      {"overlay", "--help"}, {"overlay", "info", "--help"}, {"overlay", "extract", "--help"},
      {"log", "--help"},  {"log", "show", "--help"}, {"log", "summary", "--help"},
      {"log", "report", "--help"}, {"log", "verify", "--help"}, {"log", "import", "--help"},
      {"directory", "--help"}, {"directory", "import", "--help"}, {"directory", "list", "--help"}};
  sgtest::CliResult version = RunCli({"--version"}, dir.path);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("spoolgate ", 0), 0u) << version.out;
  // The bash completion offers every option the help texts name.
  const std::string completion = sgtest::Slurp(SPOOLGATE_SOURCE "/tools/spoolgate.bash-completion");
  ASSERT_FALSE(completion.empty());
  for (const auto& args : commands) {
    sgtest::CliResult r = RunCli(args, dir.path);
    EXPECT_EQ(r.status, 0) << args[0] << " " << args.back();
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << r.out;
    for (size_t at = r.out.find("\n  -"); at != std::string::npos; at = r.out.find("\n  -", at + 1)) {
      std::string names = r.out.substr(at + 3, r.out.find_first_of(" \n", at + 3) - at - 3);
      for (size_t start = 0; start < names.size();) {
        size_t comma = names.find(',', start);
        std::string option = names.substr(start, comma - start);
        if (option != "-h") {
          EXPECT_TRUE(std::regex_search(completion, std::regex("[\" ]" + option + "[\" ]")))
              << option << " of " << args[0] << " is not completed";
        }
        start = comma == std::string::npos ? names.size() : comma + 1;
      }
    }
  }
}

}  // namespace
