// SPDX-License-Identifier: Apache-2.0
// spoolgate.exe on a print server as Wine shows one: setup into the fresh prefix, an
// accounting job through the real DLLs, check finding nothing and then each planted
// fault, setup's refusals and failures, and the log reports that scripts/wine-tests.sh
// compares with the Linux command's. Wine keeps no owners or ACLs of its own: a file's
// owner is its Unix owner (this process's account, or ANONYMOUS LOGON for another uid),
// so setup and check are told that the spooler's account is this process's, in which the
// jobs run.
#include "tests/wine/wine_platform.h"
#include "logger/crc32.h"

#include <aclapi.h>
#include <sddl.h>
#include <winspool.h>

#include <string>

using namespace sgconf;
using namespace sgtest;

namespace {

const std::u16string kSettingsKey = u"SOFTWARE\\TALVOK\\PrintLog";
const std::u16string kEventSourceKey =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ruzoravu64";
// Kept after the suite for the comparison with the Linux command.
const std::u16string kCompareRoot = u"C:\\spoolgate-compare";

struct Result {
  int status = -1;
  std::string out, err;
};

Result RunKit(const std::u16string& arguments) {
  Result r;
  r.status = RunProgram(u"\"" + ProgramDirectory() + u"\\spoolgate.exe\" " + arguments, &r.out, &r.err);
  return r;
}

std::u16string OwnSid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD needed = 0;
  GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed);
  CloseHandle(token);
  WCHAR* text = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
  std::u16string sid(reinterpret_cast<const char16_t*>(text));
  LocalFree(text);
  return sid;
}

std::string Text(const std::optional<Bytes>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

class Kit : public ConformanceTest {
 protected:
  void TearDown() override {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, W(kEventSourceKey));
    DeleteFileW(W(SystemLibrary()));
  }
  // What every setup and check of the suite names besides its own options.
  std::u16string Server() const {
    return u" --driver-dir \"" + ProgramDirectory() + u"\\driver\" --spooler-account " + OwnSid();
  }
  static std::u16string SystemLibrary() {
    WCHAR buffer[MAX_PATH];
    UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), n) + u"\\ruzoravu64.dll";
  }
  // An accounting job of the fixture's printer: its line goes to <log dir>\Plotter.csv.
  void AccountingJob() {
    JobLogRecord log = NewJobLog();
    SetText(log.leadingText, u"Plotter");
    log.value252 = 12;  // summed by the reports
    HANDLE job = StartJob();
    SendAll(job, {JobHeader(JOB_FLAG_ACCOUNTING), Data("page"), AsBytes(log)});
    EndAndClose(job);
  }
  void Install(const std::u16string& dir) {
    Result setup = RunKit(u"setup \"" + dir + u"\" --max-size 1024" + Server());
    ASSERT_EQ(setup.status, 0) << setup.out << setup.err;
  }
  void SetDirectory(const std::u16string& dir) {
    WriteRegistryValue(kSettingsKey, u"LogFileDirectory", REG_SZ, Sz(dir).data);
  }

  const std::u16string dir_ = Path(u"B\u00fc ro\\PrintLog");
};

