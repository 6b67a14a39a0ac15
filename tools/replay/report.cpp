// SPDX-License-Identifier: Apache-2.0
// Rendering a job report for a person: one section per subject, numbers grouped,
// Windows paths beside the sandbox paths they map to.
#include "tools/replay/report.h"

#include "tools/common/hex.h"
#include "tools/common/text.h"

#include <string>

namespace spoolgate {

using Json = nlohmann::ordered_json;

namespace {

std::string Names(const Json& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " | ") + n.get<std::string>();
  return out.empty() ? "none" : out;
}

std::string FieldText(const std::string& key, const Json& value) {
  if (value.is_string()) return key + " '" + value.get<std::string>() + "'";
  if (value.is_array()) return key + " " + Names(value);
  if (value.is_number_unsigned()) {
    uint64_t v = value.get<uint64_t>();
    bool flags = key.find("Flags") != std::string::npos || key == "mode";
    return key + " " + (flags ? HexNumber(v) : std::to_string(v));
  }
  return key + " " + JsonDump(value, -1);
}

void WriteRecords(const Json& job, std::ostream& out) {
  out << "  control records:\n";
  if (job["records"].empty()) out << "    none\n";
  for (const auto& r : job["records"]) {
    std::string line = "    block " + std::to_string(r["block"].get<uint64_t>()) + ": " +
                       r["record"].get<std::string>();
    if (r.contains("fields")) {
      std::string fields;
      for (const auto& [key, value] : r["fields"].items()) {
        if (key == "jobFlagNames") continue;
        fields += (fields.empty() ? "" : ", ") + FieldText(key, value);
      }
      line += " (" + fields + ")";
    }
    if (r.contains("note")) line += "; " + r["note"].get<std::string>();
    out << line << "\n";
  }
}

// The bytes by destination, the overlay insertions and the calls of the exports.
void WriteData(const Json& job, std::ostream& out) {
  out << "  data:\n";
  for (const char* where : {"printer", "archive", "overlay", "discarded"}) {
    const Json& d = job["data"][where];
    uint64_t blocks = d["blocks"].get<uint64_t>();
    if (blocks == 0 && std::string(where) != "printer") continue;
    out << "    " << where << ": " << Grouped(blocks) << (blocks == 1 ? " block, " : " blocks, ")
        << Grouped(d["bytes"].get<uint64_t>()) << " bytes\n";
  }
  uint64_t insertions = job["insertionCount"].get<uint64_t>();
  if (insertions != 0) {
    out << "    overlay insertions: " << insertions << "\n";
    for (const auto& i : job["insertions"]) {
      out << "      at block " << i["block"].get<uint64_t>() << ": "
          << Grouped(i["bytes"].get<uint64_t>()) << " bytes (" << i["mode"].get<std::string>()
          << ") before the marker, to the " << i["destination"].get<std::string>() << "\n";
    }
  }
  const Json& calls = job["calls"];
  out << "  calls: " << Grouped(calls["DrvSplWritePrinter"].get<uint64_t>())
      << " DrvSplWritePrinter, " << calls["DrvSplStartPage"].get<uint64_t>()
      << " DrvSplStartPage, " << calls["DrvSplEndPage"].get<uint64_t>() << " DrvSplEndPage, "
      << calls["end"].get<std::string>();
  if (job.contains("pageCount")) out << "; page count " << job["pageCount"].get<uint64_t>();
  out << "\n";
}

void WriteFiles(const Json& job, std::ostream& out) {
  out << "  files:\n";
  if (job["files"].empty()) out << "    none\n";
  for (const auto& f : job["files"]) {
    out << "    " << f["change"].get<std::string>() << " " << f["role"].get<std::string>() << " "
        << f["windowsPath"].get<std::string>() << " (" << Grouped(f["size"].get<uint64_t>())
        << " bytes)";
    if (f.contains("renamedFrom")) out << " from " << f["renamedFrom"].get<std::string>();
    out << "\n      at " << f["hostPath"].get<std::string>() << "\n";
    if (f.contains("archive")) {
      const Json& a = f["archive"];
      out << "      header: headerFlags " << HexNumber(a["headerFlags"].get<uint64_t>()) << ", tailBit0 "
          << a["tailBit0"].get<uint64_t>() << ", totalPages " << a["totalPages"].get<uint64_t>()
          << "; print data " << Grouped(a["dataBytes"].get<uint64_t>()) << " bytes\n";
    }
    if (f.contains("overlay")) {
      out << "      overlay body " << Grouped(f["overlay"]["bodyBytes"].get<uint64_t>())
          << " bytes behind the 444-byte header\n";
    }
  }
}

// The message boxes, the accounting lines and the failed calls.
void WriteOutcome(const Json& job, std::ostream& out) {
  out << "  message boxes:";
  if (job["messageBoxes"].empty()) out << " none";
  out << "\n";
  for (const auto& b : job["messageBoxes"]) {
    out << "    \"" << b["text"].get<std::string>() << "\" (style " << b["style"].get<std::string>()
        << ", caption " << (b["caption"].is_null() ? "none" : "'" + b["caption"].get<std::string>() + "'")
        << ", owner " << b["owner"].get<std::string>() << ")\n";
  }

  out << "  accounting:";
  if (job["accounting"].empty()) out << " no line appended";
  out << "\n";
  for (const auto& a : job["accounting"]) {
    const std::string stored = a["stored"].get<std::string>();
    out << "    " << a["file"].get<std::string>()
        << (stored == "accounting log" ? "" : " (only in the " + stored + ")") << ":\n      "
        << a["line"].get<std::string>() << "\n";
  }

  uint64_t failures = job["failedCallCount"].get<uint64_t>();
  out << "  failed calls:";
  if (failures == 0) out << " none";
  out << "\n";
  for (const auto& f : job["failedCalls"]) {
    out << "    " << f["call"].get<std::string>();
    if (f["during"] != f["call"]) out << " during " << f["during"].get<std::string>();
    if (f.contains("block")) out << " block " << f["block"].get<uint64_t>() << " (" << f["size"].get<uint64_t>() << " bytes)";
    if (f.contains("captureOffset")) out << " at capture byte " << f["captureOffset"].get<uint64_t>();
    out << ": " << f["note"].get<std::string>() << "\n";
  }
  if (failures > job["failedCalls"].size()) {
    out << "    ... " << Grouped(failures - job["failedCalls"].size()) << " more\n";
  }
}

}  // namespace

void WriteJobReport(const Json& job, std::ostream& out) {
  out << "job " << job["jobId"].get<uint64_t>() << ": " << job["capture"].get<std::string>()
      << "\n";
  out << "  printer '" << job["printer"].get<std::string>() << "', document '"
      << job["document"].get<std::string>() << "', user '" << job["user"].get<std::string>()
      << "'\n";
  if (job.contains("jobFlags")) {
    out << "  job flags: " << HexNumber(job["jobFlags"].get<uint64_t>()) << " ("
        << Names(job["jobFlagNames"]) << ")";
    if (job.contains("overlayMode")) out << ", overlay mode: " << job["overlayMode"].get<std::string>();
    out << "\n";
  }

  WriteRecords(job, out);
  WriteData(job, out);
  WriteFiles(job, out);
  WriteOutcome(job, out);
  out << "  result: " << job["result"].get<std::string>() << "\n\n";
}

}  // namespace spoolgate
