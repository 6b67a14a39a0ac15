// SPDX-License-Identifier: Apache-2.0
// Runs the built spoolgate command in a child process and collects what a user sees:
// exit status, standard output and error, and the child's peak memory.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace sgtest {

struct CliResult {
  int status = -1;  // exit status; -1 when the command did not exit normally (a crash)
  std::string out, err;
  long maxRssKib = 0;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Starts the command in dir with its output in dir/cli.out and dir/cli.err.
inline pid_t StartCli(const std::vector<std::string>& args, const std::string& dir) {
  std::string outPath = dir + "/cli.out", errPath = dir + "/cli.err";
  pid_t pid = fork();
  if (pid == 0) {
    FILE* o = std::freopen(outPath.c_str(), "w", stdout);
    FILE* e = std::freopen(errPath.c_str(), "w", stderr);
    if (o == nullptr || e == nullptr || chdir(dir.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    std::string cli = SPOOLGATE_CLI;
    argv.push_back(cli.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(cli.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for a command StartCli started; -1 as status when a signal ended it.
inline CliResult WaitCli(pid_t pid, const std::string& dir) {
  CliResult r;
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.maxRssKib = usage.ru_maxrss;
  r.out = Slurp(dir + "/cli.out");
  r.err = Slurp(dir + "/cli.err");
  return r;
}

inline CliResult RunCli(const std::vector<std::string>& args, const std::string& dir) {
  return WaitCli(StartCli(args, dir), dir);
}

// A fresh directory under the system's temporary directory, removed by the destructor.
struct TempDir {
  std::string path;
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "spoolgate-tool-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(path + "/" + name, std::ios::binary) << text;
  }
};

}  // namespace sgtest
