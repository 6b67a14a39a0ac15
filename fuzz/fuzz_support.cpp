// SPDX-License-Identifier: Apache-2.0
// The fuzz targets' sandbox: made once under the temporary directory, removed at exit.
#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <filesystem>

namespace sgfuzz {

namespace {

std::string MakeRoot() {
  // In memory when the machine has it: the log library flushes every line it writes,
  // and a flush to disk would cost more than the rest of an input together.
  std::error_code ignored;
  std::filesystem::path dir = std::filesystem::is_directory("/dev/shm", ignored)
                                  ? std::filesystem::path("/dev/shm")
                                  : std::filesystem::temp_directory_path();
  std::string base = dir / "spoolgate-fuzz-XXXXXX";
  std::vector<char> pattern(base.begin(), base.end());
  pattern.push_back('\0');
  if (mkdtemp(pattern.data()) == nullptr) Fail("cannot create the sandbox root");
  std::string root = pattern.data();
  static std::string atExitRoot;
  atExitRoot = root;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(atExitRoot, ignored);
  });
  return root;
}

}  // namespace

const std::string& SandboxRoot() {
  static const std::string root = MakeRoot();
  return root;
}

void ResetSandbox() {
  const std::string& root = SandboxRoot();
  std::error_code ignored;
  // Only what an input made: the drive folders under the root.
  for (const auto& entry : std::filesystem::directory_iterator(root, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
  HostReset(root);
}

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace sgfuzz

// The shared sanitizer runtime comes after the C++ runtime in the programs' library
// list (the fuzzer's driver pulls that in first); the order does not matter here, as
// nothing is intercepted before main. Leaks are always looked for.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "verify_asan_link_order=0:detect_leaks=1";
}
