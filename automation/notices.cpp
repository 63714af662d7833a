#include "automation/notices.h"

#include <cstdio>

namespace automation {

void StderrNotices::Show(const std::string& text) {
  // One notice is one journal line: each line break inside it (CR LF, CR or LF)
  // is written as " / ".
  std::string line = "ledgerwickd: notice: ";
  line.reserve(line.size() + text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      line += " / ";
    } else {
      line += c;
    }
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace automation
