// SPDX-License-Identifier: Apache-2.0
// Runs the built spoolgate command in a child process and collects what a user sees:
// exit status, standard output and error, and the child's peak memory.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/logread/csv_lines.h"

#include <cstdio>
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

// The columns of a log written by WriteLogLines: a line gives them from time_stamp on.
constexpr const char* kLogLineColumns = "sequence,level,format,content_flags,time_stamp,computer,user,document,printer,"
                                        "port,text_200,text_216,text_240,value_248,value_252,value_256,crc32";
// A log "Jobs" in dir of one line a job, numbered from 1, each with its checksum: a
// job's fields are "time_stamp,computer,user,document,printer,port,text_200,text_216,
// text_240,value_248,value_252,value_256".
inline void WriteLogLines(const TempDir& dir, const std::vector<std::string>& jobs) {
  std::string text = std::string(kLogLineColumns) + "\r\n";
  for (size_t i = 0; i < jobs.size(); ++i) {
    std::string line = std::to_string(i + 1) + ",2,2,1," + jobs[i];
    char crc[16];
    std::snprintf(crc, sizeof crc, ",%08X", spoolgate::Crc32(line));
    text += line + crc + "\r\n";
  }
  dir.Write("Jobs.seq", std::to_string(jobs.size()) + "\r\n");
  dir.Write("Jobs.csv", text);
}

}  // namespace sgtest
