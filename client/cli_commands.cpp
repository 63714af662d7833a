#include "client/cli_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <istream>
#include <limits>
#include <optional>
#include <ostream>

#include <nlohmann/json.hpp>

#include "automation/automation_error.h"
#include "automation/dispatch.h"
#include "client/application.h"
#include "client/json_reader.h"
#include "client/json_values.h"
#include "recordkit/property_set.h"

namespace ledgerwick::cli {

using automation::Variant;

namespace {

recordkit::Property& Field(recordkit::PropertySet& set, const std::string& name) {
  std::shared_ptr<recordkit::Property> property = set.Find(name);
  if (!property) {
    std::string known;
    for (const auto& p : set.Properties()) known += (known.empty() ? "" : ", ") + p->Name();
    throw UsageError("unknown field \"" + name + "\"; the fields are " + known);
  }
  return *property;
}

json::Value ParseJson(const std::string& text, const std::string& where) {
  try {
    return json::Parse(text);
  } catch (const json::ParseError& e) {
    throw UsageError(where + ": " + e.what());
  }
}

Variant JsonArgument(const std::string& text, const std::string& where) {
  try {
    return json::ToVariant(ParseJson(text, where));
  } catch (const json::ValueError& e) {
    throw UsageError(where + ": " + e.what());
  }
}

void SetJsonFields(recordkit::PropertySet& set, const std::string& text, const std::string& where) {
  json::Value object = ParseJson(text, where);
  if (object.kind != json::Value::Kind::Object) throw UsageError(where + ": expected a JSON object");
  for (const auto& [name, value] : object.members) {
    try {
      Field(set, name).SetValue(json::ToVariant(value));
    } catch (const json::ValueError& e) {
      throw UsageError(where + ": field \"" + name + "\": " + e.what());
    }
  }
}

bool Blank(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

bool Is(const std::string& a, const char* b) { return recordkit::NamesEqual(a, b); }

void Print(const Variant& value, Output output) {
  std::string text = output.json ? json::ToJson(value) : json::ToPlainText(value);
  if (!text.empty() || output.json) output.out << text << "\n";
}

// Hands over one event per line of `in`, in order, in batches through the object's
// batch door: a batch goes out when it is full, or as soon as no more input is at
// hand (so a slow stream is not held back), and up to kBatchesInFlight of them are
// on their way at once. A line the daemon refuses is reported with its line number,
// after every other line has been handed over (the first kMaxReported of them by
// number, the rest counted). A line that is no JSON object stops the reading there,
// once the lines before it are answered. Whatever the end, `summary` gets one line
// saying how many events were handed over and how many lines were not.
void LogLines(client::Application app, std::istream& in, std::ostream& summary) {
  constexpr size_t kBatchRecords = 512;
  constexpr size_t kBatchBytes = 1 << 20;
  constexpr size_t kBatchesInFlight = 4;
  constexpr size_t kMaxReported = 10;
  struct Batch {
    std::vector<size_t> lines;
    kj::Promise<std::vector<automation::Status>> answer;
  };
  std::deque<Batch> inFlight;
  std::vector<Variant> pending;
  std::vector<size_t> pendingLines;
  size_t pendingBytes = 0;
  std::vector<std::pair<size_t, automation::Status>> refused;
  size_t refusedCount = 0;
  size_t handedOver = 0;

  auto send = [&]() {
    if (pending.empty()) return;
    inFlight.push_back(Batch{std::move(pendingLines), app.LoggitBatchAsync(pending)});
    pending.clear();
    pendingLines.clear();
    pendingBytes = 0;
  };
  auto answerOldest = [&]() {
    Batch oldest = std::move(inFlight.front());
    inFlight.pop_front();
    std::vector<automation::Status> statuses = app.connection()->Wait(std::move(oldest.answer));
    for (size_t i = 0; i < statuses.size(); ++i) {
      if (statuses[i].ok()) {
        ++handedOver;
        continue;
      }
      if (refused.size() < kMaxReported) refused.emplace_back(oldest.lines[i], std::move(statuses[i]));
      ++refusedCount;
    }
  };
  auto answerAll = [&]() {
    send();
    while (!inFlight.empty()) answerOldest();
  };
  auto reportSummary = [&](size_t badLines) {
    const size_t notHanded = refusedCount + badLines;
    summary << "log -: " << handedOver << (handedOver == 1 ? " event" : " events") << " handed over, " << notHanded
            << (notHanded == 1 ? " line" : " lines") << " refused\n";
  };
  auto reportRefusals = [&]() {
    if (refused.empty()) return;
    // Refused here or by the daemon: named in the order of the input.
    std::stable_sort(refused.begin(), refused.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text;
    for (const auto& [line, status] : refused) {
      text += (text.empty() ? "line " : "; line ") + std::to_string(line) + ": " + status.description;
    }
    if (refusedCount > refused.size()) text += "; and " + std::to_string(refusedCount - refused.size()) + " more";
    throw automation::AutomationError(refused.front().second.number, text);
  };

  kj::WaitScope& waitScope = app.connection()->waitScope();
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (Blank(line)) continue;
    try {
      auto set = recordkit::PropertySet::NewEventSet();
      SetJsonFields(*set, line, "line " + std::to_string(number));
      // An event that cannot be packed (too large, say) is refused like one the
      // daemon refuses; the lines after it are still handed over.
      try {
        pending.push_back(app.Pack(*set));
      } catch (const automation::AutomationError& e) {
        if (refused.size() < kMaxReported) refused.emplace_back(number, automation::Status{e.number(), e.description()});
        ++refusedCount;
        continue;
      }
      pendingLines.push_back(number);
      pendingBytes += pending.back().array().bytes().size();
    } catch (...) {
      // The lines before it are handed over and answered first.
      answerAll();
      reportSummary(1);
      reportRefusals();
      throw;
    }
    if (pending.size() >= kBatchRecords || pendingBytes >= kBatchBytes || in.rdbuf()->in_avail() <= 0) send();
    // Take in the answers that are there, without waiting, and wait only when too
    // many batches are on their way.
    while (!inFlight.empty() && (inFlight.size() > kBatchesInFlight || inFlight.front().answer.poll(waitScope))) {
      answerOldest();
    }
  }
  answerAll();
  reportSummary(0);
  reportRefusals();
}

}  // namespace

void Log(const client::Options& options, const std::vector<std::string>& pairs, const std::string& jsonObject,
         bool fromStdin, std::istream& in, std::ostream& summary) {
  if (fromStdin) {
    if (!pairs.empty() || !jsonObject.empty()) throw UsageError("log -: fields come from standard input only");
    LogLines(client::Application(options), in, summary);
    return;
  }
  // The fields are checked and packed here, so the event crosses in one call.
  auto set = recordkit::PropertySet::NewEventSet();
  for (const std::string& pair : pairs) {
    std::string::size_type equals = pair.find('=');
    if (equals == std::string::npos || equals == 0) throw UsageError("expected NAME=VALUE, got \"" + pair + "\"");
    Field(*set, pair.substr(0, equals)).SetValue(Variant::String(pair.substr(equals + 1)));
  }
  if (!jsonObject.empty()) SetJsonFields(*set, jsonObject, "--json");
  client::Application app(options);
  app.Loggit(*set);
}

void Get(const client::Options& options, const std::string& member, Output output) {
  bool known = Is(member, "Name") || Is(member, "AppName") || Is(member, "LogMethod") || Is(member, "Ready") ||
               Is(member, "Description") || Is(member, "FieldMap");
  if (!known) throw UsageError("get: MEMBER is one of Name, AppName, LogMethod, Ready, Description, FieldMap");
  client::Application app(options);
  Variant value;
  if (Is(member, "Name")) value = Variant::String(app.GetName());
  if (Is(member, "AppName")) value = Variant::String(app.GetAppName());
  if (Is(member, "LogMethod")) value = Variant::Long(app.GetLogMethod());
  if (Is(member, "Ready")) value = Variant::Boolean(app.GetReady());
  if (Is(member, "Description")) value = Variant::String(app.GetDescription());
  if (Is(member, "FieldMap")) value = app.GetFieldMap();
  Print(value, output);
}

void Set(const client::Options& options, const std::string& member, const std::string& value) {
  if (Is(member, "LogMethod")) {
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || n < std::numeric_limits<int32_t>::min() ||
        n > std::numeric_limits<int32_t>::max()) {
      throw UsageError("set LogMethod: expected a whole number, got \"" + value + "\"");
    }
    client::Application(options).SetLogMethod(static_cast<int32_t>(n));
    return;
  }
  if (Is(member, "AppName")) {
    client::Application(options).SetAppName(value);
    return;
  }
  if (Is(member, "Description")) {
    client::Application(options).SetDescription(value);
    return;
  }
  throw UsageError("set: MEMBER is one of LogMethod, AppName, Description");
}

void Invoke(const client::Options& options, const std::string& dispId, uint16_t flags,
            const std::vector<std::string>& args, Output output) {
  int32_t id = ParseDispId(dispId);
  if (flags == 0) flags = automation::dispatch_flags::kMethod | automation::dispatch_flags::kPropertyGet;
  std::vector<Variant> values;
  for (size_t i = 0; i < args.size(); ++i) values.push_back(JsonArgument(args[i], "argument " + std::to_string(i + 1)));
  client::Application app(options);
  Print(app.Invoke(id, flags, values), output);
}

// A store's state in one phrase: "open", "down since ... (why)", "not opened".
std::string StoreText(const client::StoreState& store) {
  if (!store.opened) return "not opened";
  if (store.open) return "open";
  std::string text = "down";
  if (!store.downSince.empty()) text += " since " + store.downSince;
  if (!store.lastError.empty()) text += " (" + store.lastError + ")";
  return text;
}

nlohmann::ordered_json StoreJson(const client::StoreState& store) {
  nlohmann::ordered_json json = {{"opened", store.opened}, {"open", store.open}};
  if (!store.downSince.empty()) json["downSince"] = store.downSince;
  if (!store.lastError.empty()) json["lastError"] = store.lastError;
  return json;
}

nlohmann::ordered_json StatusJson(const client::DaemonStatus& s) {
  return {{"pid", s.pid},
          {"ready", s.ready},
          {"startupDone", s.startupDone},
          {"logMethod", s.logMethod},
          {"queueLength", s.queueLength},
          {"queueBytes", s.queueBytes},
          {"queueLimitBytes", s.queueLimitBytes},
          {"journalBytes", s.journalBytes},
          {"journalRecords", s.journalRecords},
          {"journalSync", s.journalSync},
          {"instanceCount", s.instanceCount},
          {"liveObjects", s.liveObjects},
          {"connections", s.connections},
          {"drainBusy", s.drainBusy},
          {"drainIntervalMs", s.drainIntervalMs},
          {"written", {{"networkStore", s.toNetworkStore}, {"localStore", s.toLocalStore}, {"textLog", s.toTextLog}}},
          {"faults", s.faults},
          {"networkStore", StoreJson(s.networkStore)},
          {"localStore", StoreJson(s.localStore)}};
}

void Status(const client::Options& options, Output output) {
  client::DaemonStatus s = client::Connection::Open(options)->Status();
  auto b = [](bool v) { return v ? "true" : "false"; };
  if (output.json) {
    output.out << json::Dump(StatusJson(s)) << "\n";
    return;
  }
  output.out << "pid:              " << s.pid << "\n"
             << "ready:            " << b(s.ready) << "\n"
             << "start-up done:    " << b(s.startupDone) << "\n"
             << "log method:       " << s.logMethod << "\n"
             << "queued records:   " << s.queueLength << " (" << (s.queueBytes >> 10) << " KiB of "
             << (s.queueLimitBytes >> 20) << " MiB)\n"
             << "journal:          "
             << (s.journalSync.empty() ? std::string("none kept")
                                       : std::to_string(s.journalRecords) + " records not yet written, " +
                                             std::to_string(s.journalBytes >> 10) + " KiB, sync " + s.journalSync)
             << "\n"
             << "instances:        " << s.instanceCount << "\n"
             << "live objects:     " << s.liveObjects << "\n"
             << "connections:      " << s.connections << "\n"
             << "drain busy:       " << b(s.drainBusy) << "\n"
             << "drain interval:   " << s.drainIntervalMs << " ms\n"
             << "to network store: " << s.toNetworkStore << "\n"
             << "to local store:   " << s.toLocalStore << "\n"
             << "to text log:      " << s.toTextLog << "\n"
             << "faults:           " << s.faults << "\n"
             << "network store:    " << StoreText(s.networkStore) << "\n"
             << "local store:      " << StoreText(s.localStore) << "\n";
}

int32_t ParseDispId(const std::string& text) {
  const char* digits = text.c_str();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    digits += 2;
    base = 16;
  }
  errno = 0;
  char* end = nullptr;
  long long n = std::strtoll(digits, &end, base);
  bool ok = !text.empty() && *digits != '\0' && *end == '\0' && errno == 0;
  if (base == 16) ok = ok && *digits != '-' && *digits != '+' && n >= 0 && n <= 0xFFFFFFFFLL;
  if (base == 10) ok = ok && n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max();
  if (!ok) throw UsageError("DISPID: expected a decimal number or 0x followed by hex digits, got \"" + text + "\"");
  return static_cast<int32_t>(static_cast<uint32_t>(n));
}

}  // namespace ledgerwick::cli