TEST_F(Kit, SetupThenAJobThenCheckFindsNothingWrongAndRemoveKeepsTheLog) {
  Result dry = RunKit(u"setup \"" + dir_ + u"\" --dry-run" + Server());
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_NE(dry.out.find("would  make the log directory " + Utf8(dir_)), std::string::npos) << dry.out;
  EXPECT_FALSE(ReadRegistryValue(kSettingsKey, u"LogFileDirectory")) << "a dry run wrote";
  EXPECT_FALSE(WindowsDirectoryExists(dir_)) << "a dry run made the directory";

  Install(dir_);
  std::optional<RegistryValue> directory = ReadRegistryValue(kSettingsKey, u"LogFileDirectory");
  ASSERT_TRUE(directory);
  EXPECT_EQ(directory->type, DWORD{REG_SZ});
  EXPECT_EQ(directory->data, Sz(dir_).data);
  std::optional<RegistryValue> size = ReadRegistryValue(kSettingsKey, u"MaxLogFileSize");
  ASSERT_TRUE(size);
  EXPECT_EQ(size->data, Dword(1024).data);
  std::optional<RegistryValue> messages = ReadRegistryValue(kEventSourceKey, u"EventMessageFile");
  ASSERT_TRUE(messages);
  EXPECT_EQ(messages->type, DWORD{REG_EXPAND_SZ});
  EXPECT_EQ(messages->data, Sz(ProgramDirectory() + u"\\driver\\ruzoravu64.dll").data);
  // The owner as Wine reports it: the Unix owner, this process's account.
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(W(dir_), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                  nullptr, nullptr, nullptr, &sd),
            DWORD{ERROR_SUCCESS});
  WCHAR* ownerText = nullptr;
  ConvertSidToStringSidW(owner, &ownerText);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ownerText)), OwnSid());
  LocalFree(ownerText);
  LocalFree(sd);
  // Right after setup the directory is ready, before any job.
  Result fresh = RunKit(u"check --json" + Server());
  EXPECT_EQ(fresh.status, 0) << fresh.out;
  EXPECT_NE(fresh.out.find("\"code\": \"log-no-job-yet\""), std::string::npos) << fresh.out;

  AccountingJob();
  EXPECT_NE(Text(ReadWindowsFile(dir_ + u"\\Plotter.csv")).find("\r\n1,"), std::string::npos);
  Result check = RunKit(u"check" + Server());
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("ok     " + Utf8(dir_) + ": owned by"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("log verify: OK, 1 lines in 1 files"), std::string::npos) << check.out;
  // A redirected report has the Linux command's bytes: LF alone.
  EXPECT_EQ(check.out.substr(check.out.size() - 4), "\nOK\n");
  // Without a directory, the log subcommands read the one the settings name.
  Result verify = RunKit(u"log verify --json");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_NE(verify.out.find("B\xC3\xBC ro\\\\PrintLog\","), std::string::npos) << verify.out;
  Result json = RunKit(u"check --json" + Server());
  EXPECT_EQ(json.status, 0);
  EXPECT_NE(json.out.find("\"result\": \"ok\""), std::string::npos) << json.out;

  Result remove = RunKit(u"setup --remove");
  EXPECT_EQ(remove.status, 0) << remove.out << remove.err;
  EXPECT_NE(remove.out.find("removed; the logs in " + Utf8(dir_) + " stay; from the next accounting job on the "
                            "plug-in writes to its default C:\\windows\\temp\\PrintLog, which deployment.md "
                            "advises against"),
            std::string::npos)
      << remove.out;
  EXPECT_FALSE(ReadRegistryValue(kSettingsKey, u"LogFileDirectory"));
  EXPECT_FALSE(ReadRegistryValue(kEventSourceKey, u"EventMessageFile"));
  EXPECT_TRUE(ReadWindowsFile(dir_ + u"\\Plotter.csv")) << "the log went with the settings";
}

TEST_F(Kit, CheckNamesEachPlantedFault) {
  Install(dir_);
  AccountingJob();
  // A second library where the plug-in looks after its own directory, a line a crash
  // cut, and a line waiting in the pending file.
  ASSERT_TRUE(CopyFileW(W(ProgramDirectory() + u"\\recorder\\ruzoravu64.dll"), W(SystemLibrary()), FALSE));
  std::string log = Text(ReadWindowsFile(dir_ + u"\\Plotter.csv"));
  size_t firstLine = log.find("\r\n") + 2;
  WriteWindowsFile(dir_ + u"\\Plotter.csv", Data(log + "2,2,2,1,2026-12-07T10:00"));
  WriteWindowsFile(dir_ + u"\\Plotter.pending", Data(log.substr(0, firstLine) + "," + log.substr(firstLine + 2)));
  Result check = RunKit(u"check --printer \"No Such Printer\"" + Server());
  EXPECT_EQ(check.status, 1) << check.out;
  for (const std::string& fault :
       {"WRONG  " + Utf8(SystemLibrary()) + ": another ruzoravu64.dll",
        std::string("WRONG  printer 'No Such Printer': cannot be opened: "),
        "WRONG  " + Utf8(dir_) + "\\Plotter.csv:3 (byte ",  // the torn line
        std::string("torn line"), std::string("pending: a line not yet numbered waits here")}) {
    EXPECT_NE(check.out.find(fault), std::string::npos) << fault << "\n" << check.out;
  }

  // A value the plug-in cannot read within its 260 bytes: the default takes its place.
  SetDirectory(std::u16string(u"C:\\") + std::u16string(137, u'x'));
  check = RunKit(u"check" + Server());
  EXPECT_EQ(check.status, 1);
  EXPECT_NE(check.out.find("LogFileDirectory has 140 characters, more than 129: the plug-in uses "
                           "the default \"C:\\windows\\temp\\PrintLog\""),
            std::string::npos)
      << check.out;

  // Settings the library takes otherwise than they read: a directory relative to the
  // spooler's current directory (check's own holds a log), a size of 0, a size stored as
  // text. Each is wrong, under a code of its own.
  SetCurrentDirectoryW(W(dir_ + u"\\.."));
  SetDirectory(u"PrintLog");
  WriteRegistryValue(kSettingsKey, u"MaxLogFileSize", REG_DWORD, Dword(0).data);
  check = RunKit(u"check --json" + Server());
  EXPECT_EQ(check.status, 1);
  for (const char* code : {"\"directory-not-full-path\"", "\"size-zero\""}) {
    EXPECT_NE(check.out.find(code), std::string::npos) << code << "\n" << check.out;
  }
  EXPECT_EQ(check.out.find("\"log-"), std::string::npos) << "a relative directory was judged\n" << check.out;
  WriteRegistryValue(kSettingsKey, u"MaxLogFileSize", REG_SZ, Sz(u"1024").data);
  check = RunKit(u"check" + Server());
  EXPECT_NE(check.out.find("WRONG  MaxLogFileSize is REG_SZ, not REG_DWORD"), std::string::npos) << check.out;
  SetCurrentDirectoryW(W(ProgramDirectory()));
}

