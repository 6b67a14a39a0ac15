// SPDX-License-Identifier: Apache-2.0
// What a driver package relies on, on the real platform: the logging library is loaded
// only from beside the plug-in or from System32, both DLLs carry their version
// resources, and the example registry settings, imported with reg, are what the
// plug-in reads.
#include "tests/wine/wine_platform.h"

#include "logger/event_source.h"

#include <string>
#include <vector>

using namespace sgconf;
using namespace sgtest;

namespace {

const std::u16string kSettingsKey = u"SOFTWARE\\TALVOK\\PrintLog";

std::u16string SystemDirectory() {
  WCHAR buffer[MAX_PATH];
  UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);
}

void Copy(const std::u16string& from, const std::u16string& to) {
  ASSERT_TRUE(CopyFileW(W(from), W(to), FALSE)) << Utf8(from) << " -> " << Utf8(to);
}

// An accounting job through one copy of the plug-in.
void RunAccountingJob(const PluginExports& plugin, HANDLE printer, DWORD jobId) {
  HANDLE job = plugin.StartDoc(printer, jobId);
  ASSERT_NE(job, nullptr);
  for (Bytes block : {JobHeader(JOB_FLAG_ACCOUNTING), Data("page"), AsBytes(NewJobLog())}) {
    DWORD written = 0;
    plugin.WritePrinter(job, block.data(), static_cast<DWORD>(block.size()), &written);
  }
  plugin.EndDoc(job);
  plugin.Close(job);
}

// What one emission leaves in the recorder's file when the copy at path ran.
std::string RecordedEmission(const std::u16string& path) {
  std::string text;
  for (const char* event : {"load", "QenDrvLogInitializeInfo", "QenDrvLogFormatRecord",
                            "QenDrvLogFormatRecord", "QenDrvLogWriteRecord"}) {
    text += Utf8(path) + " " + event + "\n";
  }
  return text;
}

std::string Recorded(const std::u16string& file) {
  std::optional<Bytes> bytes = ReadWindowsFile(file);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// A copy of the plug-in alone in a directory of its own, run with a current directory
// and a PATH of the test's choosing; everything is put back when the test ends.
class PlantedLibrary : public ConformanceTest {
 protected:
  void SetUp() override {
    ConformanceTest::SetUp();
    for (const std::u16string& dir : {driver_, current_, onPath_}) MakeWindowsDirectory(dir);
    WCHAR buffer[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, buffer);
    savedCurrent_ = reinterpret_cast<const char16_t*>(buffer);
    std::vector<WCHAR> path(32767);
    DWORD n = GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size()));
    savedPath_.assign(reinterpret_cast<const char16_t*>(path.data()), n);
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", W(onPath_ + u";" + savedPath_)));
    ASSERT_TRUE(SetEnvironmentVariableW(L"SPOOLGATE_RECORDER_FILE", W(record_)));
    ASSERT_TRUE(SetCurrentDirectoryW(W(current_)));
    Copy(ProgramDirectory() + u"\\driver\\spoolgate.dll", driver_ + u"\\spoolgate.dll");
    copy_ = LoadLibraryW(W(driver_ + u"\\spoolgate.dll"));
    ASSERT_NE(copy_, nullptr);
    exports_ = FindExports(copy_);
    ASSERT_NE(exports_.StartDoc, plugin_.StartDoc) << "not a copy of its own";
  }
  void TearDown() override {
    if (copy_ != nullptr) FreeLibrary(copy_);
    SetCurrentDirectoryW(W(savedCurrent_));
    SetEnvironmentVariableW(L"PATH", W(savedPath_));
    SetEnvironmentVariableW(L"SPOOLGATE_RECORDER_FILE", nullptr);
    DeleteFileW(W(SystemDirectory() + u"\\ruzoravu64.dll"));
  }

  const std::u16string recorder_ = ProgramDirectory() + u"\\recorder\\ruzoravu64.dll";
  const std::u16string driver_ = Path(u"driver");
  const std::u16string current_ = Path(u"current");
  const std::u16string onPath_ = Path(u"on-path");
  const std::u16string record_ = Path(u"recorded.txt");
  std::u16string savedCurrent_, savedPath_;
  HMODULE copy_ = nullptr;
  PluginExports exports_{};
};

