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

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

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

std::u16string Wide(const std::string& utf8) {
  std::u16string wide(utf8.size(), u'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), reinterpret_cast<WCHAR*>(wide.data()),
                              int(wide.size()));
  wide.resize(size_t(n));
  return wide;
}

// A text as a JSON string holds it: backslashes and quotes escaped.
std::string JsonText(const std::string& text) {
  std::string json;
  for (char c : text) {
    if (c == '\\' || c == '"') json += '\\';
    json += c;
  }
  return json;
}

std::string Text(const std::optional<Bytes>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// Lets Everyone do anything in a folder: Wine keeps the grant as the mode's "other" bits.
void GrantEveryone(const std::u16string& dir) {
  PSECURITY_DESCRIPTOR everyone = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                   &everyone, nullptr));
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorDacl(everyone, &present, &dacl, &defaulted);
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<WCHAR*>(W(dir)), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr),
            DWORD{ERROR_SUCCESS});
  LocalFree(everyone);
}

// The commands a report tells its reader to run: each "(run: A; then B)" at a line's end.
std::vector<std::string> Hints(const std::string& report) {
  std::vector<std::string> commands;
  size_t start = 0;
  while (start < report.size()) {
    size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    std::string line = report.substr(start, end - start);
    start = end + 1;
    size_t run = line.find("(run: ");
    if (run == std::string::npos || line.back() != ')') continue;
    std::string rest = line.substr(run + 6, line.size() - run - 7);
    for (size_t then; (then = rest.find("; then ")) != std::string::npos; rest.erase(0, then + 7)) {
      commands.push_back(rest.substr(0, then));
    }
    commands.push_back(rest);
  }
  return commands;
}