// scripts/wine-tests.sh makes C:\spoolgate-foreign owned by another Unix user (Wine shows
// it as ANONYMOUS LOGON) and C:\spoolgate-link a symbolic link (a reparse point to Wine).
TEST_F(Kit, RefusesADirectoryOfAnotherAccountOrThroughALink) {
  const std::u16string foreign = u"C:\\spoolgate-foreign", link = u"C:\\spoolgate-link";
  if (!WindowsDirectoryExists(foreign) || !WindowsDirectoryExists(link)) {
    GTEST_SKIP() << "scripts/wine-tests.sh prepares " << Utf8(foreign) << " and " << Utf8(link);
  }
  Install(dir_);
  SetDirectory(foreign);
  Result check = RunKit(u"check" + Server());
  EXPECT_EQ(check.status, 1);
  EXPECT_NE(check.out.find("WRONG  C:\\spoolgate-foreign: owned by NT AUTHORITY\\ANONYMOUS LOGON"),
            std::string::npos)
      << check.out;
  SetDirectory(link + u"\\PrintLog");
  check = RunKit(u"check" + Server());
  EXPECT_NE(check.out.find("WRONG  C:\\spoolgate-link is a junction or symbolic link"), std::string::npos)
      << check.out;

  Result setup = RunKit(u"setup " + foreign + Server());
  EXPECT_EQ(setup.status, 2);
  EXPECT_NE(setup.err.find("exists and belongs to NT AUTHORITY\\ANONYMOUS LOGON"), std::string::npos) << setup.err;
  setup = RunKit(u"setup " + link + u"\\PrintLog" + Server());
  EXPECT_EQ(setup.status, 2);
  EXPECT_NE(setup.err.find("C:\\spoolgate-link is a junction or symbolic link"), std::string::npos) << setup.err;
}