TEST_F(PlantedLibrary, CopiesOnThePathOrInTheCurrentDirectoryAreNeverLoaded) {
  Copy(recorder_, current_ + u"\\ruzoravu64.dll");
  Copy(recorder_, onPath_ + u"\\ruzoravu64.dll");
  RunAccountingJob(exports_, printer_, jobId_);
  EXPECT_EQ(Recorded(record_), "") << "a planted copy was loaded";

  // One in System32 is the fallback; one beside the plug-in comes before it.
  const std::u16string system = SystemDirectory() + u"\\ruzoravu64.dll";
  Copy(recorder_, system);
  RunAccountingJob(exports_, printer_, jobId_);
  EXPECT_EQ(Recorded(record_), RecordedEmission(system));
  ASSERT_TRUE(DeleteFileW(W(record_)));
  Copy(recorder_, driver_ + u"\\ruzoravu64.dll");
  RunAccountingJob(exports_, printer_, jobId_);
  EXPECT_EQ(Recorded(record_), RecordedEmission(driver_ + u"\\ruzoravu64.dll"));
}

class Deployment : public ConformanceTest {};

// The program too: the three files of one build carry one version.
TEST_F(Deployment, BothLibrariesCarryTheirVersionResource) {
  for (const std::u16string name : {u"spoolgate.dll", u"ruzoravu64.dll", u"spoolgate.exe"}) {
    SCOPED_TRACE(Utf8(name));
    const bool program = name == u"spoolgate.exe";
    std::u16string path = ProgramDirectory() + (program ? u"\\" : u"\\driver\\") + name;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(W(path), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(W(path), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    std::string version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                          std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                          std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                          std::to_string(LOWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(version, SPOOLGATE_VERSION);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, program ? DWORD{VFT_APP} : DWORD{VFT_DLL});

    auto text = [&](const std::u16string& key) {
      std::u16string block = u"\\StringFileInfo\\040904B0\\" + key;
      WCHAR* value = nullptr;
      UINT chars = 0;
      if (!VerQueryValueW(info.data(), W(block), reinterpret_cast<void**>(&value), &chars)) {
        return std::u16string(u"<missing>");
      }
      return std::u16string(reinterpret_cast<const char16_t*>(value));
    };
    EXPECT_EQ(text(u"FileVersion"), Utf16(SPOOLGATE_VERSION));
    EXPECT_EQ(text(u"ProductVersion"), Utf16(SPOOLGATE_VERSION));
    EXPECT_EQ(text(u"OriginalFilename"), name);
    EXPECT_EQ(text(u"ProductName"), u"spoolgate");
    EXPECT_EQ(text(u"CompanyName"), u"the spoolgate authors");
    // The name the file was built as, without its extension.
    EXPECT_EQ(text(u"InternalName"), name.substr(0, name.size() - 4));
    EXPECT_NE(text(u"FileDescription"), u"<missing>");
    EXPECT_NE(text(u"LegalCopyright"), u"<missing>");
  }
}

TEST_F(Deployment, ExampleRegistryFileSetsWhatThePluginReads) {
  // Imported as an installer would: reg import, the file as shipped under examples/.
  ASSERT_EQ(RunProgram(u"reg.exe import \"" + ProgramDirectory() + u"\\accounting-settings.reg\""), 0);

  const std::u16string directory = u"C:\\Accounting\\PrintLog";
  std::optional<RegistryValue> logDirectory = ReadRegistryValue(kSettingsKey, u"LogFileDirectory");
  ASSERT_TRUE(logDirectory);
  EXPECT_EQ(logDirectory->type, DWORD{REG_SZ});
  EXPECT_EQ(logDirectory->data, Utf16Bytes(directory, true));

  JobLogRecord log = NewJobLog();
  SetText(log.leadingText, u"Plotter");
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ACCOUNTING), Data("page"), AsBytes(log)});
  EndAndClose(job);
  std::optional<Bytes> written = ReadWindowsFile(directory + u"\\Plotter.csv");
  DeleteTree(u"C:\\Accounting");
  ASSERT_TRUE(written) << "the job's line is not in the directory the settings name";
  EXPECT_NE(std::string(written->begin(), written->end()).find("\r\n1,"), std::string::npos);

  // Both values were read as they were imported, so neither default was written back.
  std::optional<RegistryValue> maxSize = ReadRegistryValue(kSettingsKey, u"MaxLogFileSize");
  ASSERT_TRUE(maxSize);
  EXPECT_EQ(maxSize->type, Dword(1024).type);
  EXPECT_EQ(maxSize->data, Dword(1024).data);
  EXPECT_EQ(ReadRegistryValue(kSettingsKey, u"LogFileDirectory")->data, logDirectory->data);
}

}  // namespace