class Kit : public ConformanceTest {
 protected:
  void TearDown() override {
    for (HANDLE printer : printers_) {
      DeletePrinter(printer);
      ClosePrinter(printer);
    }
    for (const std::u16string& driver : drivers_) {
      DeletePrinterDriverW(nullptr, const_cast<WCHAR*>(L"Windows x64"), const_cast<WCHAR*>(W(driver)));
    }
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
  // A printer of Wine's own spooler (not the double's), of a driver whose files are the
  // logging library and, when it ships the plug-in, spoolgate.dll; both go when the test
  // ends.
  HANDLE AddKitPrinter(const std::u16string& name, const std::u16string& driverName, bool shipsPlugin) {
    const std::u16string driver = ProgramDirectory() + u"\\driver\\";
    std::u16string library = driver + u"ruzoravu64.dll", files = driver + u"spoolgate.dll" + u'\0';
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = const_cast<WCHAR*>(W(driverName));
    info.pEnvironment = const_cast<WCHAR*>(L"Windows x64");
    info.pDriverPath = info.pDataFile = info.pConfigFile = const_cast<WCHAR*>(W(library));
    info.pDependentFiles = shipsPlugin ? const_cast<WCHAR*>(W(files)) : nullptr;
    EXPECT_TRUE(AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_NEW_FILES))
        << GetLastError();
    drivers_.push_back(driverName);
    PRINTER_INFO_2W printer = {};
    printer.pPrinterName = const_cast<WCHAR*>(W(name));
    printer.pPortName = const_cast<WCHAR*>(L"FILE:");
    printer.pDriverName = info.pName;
    printer.pPrintProcessor = const_cast<WCHAR*>(L"WinPrint");
    printer.pDatatype = const_cast<WCHAR*>(L"RAW");
    HANDLE added = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&printer));
    EXPECT_NE(added, nullptr) << GetLastError();
    if (added != nullptr) printers_.push_back(added);
    return added;
  }
  // The printer's SPLUserModePrinterDriver as stored; empty when it has none.
  static std::u16string PrinterValue(HANDLE printer) {
    WCHAR value[MAX_PATH] = {};
    DWORD type = 0, needed = 0;
    if (GetPrinterDataW(printer, const_cast<WCHAR*>(L"SPLUserModePrinterDriver"), &type,
                        reinterpret_cast<BYTE*>(value), sizeof value - sizeof(WCHAR), &needed) != ERROR_SUCCESS) {
      return u"";
    }
    return reinterpret_cast<const char16_t*>(value);
  }
  // Runs a command a report printed, as its reader would: spoolgate.exe's with the
  // suite's own server options added.
  Result RunHint(const std::string& command) {
    if (command.rfind("spoolgate ", 0) == 0) return RunKit(Wide(command.substr(10)) + Server());
    Result r;
    r.status = RunProgram(Wide(command), &r.out, &r.err);
    return r;
  }

  const std::u16string dir_ = Path(u"B\u00fc ro\\PrintLog");
  std::vector<HANDLE> printers_;
  std::vector<std::u16string> drivers_;
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

  // The history in it is handed over to the Administrators and kept: check and setup give
  // the same two commands, never "remove it".
  const std::string takeOver = "run: icacls \"C:\\spoolgate-foreign\" /setowner *S-1-5-32-544 /T /C; then "
                               "spoolgate setup \"C:\\spoolgate-foreign\" --max-size 1024)";
  SetDirectory(foreign);
  check = RunKit(u"check" + Server());
  EXPECT_NE(check.out.find(takeOver + "\n"), std::string::npos) << check.out;
  // And no other command: a setup alone would be refused.
  EXPECT_EQ(Hints(check.out),
            (std::vector<std::string>{"icacls \"C:\\spoolgate-foreign\" /setowner *S-1-5-32-544 /T /C",
                                      "spoolgate setup \"C:\\spoolgate-foreign\" --max-size 1024"}))
      << check.out;
  Result setup = RunKit(u"setup " + foreign + Server());
  EXPECT_EQ(setup.status, 2);
  EXPECT_NE(setup.err.find("exists and belongs to NT AUTHORITY\\ANONYMOUS LOGON"), std::string::npos) << setup.err;
  EXPECT_NE(setup.err.find(takeOver), std::string::npos) << setup.err;
  EXPECT_EQ(setup.err.find("remove it"), std::string::npos) << setup.err;
  setup = RunKit(u"setup " + link + u"\\PrintLog" + Server());
  EXPECT_EQ(setup.status, 2);
  EXPECT_NE(setup.err.find("C:\\spoolgate-link is a junction or symbolic link"), std::string::npos) << setup.err;
}

TEST_F(Kit, SetupRefusesUnsafeOrUnusableSettingsAndNamesTheStepThatFailed) {
  // A parent that every user may change: Wine keeps the grant as the mode's "other" bits.
  const std::u16string open = Path(u"open");
  MakeWindowsDirectory(open);
  GrantEveryone(open);
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

  // Without the suite's spooler account (SYSTEM runs the plug-in), the folder the suite's
  // own account made above dir_ is one a program of that account could change: refused,
  // although that account runs setup, since check names it whoever runs check.
  const std::u16string driverOnly = u" --driver-dir \"" + ProgramDirectory() + u"\\driver\"";
  Result setup = RunKit(u"setup \"" + dir_ + u"\"" + driverOnly);
  EXPECT_EQ(setup.status, 2) << setup.out;
  EXPECT_NE(setup.err.find(": C:\\spoolgate-tests above it belongs to "), std::string::npos) << setup.err;
  // A directory the library would refuse once made (Wine keeps the Unix owner, this
  // account): the failure names the owner there and then, since check, with no settings
  // written, would judge another directory. Straight below C:\, no folder above it is
  // judged.
  const std::u16string made = u"C:\\spoolgate-made\\PrintLog";
  setup = RunKit(u"setup \"" + made + u"\"" + driverOnly);
  EXPECT_EQ(setup.status, 1);
  EXPECT_NE(setup.out.find("the library would still refuse it: its owner is "), std::string::npos) << setup.out;
  EXPECT_EQ(setup.out.find("check"), std::string::npos) << setup.out;
  // check judges who may change the log directory whoever runs it, the owner included.
  SetDirectory(made);
  Result check = RunKit(u"check" + driverOnly);
  EXPECT_NE(check.out.find("WRONG  " + Utf8(made) + " belongs to "), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find("ok     " + Utf8(made) + ": only"), std::string::npos) << check.out;
  DeleteTree(u"C:\\spoolgate-made");
}