TEST_F(Kit, SetupRefusesUnsafeOrUnusableSettingsAndNamesTheStepThatFailed) {
  // A parent that every user may change: Wine keeps the grant as the mode's "other" bits.
  const std::u16string open = Path(u"open");
  MakeWindowsDirectory(open);
  PSECURITY_DESCRIPTOR everyone = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                   &everyone, nullptr));
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorDacl(everyone, &present, &dacl, &defaulted);
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<WCHAR*>(W(open)), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr),
            DWORD{ERROR_SUCCESS});
  LocalFree(everyone);
  struct Refused {
    std::u16string arguments;
    std::string says;
  } refused[] = {
      {u"\"" + open + u"\\PrintLog\"", "C:\\spoolgate-tests\\open above it lets Everyone (S-1-1-0) create or remove entries"},
      {u"C:\\" + std::u16string(127, u'y'), "130 characters; the plug-in reads at most 129"},
      {u"Logs\\PrintLog", "must be a full path"},
      {u"C:\\Logs\\..\\Windows", "empty, . or .. parts are not taken"},
      {u"C:\\Logs --max-size 0", "--max-size 0: from 1 to 4294967295"},
      {u"C:\\Logs --max-size 4294967296", "--max-size 4294967296: from 1 to 4294967295"},
      {u"C:\\Logs --max-size -5", "--max-size -5: negative"},
      // The shell keeps the quote after a last \\ and the rest of the line with it.
      {u"\"C:\\Logs\\\" --dry-run", "leave out the last \\"},
      // An unknown printer stops setup before it changes anything, a dry run too.
      {u"C:\\Logs --printer \"No Such Printer\" --dry-run", "--printer 'No Such Printer': "},
      {u"C:\\Logs --printer \"No Such Printer\"", "nothing was changed"},
  };
  for (const Refused& r : refused) {
    Result setup = RunKit(u"setup " + r.arguments + Server());
    EXPECT_EQ(setup.status, 2) << Utf8(r.arguments);
    EXPECT_NE(setup.err.find(r.says), std::string::npos) << setup.err;
  }
  EXPECT_FALSE(ReadRegistryValue(kSettingsKey, u"LogFileDirectory")) << "a refused setup wrote";

  EXPECT_FALSE(WindowsDirectoryExists(u"C:\\Logs")) << "a refused setup made the directory";

  // A directory the library would refuse once made (Wine keeps the Unix owner, this
  // account, and SYSTEM runs the plug-in): the failure names the owner there and then,
  // since check, with no settings written, would judge another directory.
  Result setup = RunKit(u"setup \"" + dir_ + u"\" --driver-dir \"" + ProgramDirectory() + u"\\driver\"");
  EXPECT_EQ(setup.status, 1);
  EXPECT_NE(setup.out.find("the library would still refuse it: its owner is "), std::string::npos) << setup.out;
  EXPECT_EQ(setup.out.find("check"), std::string::npos) << setup.out;
  // check judges who may change the log directory whoever runs it, the owner included.
  SetDirectory(dir_);
  Result check = RunKit(u"check --driver-dir \"" + ProgramDirectory() + u"\\driver\"");
  EXPECT_NE(check.out.find("WRONG  " + Utf8(dir_) + " belongs to "), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find("ok     " + Utf8(dir_) + ": only"), std::string::npos) << check.out;
}

// A printer of Wine's own spooler (not the double's) whose driver ships the plug-in:
// setup opens it before any step and sets its value, and check judges it by name or
// finds it among the printers.
TEST_F(Kit, SetsUpAPrinterWhoseDriverShipsThePluginAndCheckJudgesIt) {
  const std::u16string driver = ProgramDirectory() + u"\\driver\\";
  std::u16string library = driver + u"ruzoravu64.dll", files = driver + u"spoolgate.dll" + u'\0';
  DRIVER_INFO_3W info = {};
  info.cVersion = 3;
  info.pName = const_cast<WCHAR*>(L"Wide Format Kit Driver");
  info.pEnvironment = const_cast<WCHAR*>(L"Windows x64");
  info.pDriverPath = info.pDataFile = info.pConfigFile = const_cast<WCHAR*>(W(library));
  info.pDependentFiles = const_cast<WCHAR*>(W(files));
  ASSERT_TRUE(AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_NEW_FILES))
      << GetLastError();
  PRINTER_INFO_2W printer = {};
  printer.pPrinterName = const_cast<WCHAR*>(L"Plotter Room 2");
  printer.pPortName = const_cast<WCHAR*>(L"FILE:");
  printer.pDriverName = info.pName;
  printer.pPrintProcessor = const_cast<WCHAR*>(L"WinPrint");
  printer.pDatatype = const_cast<WCHAR*>(L"RAW");
  HANDLE added = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&printer));
  ASSERT_NE(added, nullptr) << GetLastError();

  Result check = RunKit(u"check" + Server());
  EXPECT_NE(check.out.find("WRONG  printer 'Plotter Room 2': no SPLUserModePrinterDriver"), std::string::npos)
      << check.out;
  Result setup = RunKit(u"setup \"" + dir_ + u"\" --printer \"Plotter Room 2\"" + Server());
  EXPECT_EQ(setup.status, 0) << setup.out << setup.err;
  EXPECT_NE(setup.out.find("done   set SPLUserModePrinterDriver = spoolgate.dll for the printer 'Plotter Room 2'"),
            std::string::npos) << setup.out;
  check = RunKit(u"check --json --printer \"Plotter Room 2\"" + Server());
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_NE(check.out.find("\"code\": \"printer-ok\""), std::string::npos) << check.out;
  DeletePrinter(added);
  ClosePrinter(added);
  DeletePrinterDriverW(nullptr, info.pEnvironment, info.pName);
}

