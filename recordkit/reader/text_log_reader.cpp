#include "recordkit/reader/text_log_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "automation/automation_error.h"

namespace recordkit {

std::optional<LoggedEvent> TextLogReader::ParseLine(const std::string& line) {
  LoggedEvent event;
  size_t start = 0;
  for (int column = 0; column < kLoggedFields; ++column) {
    const size_t tab = line.find('\t', start);
    const bool last = column == kLoggedFields - 1;
    if (last != (tab == std::string::npos)) return std::nullopt;
    const std::string text = line.substr(start, last ? std::string::npos : tab - start);
    event.fields[static_cast<size_t>(column)] = FromLogText(FormOfField(column), text);
    start = tab + 1;
  }
  return event;
}

ReadAnswer TextLogReader::Read(const EventFilter& filter) {
  ReadAnswer answer;
  std::ifstream file(path_, std::ios::binary);
  if (!file) {
    const int error = errno;
    answer.status = {error == ENOENT ? automation::err::kFileNotFound : automation::err::kPathFileAccessError,
                     "cannot read the text log " + path_ + ": " + std::strerror(error)};
    return answer;
  }
  struct Found {
    std::string at;
    LoggedEvent event;
  };
  std::vector<Found> found;
  std::string line;
  size_t number = 0;
  while (std::getline(file, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    auto event = ParseLine(line);
    if (!event) {
      answer.notes.push_back("text log " + path_ + ": line " + std::to_string(number) + " has " +
                             std::to_string(std::count(line.begin(), line.end(), '\t') + 1) +
                             " columns, not 19; passed over");
      continue;
    }
    if (Matches(filter, *event)) found.push_back({LoggedAt(*event), std::move(*event)});
  }
  if (file.bad()) {
    answer.status = {automation::err::kDeviceIOError, "cannot read the text log " + path_ + ": " + std::strerror(errno)};
    return answer;
  }
  // Lines are in the order they were written; a stable sort keeps it among equals.
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.at < b.at; });
  size_t from = 0;
  if (filter.limit && *filter.limit < found.size()) from = found.size() - *filter.limit;
  for (size_t i = from; i < found.size(); ++i) answer.events.push_back(std::move(found[i].event));
  return answer;
}

}  // namespace recordkit
