// Reading archive and overlay files: both are a fixed header and then the print data.
#include "tools/stored_files.h"

#include "core/records.h"
#include "tools/errors.h"
#include "tools/output_file.h"
#include "tools/portable.h"
#include "tools/text.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

namespace fs = std::filesystem;

namespace spoolgate {
namespace {

struct StoredFile {
  std::vector<uint8_t> header;
  uint64_t size = 0;
};

size_t HeaderSize(StoredKind kind) {
  return kind == StoredKind::Archive ? sizeof(ArchiveHeaderRecord) : sizeof(OverlayHeaderRecord);
}

const char* KindName(StoredKind kind) {
  return kind == StoredKind::Archive ? "archive" : "overlay";
}

StoredFile ReadHeader(StoredKind kind, const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(PathOf(path), ec)) throw InputError(path + ": no such file");
  StoredFile f;
  f.size = fs::file_size(PathOf(path), ec);
  size_t want = HeaderSize(kind);
  if (f.size < want) {
    throw ByteError(path, f.size, std::string(KindName(kind)) + " shorter than its " +
                                      std::to_string(want) + "-byte header (" +
                                      std::to_string(f.size) + " bytes)");
  }
  std::ifstream in(PathOf(path), std::ios::binary);
  f.header.resize(want);
  in.read(reinterpret_cast<char*>(f.header.data()), std::streamsize(want));
  if (size_t(in.gcount()) != want) throw ByteError(path, uint64_t(in.gcount()), "read error");
  return f;
}

// Rows of 16 bytes with their offsets in the file.
void HexRows(std::ostream& out, const uint8_t* data, size_t from, size_t to) {
  for (size_t row = from; row < to; row += 16) {
    char offset[32];
    std::snprintf(offset, sizeof offset, "%6zu  ", row);
    out << "      " << offset << HexBytes(data + row, std::min<size_t>(16, to - row)) << "\n";
  }
}

}  // namespace

int ShowStoredFile(StoredKind kind, const std::string& path, bool json, std::ostream& out) {
  StoredFile f = ReadHeader(kind, path);
  size_t headerSize = HeaderSize(kind);
  uint64_t dataBytes = f.size - headerSize;
  nlohmann::ordered_json j;
  j["file"] = path;
  j["kind"] = KindName(kind);
  j["size"] = f.size;
  j["headerBytes"] = headerSize;
  if (kind == StoredKind::Archive) {
    ArchiveHeaderRecord h;
    std::memcpy(&h, f.header.data(), sizeof h);
    j["headerFlags"] = h.headerFlags;
    j["tailBit0"] = h.tailBit0;
    j["totalPages"] = h.totalPages;
    j["renderingBytes"] = {{"0-291", HexBytes(h.leading, sizeof h.leading)},
                           {"300-311", HexBytes(h.middle, sizeof h.middle)},
                           {"316-379", HexBytes(h.trailing, sizeof h.trailing)}};
  } else {
    j["headerHex"] = HexBytes(f.header.data(), f.header.size());
  }
  j["dataBytes"] = dataBytes;
  if (json) {
    out << JsonDump(j) << "\n";
    return kExitOk;
  }
  out << path << ": " << KindName(kind) << " file, " << Grouped(f.size) << " bytes\n";
  if (kind == StoredKind::Archive) {
    out << "  header (380 bytes): headerFlags " << "0x" << std::hex << j["headerFlags"].get<uint32_t>()
        << std::dec << ", tailBit0 " << j["tailBit0"].get<uint32_t>() << ", totalPages "
        << j["totalPages"].get<uint32_t>() << "\n";
    out << "    the rendering side's bytes:\n";
    HexRows(out, f.header.data(), 0, 292);
    HexRows(out, f.header.data(), 300, 312);
    HexRows(out, f.header.data(), 316, 380);
  } else {
    out << "  header (444 bytes, the registering job's OverlayHeaderRecord):\n";
    HexRows(out, f.header.data(), 0, headerSize);
  }
  out << "  print data: " << Grouped(dataBytes) << " bytes from offset " << headerSize << "\n";
  return kExitOk;
}

int ExtractStoredFile(StoredKind kind, const std::string& path, std::string outPath,
                      std::ostream& out) {
  StoredFile f = ReadHeader(kind, path);
  if (outPath.empty()) {
    outPath = Utf8Of(PathOf(path).replace_extension(kind == StoredKind::Archive ? ".prn" : ".body"));
  }
  OutputFile to(outPath, {path});
  std::ifstream in(PathOf(path), std::ios::binary);
  in.seekg(std::streamoff(HeaderSize(kind)));
  std::vector<char> buffer(1 << 16);
  uint64_t copied = 0;
  while (in) {
    in.read(buffer.data(), std::streamsize(buffer.size()));
    std::streamsize got = in.gcount();
    if (got <= 0) break;
    to.Write(buffer.data(), size_t(got));
    copied += uint64_t(got);
  }
  if (in.bad()) throw ByteError(path, HeaderSize(kind) + copied, "read error");
  to.Commit();
  // The data itself may be going to standard output; the summary then goes to stderr.
  (outPath == "-" ? std::cerr : out) << outPath << ": " << Grouped(copied)
                                      << " bytes of print data from " << path << "\n";
  return kExitOk;
}

}  // namespace spoolgate