// A printer of Wine's own spooler (not the double's) whose driver ships the plug-in:
// setup opens it before any step and sets its value, and check judges it by name or
// finds it among the printers.
TEST_F(Kit, SetsUpAPrinterWhoseDriverShipsThePluginAndCheckJudgesIt) {
  ASSERT_NE(AddKitPrinter(u"Plotter Room 2", u"Wide Format Kit Driver", true), nullptr);
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
}

// C:\Acc2 writable by Everyone above a log directory of the right owner and permissions:
// the swap setup guards against. check names the folder (and each such folder) as setup
// does, and advises no setup that setup would refuse.
TEST_F(Kit, CheckJudgesTheFoldersAboveTheLogDirectoryAsSetupDoes) {
  const std::u16string outer = Path(u"Acc2"), inner = Path(u"Acc2\\Site"), log = Path(u"Acc2\\Site\\PrintLog");
  Install(log);
  Result check = RunKit(u"check" + Server());
  ASSERT_EQ(check.status, 0) << check.out;
  GrantEveryone(outer);
  GrantEveryone(inner);
  check = RunKit(u"check" + Server());
  EXPECT_EQ(check.status, 1) << check.out;
  for (const char* folder : {"Acc2", "Acc2\\Site"}) {
    std::string line = std::string("WRONG  C:\\spoolgate-tests\\") + folder +
                       " above C:\\spoolgate-tests\\Acc2\\Site\\PrintLog lets Everyone (S-1-1-0) create or "
                       "remove entries: ";
    EXPECT_NE(check.out.find(line), std::string::npos) << line << "\n" << check.out;
  }
  EXPECT_NE(check.out.find("\n2 problems\n"), std::string::npos) << check.out;
  EXPECT_TRUE(Hints(check.out).empty()) << check.out;
  Result json = RunKit(u"check --json" + Server());
  EXPECT_NE(json.out.find("\"code\": \"permissions-parent-open\""), std::string::npos) << json.out;
  Result setup = RunKit(u"setup \"" + log + u"\" --dry-run" + Server());
  EXPECT_EQ(setup.status, 2);
  EXPECT_NE(setup.err.find("C:\\spoolgate-tests\\Acc2 above it lets Everyone (S-1-1-0) create or remove entries"),
            std::string::npos)
      << setup.err;
  // As an administrator runs it, SYSTEM the spooler's account: a folder of this account
  // is named with its owner and with every account its access list lets in.
  Result admin = RunKit(u"check --driver-dir \"" + ProgramDirectory() + u"\\driver\"");
  std::string open = "WRONG  C:\\spoolgate-tests\\Acc2 above C:\\spoolgate-tests\\Acc2\\Site\\PrintLog belongs to ";
  size_t line = admin.out.find(open);
  ASSERT_NE(line, std::string::npos) << admin.out;
  EXPECT_NE(admin.out.substr(line, admin.out.find('\n', line) - line)
                .find(") and lets Everyone (S-1-1-0) create or remove entries: "),
            std::string::npos)
      << admin.out;
  // With the log directory missing too, check still names the folder, and advises no
  // setup of it.
  DeleteTree(log);
  check = RunKit(u"check" + Server());
  EXPECT_NE(check.out.find("WRONG  C:\\spoolgate-tests\\Acc2 above"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("WRONG  " + Utf8(log) + ": does not exist"), std::string::npos) << check.out;
  EXPECT_TRUE(Hints(check.out).empty()) << check.out;
}

// A part of the path that is a file, a drive this computer does not have, a share that
// cannot be reached: each named, by the dry run and the run alike (exit 2, nothing
// changed), and by check under a code of its own.
TEST_F(Kit, APathThatCannotBeReachedIsNamedByTheDryRunTheRunAndCheck) {
  WriteWindowsFile(Path(u"afile.txt"), Data("not a folder"));
  struct Case {
    std::u16string dir;
    std::string says;
  } cases[] = {
      {Path(u"afile.txt\\PrintLog"), ": C:\\spoolgate-tests\\afile.txt is a file, not a folder"},
      {u"Q:\\Accounting\\PrintLog", ": this computer has no drive Q:"},
      {u"\\\\fileserver\\share\\PrintLog", ": the share \\\\fileserver\\share cannot be reached: "},
  };
  for (const Case& c : cases) {
    for (const char16_t* mode : {u" --dry-run", u""}) {
      Result setup = RunKit(u"setup \"" + c.dir + u"\"" + mode + Server());
      EXPECT_EQ(setup.status, 2) << Utf8(c.dir) << Utf8(mode) << setup.out;
      EXPECT_EQ(setup.err.find("spoolgate: " + Utf8(c.dir) + c.says), 0u) << setup.err;
      EXPECT_EQ(setup.out.find("would"), std::string::npos) << setup.out;
    }
    EXPECT_FALSE(ReadRegistryValue(kSettingsKey, u"LogFileDirectory")) << "a refused setup wrote";
    SetDirectory(c.dir);
    Result check = RunKit(u"check --json" + Server());
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("\"code\": \"directory-unreachable\""), std::string::npos) << check.out;
    EXPECT_NE(check.out.find(JsonText(Utf8(c.dir) + c.says)), std::string::npos) << check.out;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, W(kSettingsKey));
  }
  EXPECT_EQ(Text(ReadWindowsFile(Path(u"afile.txt"))), "not a folder");
}

