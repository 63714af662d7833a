// Settings files and connect strings as operators write them. The input is
//   section \n key \n rest-of-file
// The file lives in memory (a memfd read through /proc/self/fd), so runs leave
// nothing behind.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "automation/ini_reader.h"
#include "startup/settings.h"

namespace {

// One in-memory file for the whole run of the fuzzer; rewritten by each input.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("Ledgwk.ini", MFD_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { close(fd_); }

  const std::string& Write(const std::string& content) {
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size())) {
      throw std::runtime_error("writing the memfd failed");
    }
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

// Takes text up to the next line break from `rest`.
std::string TakeLine(std::string& rest) {
  size_t end = rest.find('\n');
  std::string line = rest.substr(0, end);
  rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile file;
  std::string rest(reinterpret_cast<const char*>(data), size);
  std::string section = TakeLine(rest);
  std::string key = TakeLine(rest);
  const std::string& path = file.Write(rest);

  // The keys the daemon reads, and the one the input names.
  static const char* const kKeys[][2] = {{"Attachments", "NetDSO"}, {"Attachments", "LocalConnect"},
                                         {"General", "StorageType"},  {"General", "TextPath"}};
  for (const auto& [s, k] : kKeys) {
    std::string value = automation::GetProfileString(s, k, ledgerwick::kMissing, path);
    if (value.size() > automation::kMaxProfileValue) throw std::logic_error("a value longer than 255");
    (void)ledgerwick::GetConnectValue(value, "DATABASE", ";");
  }
  std::string value = automation::GetProfileString(section, key, ledgerwick::kMissing, path);
  if (value.size() > automation::kMaxProfileValue) throw std::logic_error("a value longer than 255");

  // The input as a connect string, with the key and delimiters the input names.
  (void)ledgerwick::GetConnectValue(rest, key, ";");
  (void)ledgerwick::GetConnectValue(rest, key, section);
  return 0;
}
