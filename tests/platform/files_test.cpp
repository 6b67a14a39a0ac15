// SPDX-License-Identifier: Apache-2.0
// Files, directories and byte-range locks of the host layer, checked
// against what Windows does: dispositions and their last errors, share-mode conflicts
// (the archive and overlay patterns), CreateDirectoryW's error codes, file pointers,
// fault injection, lock conflicts between handles and mutexes between threads/processes.
#include "platform/host/host_tools.h"
#include "tests/platform/host_test.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr DWORD kSentinel = 0xDEADBEEF;
constexpr DWORD kErrorNotLocked = 158;
constexpr DWORD kErrorBadNetName = 67;

class FilesTest : public HostTest {
 protected:
  HANDLE Open(const char16_t* path, DWORD access, DWORD share, DWORD disposition,
              DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    SetLastError(kSentinel);
    return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
  }
  static bool Write(HANDLE file, const std::string& text) {
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return ok && written == text.size();
  }
  std::string Contents(const std::string& rel) const {
    std::ifstream in(root_ + "/" + rel, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  void Put(const std::string& rel, const std::string& text) const {
    fs::create_directories(fs::path(root_ + "/" + rel).parent_path());
    std::ofstream(root_ + "/" + rel, std::ios::binary) << text;
  }
};

// --- dispositions -----------------------------------------------------------------------

TEST_F(FilesTest, DispositionsSetTheLastErrorsWindowsSets) {
  HANDLE h = Open(u"C:\\missing.txt", GENERIC_READ, 0, OPEN_EXISTING);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  h = Open(u"C:\\missing.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  h = Open(u"C:\\NoDir\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  h = Open(u"", GENERIC_READ, 0, OPEN_EXISTING);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  h = Open(u"C:\\a.txt", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(Write(h, "first"));
  CloseHandle(h);
  EXPECT_EQ(Open(u"C:\\a.txt", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  // OPEN_ALWAYS keeps the contents and says the file was there.
  h = Open(u"C:\\a.txt", GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(h);
  EXPECT_EQ(Contents("C/a.txt"), "first");
  h = Open(u"C:\\b.txt", GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);

  // CREATE_ALWAYS empties it, also saying it was there.
  h = Open(u"C:\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(h);
  EXPECT_EQ(Contents("C/a.txt"), "");
  h = Open(u"C:\\c.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);

  Put("C/t.txt", "to be cut");
  h = Open(u"C:\\t.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);
  EXPECT_EQ(Contents("C/t.txt"), "");
}

TEST_F(FilesTest, TheCallRecordSeesEachCallAndLeavesTheLastErrorAlone) {
  struct Seen {
    std::string function;
    std::u16string name;
    std::string bytes;
    bool failed;
    DWORD error;
  };
  std::vector<Seen> seen;
  HostSetCallSink(
      [](const HostCall& call, void* into) {
        static_cast<std::vector<Seen>*>(into)->push_back(
            {call.function, call.name ? call.name : u"",
             call.data ? std::string(static_cast<const char*>(call.data), call.size) : "",
             call.failed, call.error});
        SetLastError(0);  // a sink that disturbs the last error must not show
      },
      &seen);
  HANDLE file = Open(u"C:\\r.txt", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Write(file, "abc"));
  CloseHandle(file);
  EXPECT_EQ(Open(u"C:\\r.txt", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  file = Open(u"C:\\r.txt", GENERIC_READ, 0, OPEN_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(file);
  HostSetCallSink(nullptr, nullptr);
  Open(u"C:\\r.txt", GENERIC_READ, 0, OPEN_EXISTING);  // not recorded any more

  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0].function, "CreateFileW");
  EXPECT_EQ(seen[0].name, u"C:\\r.txt");
  EXPECT_EQ(seen[1].function, "WriteFile");
  EXPECT_EQ(seen[1].bytes, "abc");
  EXPECT_EQ(seen[2].function, "CloseHandle");
  EXPECT_TRUE(seen[3].failed);
  EXPECT_EQ(seen[3].error, static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_FALSE(seen[4].failed);
  EXPECT_EQ(seen[4].error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST_F(FilesTest, DirectoriesAndUnsupportedArgumentsAreRefused) {
  EXPECT_EQ(Open(u"C:\\Windows", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Open(u"C:\\Windows", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  const DWORD kFlagOverlapped = 0x40000000;
  EXPECT_EQ(Open(u"C:\\x", GENERIC_WRITE, 0, CREATE_ALWAYS, kFlagOverlapped), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Open(u"C:\\x", GENERIC_WRITE, 0, 6), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Open(u"C:\\x", GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(fs::exists(root_ + "/C/x"));

  fs::create_directories(root_ + "/UNC/srv");
  EXPECT_EQ(Open(u"\\\\srv\\noshare\\x", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), kErrorBadNetName);
}

// --- share modes ---------------------------------------------------------------------------

// An archive file is held with read sharing only; another job's existence test asks for
// read access while letting others only read, which conflicts with the open write access.
TEST_F(FilesTest, ArchiveWriterBlocksAnExistenceTest) {
  HANDLE writer = Open(u"C:\\Jobs.RUD", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                       OPEN_ALWAYS, FILE_FLAG_RANDOM_ACCESS);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(u"C:\\Jobs.RUD", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                 FILE_FLAG_SEQUENTIAL_SCAN),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // A second writer is refused too, even one that shares everything.
  EXPECT_EQ(Open(u"C:\\jobs.rud", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  // A reader that lets others write may come in beside it.
  HANDLE reader = Open(u"C:\\Jobs.RUD", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_TRUE(CloseHandle(writer));

  HANDLE test = Open(u"C:\\Jobs.RUD", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(test, INVALID_HANDLE_VALUE);
  CloseHandle(test);
}

// An overlay is recorded and copied without sharing: nobody else opens it meanwhile,
// and a CREATE_ALWAYS that is refused must not empty it.
TEST_F(FilesTest, UnsharedOverlayExcludesEveryOtherOpenAndStaysIntact) {
  HANDLE recorder = Open(u"C:\\ovl.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(recorder, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(recorder, "overlay body"));
  EXPECT_EQ(Open(u"C:\\ovl.bin", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Open(u"C:\\ovl.bin", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Open(u"C:\\ovl.bin", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                 TRUNCATE_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(Contents("C/ovl.bin"), "overlay body");
  CloseHandle(recorder);

  HANDLE copier = Open(u"C:\\ovl.bin", GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(copier, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(u"C:\\ovl.bin", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(copier);
  EXPECT_EQ(Contents("C/ovl.bin"), "overlay body");
}

TEST_F(FilesTest, RenameAndDeleteRespectOpenHandles) {
  Put("C/a.txt", "A");
  Put("C/b.txt", "B");
  EXPECT_FALSE(MoveFileExW(u"C:\\a.txt", u"C:\\b.txt", 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(MoveFileExW(u"C:\\a.txt", u"C:\\b.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(Contents("C/b.txt"), "A");
  EXPECT_FALSE(fs::exists(root_ + "/C/a.txt"));
  EXPECT_FALSE(MoveFileExW(u"C:\\a.txt", u"C:\\c.txt", 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(MoveFileExW(u"C:\\b.txt", u"C:\\B.TXT", 0));  // a change of case
  EXPECT_TRUE(fs::exists(root_ + "/C/B.TXT"));
  EXPECT_FALSE(fs::exists(root_ + "/C/b.txt"));

  HANDLE held = Open(u"C:\\B.TXT", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(MoveFileExW(u"C:\\B.TXT", u"C:\\d.txt", 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(held);

  // A target anyone holds open is not replaced, even when every handle shares delete.
  Put("C/new.txt", "N");
  HANDLE target = Open(u"C:\\B.TXT", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       OPEN_EXISTING);
  ASSERT_NE(target, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(MoveFileExW(u"C:\\new.txt", u"C:\\B.TXT", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(target);
  EXPECT_TRUE(MoveFileExW(u"C:\\new.txt", u"C:\\B.TXT", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(Contents("C/B.TXT"), "N");

  fs::create_directories(root_ + "/D");
  Put("C/e.txt", "E");
  EXPECT_FALSE(MoveFileExW(u"C:\\e.txt", u"D:\\e.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), 17u);  // ERROR_NOT_SAME_DEVICE
}

// --- reading, writing, the file pointer ----------------------------------------------------

TEST_F(FilesTest, FilePointerMovesLikeWindows) {
  HANDLE h = Open(u"C:\\p.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(h, "0123456789"));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), 0u);
  ASSERT_TRUE(Write(h, "ab"));
  EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 7u);
  EXPECT_EQ(SetFilePointer(h, 1, nullptr, FILE_CURRENT), 8u);
  char buffer[16] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "89");
  EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));  // end of file
  EXPECT_EQ(read, 0u);

  // Before the start: refused, and the pointer stays.
  SetLastError(kSentinel);
  EXPECT_EQ(SetFilePointer(h, -11, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 10u);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, 3), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // 64-bit positions through the high part; without it, beyond 4 GiB is refused.
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(h, 10, &high, FILE_BEGIN), 10u);
  EXPECT_EQ(high, 1);
  LARGE_INTEGER where{};
  LARGE_INTEGER zero{};
  EXPECT_TRUE(SetFilePointerEx(h, zero, &where, FILE_CURRENT));
  EXPECT_EQ(where.QuadPart, 0x10000000ALL);
  EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(h, 0x7FFFFFFF, nullptr, FILE_BEGIN), 0x7FFFFFFFu);
  SetLastError(kSentinel);
  EXPECT_EQ(SetFilePointer(h, 0x7FFFFFFF, nullptr, FILE_CURRENT), 0xFFFFFFFEu);
  EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetFilePointer(h, 1, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), 0u);  // a real position whose low part looks like failure

  // SetEndOfFile cuts at the pointer.
  EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
  EXPECT_TRUE(SetEndOfFile(h));
  LARGE_INTEGER size{};
  EXPECT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 4);
  EXPECT_TRUE(FlushFileBuffers(h));
  CloseHandle(h);
  EXPECT_EQ(Contents("C/p.bin"), "ab23");
}

TEST_F(FilesTest, HandlesCheckAccessAndValidity) {
  Put("C/r.txt", "read me");
  HANDLE reader = Open(u"C:\\r.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  DWORD written = kSentinel;
  EXPECT_FALSE(WriteFile(reader, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(SetEndOfFile(reader));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  OVERLAPPED overlapped{};
  char c;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(reader, &c, 1, &read, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  HANDLE writer = Open(u"C:\\w.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ReadFile(writer, &c, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(HostOpenHandleCount(), 2u);

  alignas(8) uint64_t junk = 0x1234567812345678ULL;
  for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                     static_cast<HANDLE>(&junk), reinterpret_cast<HANDLE>(0x1234)}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(bad, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_FALSE(CloseHandle(reader));  // closed twice
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(ReadFile(reader, &c, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseHandle(writer));
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

TEST_F(FilesTest, AFullDeviceFailsTheWriteWithDiskFull) {
  fs::create_symlink("/dev/full", root_ + "/C/full");
  HANDLE h = Open(u"C:\\full", GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = kSentinel;
  EXPECT_FALSE(WriteFile(h, "data", 4, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(written, 0u);
  CloseHandle(h);
}

// --- directories ---------------------------------------------------------------------------

TEST_F(FilesTest, CreateDirectoryGivesWindowsErrorCodes) {
  auto expectFail = [](const char16_t* path, DWORD error) {
    SetLastError(kSentinel);
    EXPECT_FALSE(CreateDirectoryW(path, nullptr)) << "path " << fs::path(path).string();
    EXPECT_EQ(GetLastError(), error) << "path " << fs::path(path).string();
  };
  EXPECT_TRUE(CreateDirectoryW(u"C:\\New", nullptr));
  expectFail(u"C:\\New", ERROR_ALREADY_EXISTS);
  expectFail(u"c:\\NEW\\", ERROR_ALREADY_EXISTS);  // trailing backslash, other case
  EXPECT_TRUE(CreateDirectoryW(u"C:\\Other\\", nullptr));
  EXPECT_TRUE(fs::is_directory(root_ + "/C/Other"));
  expectFail(u"C:\\Missing\\Sub", ERROR_PATH_NOT_FOUND);
  expectFail(u"", ERROR_PATH_NOT_FOUND);
  expectFail(u"C:\\", ERROR_ACCESS_DENIED);
  expectFail(u"\\", ERROR_ACCESS_DENIED);
  expectFail(u"Q:\\", ERROR_PATH_NOT_FOUND);  // no such drive
  // "C:" is the current directory of drive C, which exists.
  expectFail(u"C:", ERROR_ALREADY_EXISTS);
  HostSetCurrentDirectory(u"D:\\");
  expectFail(u"C:", ERROR_ACCESS_DENIED);  // now the root of C
  Put("C/file.txt", "x");
  expectFail(u"C:\\file.txt", ERROR_ALREADY_EXISTS);
  expectFail(u"C:\\file.txt\\sub", ERROR_PATH_NOT_FOUND);

  // The NT form of the path may not exceed 248 characters.
  std::u16string longPath = u"C:\\" + std::u16string(241, u'd');  // 244 + "\??\"
  EXPECT_TRUE(CreateDirectoryW(longPath.c_str(), nullptr));
  longPath += u'x';
  expectFail(longPath.c_str(), ERROR_FILENAME_EXCED_RANGE);

  // The walk an archive directory is created by: every prefix in turn.
  expectFail(u"C:", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CreateDirectoryW(u"C:\\Jobs", nullptr));
  EXPECT_TRUE(CreateDirectoryW(u"C:\\Jobs\\2024", nullptr));
  EXPECT_EQ(GetFileAttributesW(u"C:\\Jobs\\2024"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(u"C:\\Jobs\\none"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(u"C:\\None\\none"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(u"C:\\file.txt") & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// The searches and error texts the logging library uses: wildcards ignoring case, the
// errors at the ends of a search, and texts in the caller's buffer only.
TEST_F(FilesTest, DirectorySearchesAndErrorTextsAnswerAsWindowsDoes) {
  Put("C/Logs/Jobs-20261207-221537Z.csv", "a");
  Put("C/Logs/jobs-20261208-000000Z-2.CSV", "bc");
  Put("C/Logs/Jobs.csv", "d");
  std::vector<std::u16string> found;
  WIN32_FIND_DATAW item;
  HANDLE search = FindFirstFileW(u"C:\\Logs\\Jobs-*.csv", &item);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do found.emplace_back(reinterpret_cast<const char16_t*>(item.cFileName)); while (FindNextFileW(search, &item));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::u16string>{u"Jobs-20261207-221537Z.csv", u"jobs-20261208-000000Z-2.CSV"}));
  EXPECT_TRUE(FindClose(search));
  SetLastError(kSentinel);
  EXPECT_FALSE(FindClose(search));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(FindFirstFileW(u"C:\\Logs\\Other-*.csv", &item), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(FindFirstFileW(u"C:\\Missing\\*", &item), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  WCHAR text[64];
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  EXPECT_EQ(FormatMessageW(flags, nullptr, ERROR_ACCESS_DENIED, 0, text, 64, nullptr), 19u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text)), u"Access is denied.\r\n");
  SetLastError(kSentinel);
  EXPECT_EQ(FormatMessageW(flags, nullptr, ERROR_ACCESS_DENIED, 0, text, 19, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(FormatMessageW(flags, nullptr, 0xFFFFu, 0, text, 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

TEST_F(FilesTest, SymbolicLinksAreReparsePointsAndALinkToNothingMakesItsTarget) {
  fs::create_directories(root_ + "/C/Target");
  fs::create_directory_symlink(root_ + "/C/Target", root_ + "/C/Junction");
  fs::create_symlink(root_ + "/C/Target/made.txt", root_ + "/C/link.txt");
  EXPECT_EQ(GetFileAttributesW(u"C:\\Junction"),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_TRUE(GetFileAttributesW(u"C:\\link.txt") & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(GetFileAttributesW(u"C:\\Target"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  // Opening a link that leads to nothing creates the file it leads to (and returns).
  HANDLE file = Open(u"C:\\link.txt", GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Write(file, "x"));
  CloseHandle(file);
  EXPECT_EQ(Contents("C/Target/made.txt"), "x");
}

// --- fault injection -----------------------------------------------------------------------

TEST_F(FilesTest, InjectedFaultsFailTheChosenCalls) {
  HANDLE h = Open(u"C:\\f.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HostFailNth(HostOp::WriteFile, 2, ERROR_DISK_FULL);
  EXPECT_TRUE(Write(h, "one."));
  DWORD written = kSentinel;
  EXPECT_FALSE(WriteFile(h, "two.", 4, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(Write(h, "three."));
  EXPECT_EQ(HostCallCount(HostOp::WriteFile), 3u);
  CloseHandle(h);
  EXPECT_EQ(Contents("C/f.bin"), "one.three.");

  HostFailNth(HostOp::CreateFile, 1, ERROR_ACCESS_DENIED, true);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Open(u"C:\\g.bin", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_FALSE(fs::exists(root_ + "/C/g.bin"));
  HostClearFaults();
  h = Open(u"C:\\g.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  HostFailNth(HostOp::CreateDirectory, 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CreateDirectoryW(u"C:\\Dir", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CreateDirectoryW(u"C:\\Dir", nullptr));
}

// A power cut keeps what a flush made durable: the writes after it are dropped, or torn
// at the first sector boundary past the first changed byte; a file created but never
// flushed stays, empty when its writes are dropped.
TEST_F(FilesTest, APowerLossKeepsOnlyWhatWasFlushedOrTearsItAtASector) {
  for (bool torn : {false, true}) {
    SCOPED_TRACE(torn ? "torn" : "dropped");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      HostPowerLossNth(HostOp::CreateFile, 3, torn);
      HANDLE h = Open(u"C:\\p.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
      HANDLE fresh = Open(u"C:\\q.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
      bool ok = Write(h, std::string(600, 'a')) && FlushFileBuffers(h) &&
                SetFilePointer(h, 100, nullptr, FILE_BEGIN) == 100 && Write(h, std::string(1000, 'b')) &&
                Write(fresh, "never flushed");
      Open(u"C:\\r.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), HOST_CRASH_EXIT_STATUS);
    std::string kept = torn ? std::string(100, 'a') + std::string(412, 'b') + std::string(88, 'a')
                            : std::string(600, 'a');
    EXPECT_EQ(Contents("C/p.bin"), kept);
    // Its whole unflushed write lies in the first sector: torn, that sector landed.
    EXPECT_EQ(Contents("C/q.bin"), torn ? "never flushed" : "");
    EXPECT_FALSE(fs::exists(root_ + "/C/r.bin"));
  }
}

// A write torn at a later sector boundary keeps the new bytes up to it: the second
// boundary past the first change of a 1,000-byte write at 100 is 1,024, and the third
// (1,536) lies past every new byte, which a sweep learns from the exit status.
TEST_F(FilesTest, APowerLossTearsAWriteAtTheSectorBoundaryAsked) {
  struct Case {
    unsigned tearAt;
    int status;
    std::string kept;
  };
  const Case cases[] = {
      {1, HOST_CRASH_EXIT_STATUS, std::string(100, 'a') + std::string(412, 'b') + std::string(688, 'a')},
      {2, HOST_CRASH_EXIT_STATUS, std::string(100, 'a') + std::string(924, 'b') + std::string(176, 'a')},
      {3, HOST_TEAR_PAST_END_EXIT_STATUS, std::string(100, 'a') + std::string(1000, 'b') + std::string(100, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("boundary " + std::to_string(c.tearAt));
    Put("C/p.bin", std::string(1200, 'a'));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      HANDLE h = Open(u"C:\\p.bin", GENERIC_WRITE, 0, OPEN_EXISTING);
      HostPowerLossNth(HostOp::FlushFile, 1, true, c.tearAt);
      bool ok = SetFilePointer(h, 100, nullptr, FILE_BEGIN) == 100 && Write(h, std::string(1000, 'b'));
      FlushFileBuffers(h);
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    EXPECT_EQ(Contents("C/p.bin"), c.kept);
  }
}

// --- byte-range locks ----------------------------------------------------------------------

TEST_F(FilesTest, ByteRangeLocksExcludeOtherHandles) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE a = Open(u"C:\\log.txt", GENERIC_READ | GENERIC_WRITE, share, OPEN_ALWAYS);
  HANDLE b = Open(u"C:\\log.txt", GENERIC_READ | GENERIC_WRITE, share, OPEN_ALWAYS);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  OVERLAPPED at0{};
  OVERLAPPED at5{};
  at5.Offset = 5;
  OVERLAPPED at10{};
  at10.Offset = 10;
  const DWORD exclusiveNow = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;

  EXPECT_TRUE(LockFileEx(a, exclusiveNow, 0, 10, 0, &at0));
  EXPECT_FALSE(LockFileEx(b, exclusiveNow, 0, 1, 0, &at5));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
  EXPECT_FALSE(LockFileEx(b, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at5));  // shared too
  EXPECT_TRUE(LockFileEx(b, exclusiveNow, 0, 10, 0, &at10));  // next to it
  // The same handle may not lock over its own exclusive range.
  EXPECT_FALSE(LockFileEx(a, exclusiveNow, 0, 1, 0, &at5));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
  // Unlocking needs the exact range.
  EXPECT_FALSE(UnlockFileEx(a, 0, 5, 0, &at0));
  EXPECT_EQ(GetLastError(), kErrorNotLocked);

  // A waiting lock is granted when the holder lets go.
  std::atomic<bool> granted{false};
  std::thread waiter([&] {
    granted = LockFileEx(b, LOCKFILE_EXCLUSIVE_LOCK, 0, 10, 0, &at0) == TRUE;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(granted.load());
  EXPECT_TRUE(UnlockFileEx(a, 0, 10, 0, &at0));
  waiter.join();
  EXPECT_TRUE(granted.load());
  EXPECT_FALSE(LockFileEx(a, exclusiveNow, 0, 10, 0, &at0));

  // Closing a handle drops its locks.
  CloseHandle(b);
  EXPECT_TRUE(LockFileEx(a, exclusiveNow, 0, 20, 0, &at0));
  CloseHandle(a);
}

}  // namespace
