// Shared pieces of the fuzz targets: scratch files, a quiet console, failure reports.
#include "fuzz_support.h"

#include <iconv.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace pairwick::fuzz {

const std::string& scratchDirectory() {
  static const std::string dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    std::string path = base + "/pairwick_fuzz_" + std::to_string(getpid());
    std::filesystem::create_directories(path);
    return path;
  }();
  return dir;
}

void silenceConsole() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) fail("scratch file written", path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("scratch file read", path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

WideText unitsOf(const std::uint8_t* data, std::size_t size) {
  WideText units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  return units;
}

std::string hex(std::string_view bytes) {
  std::string out;
  char buffer[4];
  for (const char byte : bytes) {
    std::snprintf(buffer, sizeof buffer, "%02X ", static_cast<unsigned char>(byte));
    out += buffer;
  }
  return out;
}

std::string hex(std::u16string_view units) {
  std::string out;
  char buffer[6];
  for (const char16_t unit : units) {
    std::snprintf(buffer, sizeof buffer, "%04X ", static_cast<unsigned>(unit));
    out += buffer;
  }
  return out;
}

void fail(const char* property, const std::string& details) {
  std::fprintf(stderr, "\n==== property failed: %s\n%s\n", property, details.c_str());
  std::fflush(stderr);
  std::abort();
}

bool glibcDecodeUnit(std::string_view piece, char16_t& unit) {
  static const iconv_t cd = iconv_open("UTF-16LE", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) fail("iconv_open", "CP932");
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string in(piece);
  char out[8];
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char* outPtr = out;
  std::size_t outLeft = sizeof out;
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
      sizeof out - outLeft != 2) {
    return false;
  }
  unit = static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                               static_cast<unsigned char>(out[1]) << 8);
  return true;
}

}  // namespace pairwick::fuzz
