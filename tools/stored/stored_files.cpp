// SPDX-License-Identifier: Apache-2.0
// Reading archive and overlay files: both are a fixed header and then the print data.
#include "tools/stored/stored_files.h"

#include "core/records.h"
#include "tools/common/file_magic.h"
#include "tools/common/hex.h"
#include "tools/common/errors.h"
#include "tools/common/output_file.h"
#include "tools/common/portable.h"
#include "tools/common/text.h"

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

// What a header shows the file to be when it is plainly not one of ours: a capture, or
// lines of text. The header is the rendering side's bytes and carries no mark, so only
// these are refused: a header of one repeated printable byte, as a fill gives, is taken;
// lines (a line break, no zero byte, well-formed UTF-8) are what a text file starts with.
// Empty when it may be one.
std::string OtherKind(const std::vector<uint8_t>& header) {
  if (header.size() >= sizeof kCaptureMagic &&
      std::memcmp(header.data(), kCaptureMagic, sizeof kCaptureMagic) == 0) {
    return "it is a capture (spoolgate run replays it)";
  }
  const std::string bytes(header.begin(), header.end());
  if (bytes.find('\n') != std::string::npos && bytes.find('\0') == std::string::npos &&
      ValidUtf8(bytes) == bytes) {
    return "its header is lines of text";
  }
  return "";
}

StoredFile ReadHeader(StoredKind kind, const std::string& path, bool force) {
  std::error_code ec;
  fs::file_status status = fs::status(PathOf(path), ec);
  if (status.type() == fs::file_type::not_found) throw InputError(path + ": no such file");
  if (status.type() == fs::file_type::directory) throw InputError(path + ": is a directory");
  if (ec || status.type() != fs::file_type::regular) {
    throw InputError(path + ": " + (ec ? ec.message() : "not a regular file"));
  }
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
  const std::string other = force ? "" : OtherKind(f.header);
  if (!other.empty()) {
    throw InputError(path + ": not an " + KindName(kind) + " file: " + other +
                     " (--force reads it as one)");
  }
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

int ShowStoredFile(StoredKind kind, const std::string& path, bool json, bool force,
                   std::ostream& out) {
  StoredFile f = ReadHeader(kind, path, force);
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
    out << "  header (380 bytes): headerFlags " << HexNumber(j["headerFlags"].get<uint32_t>()) << ", tailBit0 " << j["tailBit0"].get<uint32_t>() << ", totalPages "
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

int ExtractStoredFile(StoredKind kind, const std::string& path, std::string outPath, bool force,
                      std::ostream& out) {
  StoredFile f = ReadHeader(kind, path, force);
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
  (NamesStandardOutput(outPath) ? std::cerr : out) << outPath << ": " << Grouped(copied)
                                      << " bytes of print data from " << path << "\n";
  return kExitOk;
}

}  // namespace spoolgate
