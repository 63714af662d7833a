#include "client/query_command.h"

#include <charconv>
#include <cstdlib>
#include <ostream>
#include <stdexcept>
#include <vector>

#include "automation/conversions.h"
#include "automation/ini_reader.h"
#include "client/cli_commands.h"
#include "client/json_values.h"
#include "recordkit/property_set.h"
#include "recordkit/reader/pg_log_reader.h"
#include "recordkit/reader/sqlite_log_reader.h"
#include "recordkit/reader/text_log_reader.h"
#include "startup/settings.h"

namespace ledgerwick::cli {

namespace {

using recordkit::EventFilter;
using recordkit::LoggedEvent;

std::optional<int64_t> WholeNumber(const std::string& text) {
  int64_t number = 0;
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, number);
  if (text.empty() || ec != std::errc() || stop != end) return std::nullopt;
  return number;
}

std::string TimeBound(const std::string& option, const std::string& text, double now, bool upper) {
  auto bound = recordkit::ParseTimeBound(text, now, upper);
  if (!bound) {
    throw UsageError(option + ": " + text +
                     " is not a date (YYYY-MM-DD), a date and time (YYYY-MM-DDTHH:MM:SS) or an age (30m, 1h, 7d)");
  }
  return *bound;
}

// The settings file and what it says about the stores.
struct Settings {
  std::string path;

