// SPDX-License-Identifier: Apache-2.0
// `spoolgate run`: loads libspoolgate.so with dlopen, sets up the sandbox (root, registry,
// printer), runs each capture as one job and prints the reports.
#include "tools/replay/run.h"

#include "accounting/log_settings.h"
#include "platform/host/host_tools.h"
#include "plugin/export_table.h"
#include "tools/replay/capture.h"
#include "tools/common/errors.h"
#include "tools/replay/job_run.h"
#include "tools/common/output_file.h"
#include "tools/replay/report.h"
#include "tools/common/text.h"

#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace spoolgate {
namespace {

using Json = nlohmann::ordered_json;

std::string ExecutableDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

// The plug-in the spooler would load: --plugin, else the one installed with this command
// (../lib/spoolgate/ from its own directory), else the one built beside it in the build
// tree (../plugin/). Nothing of the machine the command was built on is looked at.
std::string FindPlugin(const std::string& given) {
  if (!given.empty()) return given;
  const std::string dir = ExecutableDir();
  for (const char* relative : {"/../lib/spoolgate/libspoolgate.so", "/../plugin/libspoolgate.so"}) {
    std::error_code ec;
    if (fs::exists(dir + relative, ec)) return fs::canonical(dir + relative).string();
  }
  return dir + "/../lib/spoolgate/libspoolgate.so";
}

template <typename F>
void Resolve(void* library, const std::string& path, const char* name, F& into) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) throw InputError(path + ": the plug-in does not export " + name);
  into = reinterpret_cast<F>(symbol);
}

PluginExports LoadPlugin(const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) throw InputError(path + ": cannot load the plug-in: " + dlerror());
  PluginExports e{};
  Resolve(library, path, "DrvSplStartDoc", e.StartDoc);
  Resolve(library, path, "DrvSplWritePrinter", e.WritePrinter);
  Resolve(library, path, "DrvSplStartPage", e.StartPage);
  Resolve(library, path, "DrvSplEndPage", e.EndPage);
  Resolve(library, path, "DrvSplEndDoc", e.EndDoc);
  Resolve(library, path, "DrvSplAbort", e.Abort);
  Resolve(library, path, "DrvSplClose", e.Close);
  Resolve(library, path, "MyDrvSplStartDoc", e.MyStartDoc);
  return e;  // the library stays loaded for the life of the command, as in the spooler
}

std::vector<uint8_t> Utf16Value(const std::string& text) {
  std::u16string wide = Utf8ToUtf16(text);
  std::vector<uint8_t> data;
  for (char16_t c : wide) {
    data.push_back(uint8_t(c));
    data.push_back(uint8_t(c >> 8));
  }
  data.insert(data.end(), {0, 0});
  return data;
}

// The sandbox: its root made ready for the host layer, its registry read back.
std::string OpenSandbox(const RunOptions& options) {
  std::error_code ec;
  fs::create_directories(options.root, ec);
  if (ec) throw InputError(options.root + ": cannot create the sandbox root: " + ec.message());
  const std::string root = fs::canonical(options.root, ec).string();
  if (ec) throw InputError(options.root + ": " + ec.message());
  std::string why;
  if (!HostReset(root, &why)) throw InputError(options.root + ": unusable sandbox root: " + why);
  const std::string registryFile = root + "/registry.txt";
  if (fs::exists(registryFile)) {
    std::ifstream in(registryFile, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || !HostRegistryImport(text)) throw InputError(registryFile + ": not a registry export");
  }
  if (options.logDir) {
    if (HostMapPath(Utf8ToUtf16(*options.logDir)).empty()) {
      throw InputError("--log-dir " + *options.logDir + ": not a Windows path (C:\\... or \\\\server\\share\\...)");
    }
    HostRegistrySetValue(LOG_SETTINGS_KEY, LOG_DIRECTORY_VALUE, REG_SZ, Utf16Value(*options.logDir));
  }
  if (options.logMaxKib) {
    uint32_t kib = *options.logMaxKib;
    HostRegistrySetValue(LOG_SETTINGS_KEY, LOG_MAX_SIZE_VALUE, REG_DWORD,
                         {uint8_t(kib), uint8_t(kib >> 8), uint8_t(kib >> 16), uint8_t(kib >> 24)});
  }
  return root;
}

}  // namespace

int RunCaptures(const std::vector<std::string>& captures, const RunOptions& options,
                std::ostream& out) {
  if (captures.empty()) throw InputError("run: no capture given");
  if (uint64_t(options.jobId) + captures.size() - 1 > UINT32_MAX) {
    throw InputError("--job-id " + std::to_string(options.jobId) + ": the " +
                     std::to_string(captures.size()) + " jobs would need ids above 4294967295");
  }
  // Every capture is read through before any job runs, so unusable input stops the
  // command with nothing done.
  for (const std::string& capture : captures) ValidateCapture(capture);

  const std::string pluginPath = FindPlugin(options.plugin);
  if (!fs::exists(pluginPath)) throw InputError(pluginPath + ": plug-in library not found (use --plugin)");
  PluginExports plugin = LoadPlugin(pluginPath);

  std::unique_ptr<OutputFile> printerOut;
  if (!options.printerOut.empty()) {
    std::vector<std::string> inputs = captures;
    inputs.push_back(pluginPath);
    printerOut = std::make_unique<OutputFile>(options.printerOut, inputs);
  }
  const std::string root = OpenSandbox(options);
  // The plug-in loads the logging library from its own (Windows) directory; on the host
  // that copy is the build's libruzoravu64.so beside the plug-in, when there is one.
  const fs::path logger = fs::path(pluginPath).parent_path() / "libruzoravu64.so";
  if (fs::exists(logger)) HostMapLibrary(u"ruzoravu64.dll", logger.string());

  HANDLE printer = HostAddPrinter({std::nullopt, Utf8ToUtf16(options.printer), Utf8ToUtf16(options.port)});
  // The bytes that reach the printer are taken from the record of WritePrinter calls.
  HostSetPrinterCountOnly(printer, true);

  Json report;
  report["plugin"] = pluginPath;
  report["root"] = root;
  report["printer"] = options.printer;
  report["jobs"] = Json::array();
  bool failed = false;
  JobSetup setup;
  setup.plugin = &plugin;
  setup.printer = printer;
  setup.printerName = options.printer;
  setup.user = options.user;
  setup.root = root;
  setup.printerOut = printerOut.get();
  setup.traceText = options.trace && !options.json ? &out : nullptr;
  setup.traceJson = options.trace && options.json;
  setup.progress = options.progress;
  HandleNames handles;
  setup.handles = &handles;
  DWORD jobId = options.jobId;
  for (const std::string& capture : captures) {
    setup.document = options.document.empty() ? fs::path(capture).stem().string() : options.document;
    setup.jobId = jobId;
    HostAddJob(printer, jobId, {Utf8ToUtf16(setup.document), Utf8ToUtf16(options.user)});
    Json job = RunJob(capture, setup);
    HostRemoveJob(printer, jobId);
    failed = failed || job["failedCallCount"].get<uint64_t>() != 0;
    if (options.json) {
      report["jobs"].push_back(std::move(job));
    } else {
      WriteJobReport(job, out);
    }
    ++jobId;
  }
  if (printerOut) printerOut->Commit();

  OutputFile registry(root + "/registry.txt", {});
  std::string text = HostRegistryExport();
  registry.Write(text.data(), text.size());
  registry.Commit();

  report["result"] = failed ? "failed" : "ok";
  if (options.json) out << JsonDump(report) << "\n";
  return failed ? kExitStepFailed : kExitOk;
}

}  // namespace spoolgate
