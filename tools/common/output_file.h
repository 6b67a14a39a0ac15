// SPDX-License-Identifier: Apache-2.0
// Output files of the spoolgate command, written so that nothing the user has is lost:
// a regular file is replaced only once its new content is complete, anything else
// (a device, a FIFO, a symbolic link's target) is written through, an input is never
// the output, and an interrupted command leaves no temporary file behind.
#pragma once

#include "tools/common/file_system.h"

#include <cstddef>
#include <string>
#include <vector>

namespace spoolgate {

// One file the command writes; "-" is standard output, and a name of a descriptor the
// command has open (/dev/stdout, /dev/fd/N) is written through. Every fault throws InputError
// naming the file. Destroying it without Commit() drops what was written (a regular
// file keeps its old content; a device or FIFO has already received the bytes).
class OutputFile {
 public:
  // Refuses an output that is one of the inputs (same device and inode, whatever the
  // name or link it is reached by) or a directory.
  OutputFile(const std::string& path, const std::vector<std::string>& inputs);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Buffered; a fault shows here or in Commit().
  void Write(const void* data, size_t size);
  // Completes the file: a regular file is renamed over the target, which is then either
  // absent or the regular file it was (its permissions are kept).
  void Commit();
  // Throws InputError when the file at path is this output (an input discovered late,
  // such as a data file a job description names).
  void CheckNotInput(const std::string& path) const;
  const std::string& Path() const { return path_; }

 private:
  static constexpr size_t kBufferBytes = 64 * 1024;
  void Flush();
  void WriteOut(const void* data, size_t size);

  std::string path_;    // as given, for messages
  std::string target_;  // where the content ends up, links followed
  std::string temp_;    // the unique temporary file beside the target, if any
  int fd_ = -1;
  bool exists_ = false;  // the target was there when the output was opened
  FileFacts identity_;   // of the target or the descriptor written through
  std::vector<char> buffer_;
};

// Whether an output name is standard output ("-", /dev/stdout, /dev/fd/1, ...), where
// a report then gives way to the output and goes to standard error.
bool NamesStandardOutput(const std::string& path);

// The file to read for an input named "-": standard input, copied once to a temporary
// file (removed when the command ends) for the commands that read an input twice or need
// its size; any other name is returned as it is.
std::string InputPath(const std::string& given);

}  // namespace spoolgate