  std::string Read(const std::string& section, const std::string& key) const {
    std::string value = automation::GetProfileString(section, key, kMissing, path);
    if (value.size() > automation::kMaxProfileValue) value.resize(automation::kMaxProfileValue);
    return value;
  }
};

struct StoreSlot {
  const char* name;    // "network", "local"
  const char* prefix;  // "Net", "Local"
};
constexpr StoreSlot kNetwork{"network", "Net"};
constexpr StoreSlot kLocal{"local", "Local"};

// The database a store's settings name, or "ERROR".
std::string DatabaseOf(const Settings& settings, const StoreSlot& slot) {
  if (settings.Read("Attachments", std::string(slot.prefix) + "DSO") == kMissing) return kMissing;
  const std::string connect = settings.Read("Attachments", std::string(slot.prefix) + "Connect");
  if (connect == kMissing) return kMissing;
  return GetConnectValue(connect, "DATABASE", ";");
}

std::unique_ptr<recordkit::LogReader> StoreReader(const Settings& settings, const StoreSlot& slot) {
  const std::string database = DatabaseOf(settings, slot);
  if (database == kMissing) {
    throw std::runtime_error(std::string("no ") + slot.name + " store in [Attachments] of " + settings.path + " (" +
                             slot.prefix + "DSO and " + slot.prefix + "Connect with a DATABASE= item)");
  }
  const std::string dsoClass = settings.Read("Attachments", std::string(slot.prefix) + "DSO");
  if (recordkit::NamesEqual(dsoClass, "Recordkit.SqliteDSO")) {
    return std::make_unique<recordkit::SqliteLogReader>(std::string(slot.name) + " store (SQLite)", database);
  }
  if (recordkit::NamesEqual(dsoClass, "Recordkit.PostgresDSO")) {
    return std::make_unique<recordkit::PgLogReader>(
        std::string(slot.name) + " store (PostgreSQL " + WithoutPassword(database) + ")", database);
  }
  throw std::runtime_error("the " + std::string(slot.name) + " store's class " + dsoClass + " in " + settings.path +
                           " is not one this command reads");
}

std::unique_ptr<recordkit::LogReader> TextReader(const Settings& settings, const std::string& homeDir) {
  const std::string folder = settings.Read("General", "TextPath");
  // Joined as the daemon joins it.
  return std::make_unique<recordkit::TextLogReader>((folder == kMissing ? homeDir : folder) + "/Ledgwk.log");
}

// Log method 0 in the settings: the daemon writes the text log only.
bool LogsToFileOnly(const Settings& settings) {
  const std::string storage = settings.Read("General", "StorageType");
  if (storage == kMissing) return false;
  try {
    return automation::ToInteger16(automation::Variant::String(storage)) == 0;
  } catch (const std::exception&) {
    return false;  // the daemon keeps its log method for a value it cannot read
  }
}

// Keeps a table cell on its line.
std::string Flat(std::string text) {
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

void PrintTable(const std::vector<LoggedEvent>& events, std::ostream& out, bool header = true) {
  static const char* const kShown[] = {"LogDate", "LogTime", "AppName", "Severity", "UserName", "Description"};
  constexpr size_t kCount = sizeof kShown / sizeof kShown[0];
  std::vector<std::vector<std::string>> rows;
  if (header) rows.emplace_back(std::begin(kShown), std::end(kShown));
  for (const LoggedEvent& event : events) {
    std::vector<std::string> row;
    for (const char* name : kShown) row.push_back(Flat(recordkit::DisplayText(event[recordkit::FieldIndex(name)])));
    rows.push_back(std::move(row));
  }
  std::vector<size_t> widths(kCount, 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < kCount; ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < kCount; ++i) {
      line += row[i];
      if (i + 1 < kCount) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
}

void PrintJson(const std::vector<LoggedEvent>& events, std::ostream& out) {
  for (const LoggedEvent& event : events) {
    std::string line = "{";
    for (int i = 0; i < recordkit::kLoggedFields; ++i) {
      if (i > 0) line += ",";
      line += json::Quote(recordkit::kEventFieldNames[i]) + ":" + json::ToJson(event[i]);
    }
    out << line << "}\n";
  }
}

void PrintCsv(const std::vector<LoggedEvent>& events, std::ostream& out, bool header = true) {
  if (header) {
    std::string names;
    for (int i = 0; i < recordkit::kLoggedFields; ++i) names += (i ? "," : "") + CsvField(recordkit::kEventFieldNames[i]);
    out << names << "\r\n";
  }
  for (const LoggedEvent& event : events) {
    std::string line;
    for (int i = 0; i < recordkit::kLoggedFields; ++i) {
      line += (i ? "," : "") + CsvField(recordkit::DisplayText(event[i]));
    }
    out << line << "\r\n";
  }
}

}  // namespace

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

EventFilter FilterOf(const QueryRequest& request, double now) {
  EventFilter filter;
  if (!request.since.empty()) filter.since = TimeBound("--since", request.since, now, false);
  if (!request.until.empty()) filter.until = TimeBound("--until", request.until, now, true);
  if (!request.appName.empty()) filter.appName = request.appName;
  if (!request.userName.empty()) filter.userName = request.userName;
  if (!request.grep.empty()) filter.grep = request.grep;
  if (!request.severity.empty()) {
    filter.severity = WholeNumber(request.severity);
    if (!filter.severity) throw UsageError("--severity: " + request.severity + " is not a whole number");
  }
  if (!request.limit.empty()) {
    auto limit = WholeNumber(request.limit);
    if (!limit || *limit < 0) throw UsageError("--limit: " + request.limit + " is not a count of events");
    filter.limit = static_cast<size_t>(*limit);
  }
  if (request.json && request.csv) throw UsageError("--json and --csv exclude each other");
  return filter;
}

std::unique_ptr<recordkit::LogReader> ReaderFor(const QueryRequest& request) {
  Settings settings{request.configDir + "/" + kSettingsFileName};
  if (request.store == "network") return StoreReader(settings, kNetwork);
  if (request.store == "local") return StoreReader(settings, kLocal);
  if (request.store == "text") return TextReader(settings, request.homeDir);
  if (!request.store.empty()) throw UsageError("--store: " + request.store + " is not local, network or text");
  // Where the daemon writes: the text log alone under log method 0 (tofile), else
  // the network store first.
  if (LogsToFileOnly(settings)) return TextReader(settings, request.homeDir);
  if (DatabaseOf(settings, kNetwork) != kMissing) return StoreReader(settings, kNetwork);
  if (DatabaseOf(settings, kLocal) != kMissing) return StoreReader(settings, kLocal);
  return TextReader(settings, request.homeDir);
}

void Query(const QueryRequest& request, const automation::Clock& clock, std::ostream& out, std::ostream& notes) {
  const EventFilter filter = FilterOf(request, clock.Now());
  std::unique_ptr<recordkit::LogReader> reader = ReaderFor(request);
  recordkit::ReadAnswer answer = reader->Read(filter);
  for (const std::string& note : answer.notes) notes << "ledgerwick: " << note << "\n";
  if (!answer.status.ok()) throw std::runtime_error(answer.status.description);
  if (request.json) {
    PrintJson(answer.events, out);
  } else if (request.csv) {
    PrintCsv(answer.events, out);
  } else {
    PrintTable(answer.events, out);
  }
}

recordkit::LoggedEvent EventOfRecord(const recordkit::PackedFields& fields) {
  LoggedEvent event;
  for (int i = 0; i < recordkit::kLoggedFields; ++i) {
    const automation::Variant& value = fields.ValueOf(recordkit::kEventFieldNames[i], static_cast<size_t>(i));
    if (value.isEmpty() || value.isNull()) continue;  // Null, as a store keeps it
    const recordkit::FieldForm form = recordkit::FormOfField(i);
    // A field reads back as a store gives it: a text, a number where it reads as
    // one, a date where the field holds dates.
    if (form == recordkit::FieldForm::Text) {
      event.fields[static_cast<size_t>(i)] =
          value.type() == automation::VarType::String && !value.isArray() ? value : automation::Variant::String(recordkit::DisplayText(value));
    } else if (value.type() == automation::VarType::String && !value.isArray()) {
      event.fields[static_cast<size_t>(i)] = recordkit::FromLogText(form, value.string());
    } else {
      event.fields[static_cast<size_t>(i)] = value;
    }
  }
  return event;
}

void Follow(const QueryRequest& request, client::Connection& connection, const automation::Clock& clock,
            std::ostream& out, std::ostream& notes) {
  EventFilter filter = FilterOf(request, clock.Now());
  filter.limit.reset();
  const recordkit::PropertyPacker packer;
  recordkit::PackedFields fields;
  connection.Follow(
      [&](std::vector<automation::Variant>& records) {
        std::vector<LoggedEvent> events;
        for (const automation::Variant& record : records) {
          if (packer.ReadFields(record, fields) != 0) continue;
          LoggedEvent event = EventOfRecord(fields);
          if (recordkit::Matches(filter, event)) events.push_back(std::move(event));
        }
        if (events.empty()) return;
        if (request.json) {
          PrintJson(events, out);
        } else if (request.csv) {
          PrintCsv(events, out, false);
        } else {
          PrintTable(events, out, false);
        }
        out.flush();
      },
      [&notes]() { notes << "ledgerwick: following new events (Ctrl-C ends)" << std::endl; });
}

}  // namespace ledgerwick::cli
