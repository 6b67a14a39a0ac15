// SPDX-License-Identifier: Apache-2.0
// The system's part of the command's output files, one small implementation a platform
// (posix_file_system.cpp, win_file_system.cpp); output_file.cpp keeps the promises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace spoolgate {

// What a name or descriptor leads to. id is the same for every name and link of one file
// (device and inode, or volume and file index); hasId where the system gives one (on
// Windows a file on a disk).
struct FileFacts {
  bool exists = false;
  bool directory = false;
  bool regular = false;  // else a device, a FIFO, a console
  bool hasId = false;
  uint64_t volume = 0, index = 0;
};
inline bool SameFile(const FileFacts& a, const FileFacts& b) {
  return a.hasId && b.hasId && a.volume == b.volume && a.index == b.index;
}

// The text of the last failed system call.
std::string LastErrorText();

// The descriptor a name stands for when it names one this process already has open ("-"
// is standard output); -1 for any other name.
int DescriptorNamed(const std::string& path);
// A copy of an open descriptor (sharing its position and append mode), ready for bytes.
int CopyDescriptor(int fd);
bool DescriptorFacts(int fd, FileFacts& facts);
// Facts of a path, links followed: true with exists false when nothing is there, false
// for any other fault.
bool PathFacts(const std::string& path, FileFacts& facts);
// The file a name finally refers to, every symbolic link on the way followed; empty, with
// the reason in why, when the link cannot be followed.
std::string FollowLinks(const std::string& path, std::string& why);

// Opens an existing device or FIFO to write through it.
int OpenToWrite(const std::string& path);
// A new file of a unique name in the folder of beside (the temporary folder when beside is
// empty), made from prefix and suffix, removed by Ctrl-C (or SIGTERM, SIGHUP) until
// ForgetTemp; -1 on failure.
int CreateTemp(const std::string& beside, const std::string& prefix, const std::string& suffix,
               std::string& made);
// Gives the new file temp the permissions of the regular file target it is to replace,
// or those a new file gets where target is not there.
bool TakePermissions(int fd, const std::string& temp, const std::string& target, bool replacing);
// Bytes written, or -1.
long WriteSome(int fd, const void* data, size_t size);
// Bytes read, 0 at the end, or -1.
long ReadSome(int fd, void* data, size_t size);
bool CloseDescriptor(int fd);
// Whether the name is still a regular file (no link, device or folder took its place).
bool StillRegular(const std::string& path);
enum class MoveResult { kDone, kTargetAppeared, kFailed };
// Renames temp to target, over target only when replacing.
MoveResult MoveTemp(const std::string& temp, const std::string& target, bool replacing);
void RemoveTemp(const std::string& temp);
void ForgetTemp(const std::string& temp);

// A file without a name in the temporary folder, for bytes that do not fit in memory: it
// is gone when closed or when the process ends, however it ends. nullptr on failure
// (LastErrorText says why).
std::FILE* OpenScratchFile();

}  // namespace spoolgate