// The DACL of a file as text, "" when it cannot be read.
std::u16string DaclText(const std::u16string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoW(W(path), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            nullptr, nullptr, &sd) != ERROR_SUCCESS) {
    return u"";
  }
  WCHAR* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                       &text, nullptr);
  std::u16string dacl = text != nullptr ? reinterpret_cast<const char16_t*>(text) : u"";
  LocalFree(text);
  LocalFree(sd);
  return dacl;
}

// One DACL for a file, PROTECTED: true when the file then has it.
bool SetDacl(const std::u16string& path, const std::u16string& sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(W(sddl), SDDL_REVISION_1, &sd, nullptr)) return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  DWORD error = SetNamedSecurityInfoW(const_cast<WCHAR*>(W(path)), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, dacl, nullptr);
  LocalFree(sd);
  return error == ERROR_SUCCESS && DaclText(path).find(u"D:P") == 0;
}

// Outputs keep their promises as on Linux. scripts/wine-tests.sh prepares
// C:\spoolgate-outputs: link.prn, a Unix link to target.prn beside it, and kept.prn of
// its owner alone (Wine shows a file's Unix mode as its DACL).
class Output : public Kit {
 protected:
  void SetUp() override {
    Kit::SetUp();
    if (!ReadWindowsFile(kOutputs + u"\\link.prn")) GTEST_SKIP() << "scripts/wine-tests.sh prepares " << Utf8(kOutputs);
    Bytes archive(380, 0);
    Bytes data = Data("print data");
    archive.insert(archive.end(), data.begin(), data.end());
    WriteWindowsFile(rud_, archive);
  }
  const std::u16string kOutputs = u"C:\\spoolgate-outputs";
  const std::u16string rud_ = Path(u"plan.RUD");
};

// Wine shows the link as the file it leads to: the target's content tells that it was
// written through rather than replaced.
TEST_F(Output, ALinkIsWrittenThroughToItsTarget) {
  Result extract = RunKit(u"rud extract \"" + rud_ + u"\" -o " + kOutputs + u"\\link.prn");
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(Text(ReadWindowsFile(kOutputs + u"\\target.prn")), "print data");
}

TEST_F(Output, AReplacedFileKeepsItsPermissions) {
  const std::u16string kept = kOutputs + u"\\kept.prn", probe = Path(u"probe.prn");
  const std::u16string before = DaclText(kept);
  WriteWindowsFile(probe, Data("new"));
  ASSERT_NE(before, DaclText(probe)) << "a new file would have these permissions anyway";
  // The replacement takes the DACL with Windows' own calls, which a Wine that keeps no
  // DACL set on a file cannot show.
  if (!SetDacl(probe, u"D:P(A;;FA;;;" + OwnSid() + u")")) {
    GTEST_SKIP() << "this Wine does not keep a DACL set on a file";
  }
  Result extract = RunKit(u"rud extract \"" + rud_ + u"\" -o " + kept);
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(Text(ReadWindowsFile(kept)), "print data");
  EXPECT_EQ(Utf8(DaclText(kept)), Utf8(before));
}

