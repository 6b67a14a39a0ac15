// SPDX-License-Identifier: Apache-2.0
// Writing the command's output files through a unique temporary file beside the target,
// renamed over nothing or a regular file only, which keeps its permissions; devices,
// FIFOs, open descriptors and link targets are written through.
#include "tools/common/output_file.h"

#include "tools/common/errors.h"

namespace spoolgate {
namespace {

// The copy of standard input, removed at exit.
struct StandardInputCopy {
  std::string path;
  ~StandardInputCopy() {
    if (!path.empty()) {
      RemoveTemp(path);
      ForgetTemp(path);
    }
  }
};
StandardInputCopy g_stdinCopy;

constexpr int kStandardInput = 0;

}  // namespace

bool NamesStandardOutput(const std::string& path) { return DescriptorNamed(path) == 1; }

OutputFile::OutputFile(const std::string& path, const std::vector<std::string>& inputs)
    : path_(path) {
  FileFacts facts;
  const int named = DescriptorNamed(path);
  if (named >= 0) {
    // Following such a name leads to whatever the descriptor holds (a file appended to,
    // a pipe), which must neither be replaced nor created beside.
    if (!DescriptorFacts(named, facts)) throw InputError(path + ": " + LastErrorText());
    if (facts.directory) throw InputError(path + ": is a directory");
    target_ = path;
    if (facts.regular) identity_ = facts;
  } else {
    std::string why;
    target_ = FollowLinks(path, why);
    if (target_.empty()) throw InputError(path + ": " + why);
    if (!PathFacts(target_, facts)) throw InputError(path + ": " + LastErrorText());
    if (facts.directory) throw InputError(path + ": is a directory");
    exists_ = facts.exists;
    if (exists_) identity_ = facts;
  }
  for (const std::string& input : inputs) CheckNotInput(input);
  if (named >= 0) {
    fd_ = CopyDescriptor(named);
    if (fd_ < 0) throw InputError(path + ": " + LastErrorText());
    return;
  }
  if (exists_ && !facts.regular) {
    // A device or FIFO takes the bytes as they come; replacing it would harm the system.
    fd_ = OpenToWrite(target_);
    if (fd_ < 0) throw InputError(path + ": " + LastErrorText());
    return;
  }
  fd_ = CreateTemp(target_, ".", ".part", temp_);
  if (fd_ < 0) throw InputError(path + ": cannot create a temporary file beside it: " + LastErrorText());
  if (!TakePermissions(fd_, temp_, target_, exists_)) {
    // The destructor does not run for a constructor that throws.
    std::string reason = LastErrorText();
    CloseDescriptor(fd_);
    RemoveTemp(temp_);
    ForgetTemp(temp_);
    throw InputError(path + ": " + reason);
  }
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) CloseDescriptor(fd_);
  if (!temp_.empty()) {
    RemoveTemp(temp_);
    ForgetTemp(temp_);
  }
}

void OutputFile::CheckNotInput(const std::string& path) const {
  if (!identity_.hasId) return;
  // Standard input is the file behind it, whether read directly or through its copy.
  const bool standardInput = path == "-" || (!g_stdinCopy.path.empty() && path == g_stdinCopy.path);
  FileFacts input;
  if (!(standardInput ? DescriptorFacts(kStandardInput, input) : PathFacts(path, input))) return;
  if (SameFile(input, identity_)) {
    throw InputError(path_ + ": is the input " + path + "; choose another output");
  }
}

void OutputFile::Write(const void* data, size_t size) {
  if (buffer_.size() + size <= kBufferBytes) {
    const char* p = static_cast<const char*>(data);
    buffer_.insert(buffer_.end(), p, p + size);
    return;
  }
  Flush();
  if (size < kBufferBytes) {
    Write(data, size);
  } else {
    WriteOut(data, size);
  }
}

void OutputFile::Flush() {
  WriteOut(buffer_.data(), buffer_.size());
  buffer_.clear();
}

void OutputFile::WriteOut(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    long n = WriteSome(fd_, p, size);
    if (n <= 0) throw InputError(path_ + ": write failed: " + LastErrorText());
    p += n;
    size -= size_t(n);
  }
}

void OutputFile::Commit() {
  Flush();
  if (fd_ >= 0) {
    int fd = fd_;
    fd_ = -1;
    if (!CloseDescriptor(fd)) throw InputError(path_ + ": write failed: " + LastErrorText());
  }
  if (temp_.empty()) return;
  // Replace only what was there: a regular file. Anything that took its place since (a
  // link, a device) is left alone.
  if (exists_ && !StillRegular(target_)) {
    throw InputError(path_ + ": is no longer a regular file; nothing written");
  }
  switch (MoveTemp(temp_, target_, exists_)) {
    case MoveResult::kDone: break;
    case MoveResult::kTargetAppeared:
      throw InputError(path_ + ": appeared while it was written; nothing replaced");
    case MoveResult::kFailed: throw InputError(path_ + ": " + LastErrorText());
  }
  ForgetTemp(temp_);
  temp_.clear();
}

std::string InputPath(const std::string& given) {
  StandardInputCopy& copy = g_stdinCopy;
  if (given != "-") return given;
  if (!copy.path.empty()) return copy.path;
  int fd = CreateTemp("", "spoolgate-stdin-", ".tmp", copy.path);
  if (fd < 0) throw InputError("-: cannot copy standard input: " + LastErrorText());
  char buffer[1 << 16];
  for (;;) {
    long n = ReadSome(kStandardInput, buffer, sizeof buffer);
    if (n < 0) {
      std::string reason = LastErrorText();
      CloseDescriptor(fd);
      throw InputError("-: read error: " + reason);
    }
    if (n == 0) break;
    for (long done = 0; done < n;) {
      long w = WriteSome(fd, buffer + done, size_t(n - done));
      if (w <= 0) {
        std::string reason = LastErrorText();
        CloseDescriptor(fd);
        throw InputError("-: cannot copy standard input: " + reason);
      }
      done += w;
    }
  }
  if (!CloseDescriptor(fd)) throw InputError("-: cannot copy standard input: " + LastErrorText());
  return copy.path;
}

}  // namespace spoolgate