namespace {

// The event viewer's view of one event of ours: the text the message file gives the
// event identifier, with the event's three strings put in.
std::u16string EventText(const std::u16string& messageFile, DWORD eventId,
                         const std::u16string& logPath, const std::u16string& line,
                         const std::u16string& reason) {
  HMODULE module = LoadLibraryExW(W(messageFile), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return u"<cannot load " + messageFile + u">";
  DWORD_PTR strings[3] = {reinterpret_cast<DWORD_PTR>(W(logPath)), reinterpret_cast<DWORD_PTR>(W(line)),
                          reinterpret_cast<DWORD_PTR>(W(reason))};
  WCHAR text[4096];
  DWORD chars = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                               eventId, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 4096,
                               reinterpret_cast<va_list*>(strings));
  FreeLibrary(module);
  return chars == 0 ? u"<no text for " + Utf16(std::to_string(eventId)) + u">"
                    : std::u16string(reinterpret_cast<const char16_t*>(text), chars);
}

}  // namespace

TEST_F(Deployment, ExampleEventSourceShowsTheLibrarysTextOfEachEvent) {
  ASSERT_EQ(RunProgram(u"reg.exe import \"" + ProgramDirectory() + u"\\event-source.reg\""), 0);
  const std::u16string key =
      u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ruzoravu64";
  std::optional<RegistryValue> file = ReadRegistryValue(key, u"EventMessageFile");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->type, DWORD{REG_EXPAND_SZ});
  // Where the example points, as the event viewer expands it: the driver directory.
  WCHAR expanded[MAX_PATH];
  std::u16string stored(reinterpret_cast<const char16_t*>(file->data.data()), file->data.size() / 2 - 1);
  DWORD n = ExpandEnvironmentStringsW(W(stored), expanded, MAX_PATH);
  ASSERT_GT(n, 1u);
  std::u16string messageFile(reinterpret_cast<const char16_t*>(expanded), n - 1);
  std::u16string driverDir = messageFile.substr(0, messageFile.rfind(u'\\'));
  MakeWindowsDirectory(driverDir);
  Copy(ProgramDirectory() + u"\\driver\\ruzoravu64.dll", messageFile);
  std::u16string text = EventText(messageFile, LOG_EVENT_LINE_LOST, u"C:\\Logs\\Jobs.csv", u"7,2,2,1,x",
                                  u"error 112: There is not enough space on the disk.");
  DeleteFileW(W(messageFile));
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, W(key));
  EXPECT_NE(text.find(u"could be stored neither in the log C:\\Logs\\Jobs.csv nor in its pending file "
                      u"(error 112: There is not enough space on the disk.)"),
            std::u16string::npos) << Utf8(text);
  EXPECT_NE(text.find(u"The line:\r\n7,2,2,1,x"), std::u16string::npos) << Utf8(text);
}