// A printer whose driver does not ship the plug-in is refused before anything changes,
// naming the files its driver has; several printers are set up in one run, with or
// without a log directory.
TEST_F(Kit, SetupRefusesAPrinterWhoseDriverLacksThePluginAndSetsUpSeveral) {
  HANDLE room2 = AddKitPrinter(u"Plotter Room 2", u"Wide Format Kit Driver", true);
  HANDLE room3 = AddKitPrinter(u"Plotter Room 3", u"Wide Format Kit Driver", true);
  HANDLE plain = AddKitPrinter(u"Plain Plotter", u"Plain Plotter Driver", false);
  ASSERT_TRUE(room2 != nullptr && room3 != nullptr && plain != nullptr);
  for (const char16_t* mode : {u" --dry-run", u""}) {
    Result setup = RunKit(u"setup \"" + dir_ + u"\" --printer \"Plotter Room 2\" --printer \"Plain Plotter\"" +
                          mode + Server());
    EXPECT_EQ(setup.status, 2) << setup.out;
    EXPECT_EQ(setup.err,
              "spoolgate: --printer 'Plain Plotter': its driver 'Plain Plotter Driver' does not list spoolgate.dll "
              "among its files (it lists ruzoravu64.dll): the spooler would find no plug-in; install the driver "
              "package that ships it, then run setup again; nothing was changed\n");
  }
  EXPECT_EQ(PrinterValue(room2), u"") << "a refused setup set the first printer";
  EXPECT_FALSE(ReadRegistryValue(kSettingsKey, u"LogFileDirectory")) << "a refused setup wrote";
  EXPECT_FALSE(WindowsDirectoryExists(dir_)) << "a refused setup made the directory";

  Result setup = RunKit(u"setup \"" + dir_ + u"\" --printer \"Plotter Room 2\" --printer \"Plotter Room 3\"" + Server());
  EXPECT_EQ(setup.status, 0) << setup.out << setup.err;
  for (const char* room : {"2", "3"}) {
    std::string done = std::string("done   set SPLUserModePrinterDriver = spoolgate.dll for the printer 'Plotter Room ") +
                       room + "'\n";
    EXPECT_NE(setup.out.find(done), std::string::npos) << setup.out;
  }
  EXPECT_EQ(PrinterValue(room2), u"spoolgate.dll");
  EXPECT_EQ(PrinterValue(room3), u"spoolgate.dll");
  EXPECT_EQ(PrinterValue(plain), u"");
  // The printers alone: no directory step, no settings touched.
  WriteRegistryValue(kSettingsKey, u"MaxLogFileSize", REG_DWORD, Dword(77).data);
  HANDLE room4 = AddKitPrinter(u"Plotter Room 4", u"Wide Format Kit Driver", true);
  setup = RunKit(u"setup --printer \"Plotter Room 4\"" + Server());
  EXPECT_EQ(setup.status, 0) << setup.out << setup.err;
  EXPECT_EQ(setup.out,
            "done   set SPLUserModePrinterDriver = spoolgate.dll for the printer 'Plotter Room 4'\n"
            "installed; run spoolgate check\n");
  EXPECT_EQ(PrinterValue(room4), u"spoolgate.dll");
  EXPECT_EQ(ReadRegistryValue(kSettingsKey, u"MaxLogFileSize")->data, Dword(77).data);
  // Each --printer takes one name: a directory after it is the directory.
  Result after = RunKit(u"setup --printer \"Plotter Room 3\" \"" + dir_ + u"\" --dry-run" + Server());
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_NE(after.out.find("would  make the log directory " + Utf8(dir_)), std::string::npos) << after.out;
  EXPECT_NE(after.out.find("would  set SPLUserModePrinterDriver = spoolgate.dll for the printer 'Plotter Room 3'"),
            std::string::npos) << after.out;
  Result none = RunKit(u"setup" + Server());
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("name the log directory (DIR), or the printers to set up (--printer NAME)"),
            std::string::npos) << none.err;
}