// The reports of a log folder (with a torn and a pending line) and of an archive file,
// kept under C:\spoolgate-compare for scripts/wine-tests.sh, which runs the Linux
// command on the same files and compares the JSON.
TEST_F(Kit, ReportsForTheComparisonWithLinux) {
  DeleteTree(kCompareRoot);
  const std::u16string dir = kCompareRoot + u"\\B\u00fc ro";
  Install(dir);
  for (int i = 0; i < 3; ++i) AccountingJob();
  std::string log = Text(ReadWindowsFile(dir + u"\\Plotter.csv"));
  WriteWindowsFile(dir + u"\\Plotter.csv", Data(log + "4,2,2,1,torn"));
  Bytes archive(380, 0);
  archive[292] = 3;  // headerFlags
  Bytes data = Data("print data");
  archive.insert(archive.end(), data.begin(), data.end());
  WriteWindowsFile(kCompareRoot + u"\\site-plan.RUD", archive);
  // A log of 12,000 long lines out of time order, more than a listing keeps in memory:
  // spoolgate.exe puts them in order through its scratch file.
  const std::string written = Text(ReadWindowsFile(dir + u"\\Plotter.csv"));
  size_t body = written.find("\r\n") + 2;
  std::vector<std::string> fields;
  for (size_t at = body, comma = 0; comma != std::string::npos; at = comma + 1) {
    comma = written.find_first_of(",\r", at);
    fields.push_back(written.substr(at, comma - at));
    if (written[comma] == '\r') break;
  }
  std::string fleet = written.substr(0, body);
  for (int i = 1; i <= 12000; ++i) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "2026-12-%02dT%02d:%02d:00.000", 1 + i * 7 % 28, i * 5 % 24, i % 60);
    fields[0] = std::to_string(i);
    fields[4] = stamp;
    fields[7] = "job " + std::to_string(i) + std::string(500, 'x');
    std::string line;
    for (size_t f = 0; f + 1 < fields.size(); ++f) line += fields[f] + ",";
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08X", Crc32Update(0, line.data(), line.size() - 1));
    fleet += line + crc + "\r\n";
  }
  WriteWindowsFile(kCompareRoot + u"\\Fleet\\Plotter.csv", Data(fleet));
  WriteWindowsFile(kCompareRoot + u"\\Fleet\\Plotter.seq", Data("12000\r\n"));
  struct Report {
    const char16_t* file;
    std::u16string arguments;
    int status;
  } reports[] = {
      {u"verify.json", u"log verify --json \"" + dir + u"\"", 1},
      {u"verify.txt", u"log verify \"" + dir + u"\"", 1},
      {u"show.json", u"log show --json --include-damaged \"" + dir + u"\"", 0},
      {u"show.txt", u"log show --include-damaged \"" + dir + u"\"", 0},
      {u"show.csv", u"log show --csv --include-damaged \"" + dir + u"\"", 0},
      {u"summary.json", u"log summary --json --sum value_252 \"" + dir + u"\"", 0},
      {u"summary.txt", u"log summary --sum value_252 \"" + dir + u"\"", 0},
      {u"summary.csv", u"log summary --csv --sum value_252 \"" + dir + u"\"", 0},
      {u"fleet.csv", u"log show --csv " + kCompareRoot + u"\\Fleet", 0},
      {u"rud.json", u"rud info --json " + kCompareRoot + u"\\site-plan.RUD", 0},
      {u"rud.txt", u"rud info " + kCompareRoot + u"\\site-plan.RUD", 0},
  };
  for (const Report& r : reports) {
    Result result = RunKit(r.arguments);
    EXPECT_EQ(result.status, r.status) << Utf8(r.arguments) << result.err;
    WriteWindowsFile(kCompareRoot + u"\\" + r.file, Data(result.out));
    // A spreadsheet reads CR CR LF as a line and an empty one.
    EXPECT_EQ(result.out.find("\r\r"), std::string::npos) << Utf8(r.arguments);
  }
  Result extract = RunKit(u"rud extract " + kCompareRoot + u"\\site-plan.RUD -o " + kCompareRoot + u"\\site-plan.prn");
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(Text(ReadWindowsFile(kCompareRoot + u"\\site-plan.prn")), "print data");
  // The database stays with the Linux build, and says so.
  Result import = RunKit(u"log import \"" + dir + u"\"");
  EXPECT_EQ(import.status, 2);
  EXPECT_NE(import.err.find("the accounting database is read and filled by the Linux build"),
            std::string::npos) << import.err;
  EXPECT_NE(RunKit(u"log import --help").out.find("Linux build only"), std::string::npos);
  Result version = RunKit(u"--version");
  EXPECT_EQ(version.out, std::string("spoolgate ") + SPOOLGATE_VERSION + "\n");
}

// Windows' own ways to ask for help, and a help that names only what the server has:
// the documents travel beside the program, and the suite's own option stays out of it.
TEST_F(Kit, HelpAnswersWindowsConventionsAndNamesOnlyWhatShipsWithTheProgram) {
  for (const char16_t* ask : {u"/?", u"-?", u"setup /?", u"check -?", u"log summary /?"}) {
    Result help = RunKit(ask);
    EXPECT_EQ(help.status, 0) << Utf8(ask) << help.err;
    EXPECT_NE(help.out.find("Usage: "), std::string::npos) << Utf8(ask) << help.out << help.err;
    EXPECT_EQ(help.out.find("docs/"), std::string::npos) << Utf8(ask) << help.out;
    EXPECT_EQ(help.out.find("--spooler-account"), std::string::npos) << Utf8(ask) << help.out;
  }
  EXPECT_NE(RunKit(u"setup /?").out.find("--max-size"), std::string::npos);
  EXPECT_NE(RunKit(u"log summary /?").out.find("accounting-database.md beside spoolgate.exe"), std::string::npos);
  for (const char16_t* doc : {u"accounting-database.md", u"deployment.md"}) {
    EXPECT_TRUE(ReadWindowsFile(ProgramDirectory() + u"\\" + doc)) << Utf8(doc) << " does not ship beside the program";
  }
}

}  // namespace