// Every command a finding or setup tells the administrator to run does what it says
// when run as printed: the finding it answers is gone afterwards.
TEST_F(Kit, EveryCommandTheKitAdvisesWorksAsWritten) {
  const std::u16string accounting = u"C:\\Accounting";
  DeleteTree(accounting);
  struct Advice {
    const char* code;              // the finding
    std::function<void()> plant;   // what brings it about
    std::string command;           // the command it names, as written by hand
    std::function<void()> after;   // what the command must have done besides
  };
  HANDLE printer = nullptr;
  auto size = [](DWORD kib) {
    return [kib] { EXPECT_EQ(ReadRegistryValue(kSettingsKey, u"MaxLogFileSize")->data, Dword(kib).data); };
  };
  Advice advice[] = {
      {"settings-missing", [] {}, "spoolgate setup C:\\Accounting\\PrintLog", size(1024)},
      // Without MaxLogFileSize the plug-in uses 64 KiB: the command keeps it.
      {"directory-not-full-path", [this] { SetDirectory(u"PrintLog"); },
       "spoolgate setup \"C:\\Accounting\\PrintLog\" --max-size 64", size(64)},
      {"directory-missing",
       [this] {
         SetDirectory(dir_);
         WriteRegistryValue(kSettingsKey, u"MaxLogFileSize", REG_DWORD, Dword(4096).data);
       },
       "spoolgate setup \"" + Utf8(dir_) + "\" --max-size 4096", size(4096)},
      {"permissions-open",
       [this] {
         Install(dir_);
         GrantEveryone(dir_);
       },
       "spoolgate setup \"" + Utf8(dir_) + "\" --max-size 1024", size(1024)},
      {"printer-value-missing",
       [this, &printer] { printer = AddKitPrinter(u"Plotter Room 2", u"Wide Format Kit Driver", true); },
       "spoolgate setup --printer \"Plotter Room 2\"",
       [&printer] { EXPECT_EQ(PrinterValue(printer), u"spoolgate.dll"); }},
  };
  for (const Advice& a : advice) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, W(kSettingsKey));
    a.plant();
    Result check = RunKit(u"check --json" + Server());
    ASSERT_NE(check.out.find(std::string("\"code\": \"") + a.code + "\""), std::string::npos) << a.code << check.out;
    std::string text = RunKit(u"check" + Server()).out;
    std::vector<std::string> hints = Hints(text);
    ASSERT_NE(std::find(hints.begin(), hints.end(), a.command), hints.end()) << a.code << "\n" << text;
    Result run = RunHint(a.command);
    EXPECT_EQ(run.status, 0) << a.command << "\n" << run.out << run.err;
    a.after();
    check = RunKit(u"check --json" + Server());
    EXPECT_EQ(check.out.find(std::string("\"code\": \"") + a.code + "\""), std::string::npos) << a.code << check.out;
  }

  // setup --remove says how to keep accounting: the same directory and size again.
  SetDirectory(dir_);
  WriteRegistryValue(kSettingsKey, u"MaxLogFileSize", REG_DWORD, Dword(2048).data);
  Result remove = RunKit(u"setup --remove");
  ASSERT_EQ(remove.status, 0) << remove.out << remove.err;
  std::vector<std::string> hints = Hints(remove.out);
  ASSERT_EQ(hints, std::vector<std::string>{"spoolgate setup \"" + Utf8(dir_) + "\" --max-size 2048"}) << remove.out;
  EXPECT_EQ(RunHint(hints[0]).status, 0);
  EXPECT_EQ(ReadRegistryValue(kSettingsKey, u"LogFileDirectory")->data, Sz(dir_).data);
  EXPECT_EQ(ReadRegistryValue(kSettingsKey, u"MaxLogFileSize")->data, Dword(2048).data);
  // Without a directory to keep, the example of the guide.
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(kSettingsKey), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    RegDeleteValueW(key, L"LogFileDirectory");
    RegCloseKey(key);
  }
  remove = RunKit(u"setup --remove");
  hints = Hints(remove.out);
  ASSERT_EQ(hints, std::vector<std::string>{"spoolgate setup C:\\Accounting\\PrintLog"}) << remove.out;
  EXPECT_EQ(RunHint(hints[0]).status, 0);
  EXPECT_EQ(ReadRegistryValue(kSettingsKey, u"LogFileDirectory")->data, Sz(u"C:\\Accounting\\PrintLog").data);
  DeleteTree(accounting);
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
  // -o writes what standard output gets, byte for byte, whatever the shell would make of
  // it; a file the report reads is never its output.
  for (const char16_t* form : {u"show --csv --include-damaged", u"summary --json --sum value_252"}) {
    const std::u16string arguments = u"log " + std::u16string(form) + u" \"" + dir + u"\"";
    Result shown = RunKit(arguments);
    Result toFile = RunKit(arguments + u" -o " + kCompareRoot + u"\\written.out");
    EXPECT_EQ(toFile.status, 0) << Utf8(arguments) << toFile.err;
    EXPECT_EQ(toFile.out, "");
    EXPECT_EQ(Text(ReadWindowsFile(kCompareRoot + u"\\written.out")), shown.out) << Utf8(arguments);
  }
  Result refused = RunKit(u"log show \"" + dir + u"\" -o \"" + dir + u"\\Plotter.csv\"");
  EXPECT_EQ(refused.status, 2) << refused.err;
  EXPECT_NE(refused.err.find("is the input"), std::string::npos) << refused.err;
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
  for (const char16_t* doc : {u"accounting-database.md", u"accounting-log.md", u"deployment.md"}) {
    EXPECT_TRUE(ReadWindowsFile(ProgramDirectory() + u"\\" + doc)) << Utf8(doc) << " does not ship beside the program";
  }
}

}  // namespace
