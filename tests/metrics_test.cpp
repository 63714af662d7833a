// The metrics endpoint: a scrape is well-formed text exposition (checked line by
// line against the format's rules) and its counters say what `status` says.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "recordkit/property_set.h"
#include "tests/daemon_fixture.h"

namespace ledgerwick::testing {
namespace {

struct HttpAnswer {
  int status = 0;
  std::string headers;
  std::string body;
};

// One request over a fresh connection, read until the daemon closes it.
HttpAnswer Get(int port, const std::string& path, const std::string& method = "GET") {
  HttpAnswer answer;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return answer;
  }
  const std::string request = method + " " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  // Read until the head and as much body as its Content-Length says: the server may
  // keep the connection open for a next request.
  std::string raw;
  char buffer[4096];
  size_t end = std::string::npos;
  size_t length = 0;
  for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) {
    raw.append(buffer, static_cast<size_t>(n));
    if (end == std::string::npos && (end = raw.find("\r\n\r\n")) != std::string::npos) {
      const size_t field = raw.find("Content-Length: ");
      length = field < end ? std::strtoul(raw.c_str() + field + 16, nullptr, 10) : 0;
    }
    if (end != std::string::npos && raw.size() >= end + 4 + length) break;
  }
  close(fd);
  if (end == std::string::npos) return answer;
  answer.headers = raw.substr(0, end);
  answer.body = raw.substr(end + 4, length);
  answer.status = std::atoi(answer.headers.substr(answer.headers.find(' ') + 1).c_str());
  return answer;
}

bool NameChar(char c, bool first, bool colon) {
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':');
  return letter || (!first && c >= '0' && c <= '9');
}

// A sample line: a metric name, optionally {label="value",...} with the format's
// escapes in values, one blank, and a value with no blank in it.
bool SplitSample(const std::string& line, std::string& name, std::string& labels, std::string& value) {
  size_t at = 0;
  while (at < line.size() && NameChar(line[at], at == 0, true)) ++at;
  if (at == 0) return false;
  name = line.substr(0, at);
  const size_t labelsBegin = at;
  if (at < line.size() && line[at] == '{') {
    ++at;
    for (;;) {
      const size_t labelName = at;
      while (at < line.size() && NameChar(line[at], at == labelName, false)) ++at;
      if (at == labelName || at + 1 >= line.size() || line[at] != '=' || line[at + 1] != '"') return false;
      at += 2;
      while (at < line.size() && line[at] != '"') {
        if (line[at] == '\\') {
          if (at + 1 >= line.size() || (line[at + 1] != '\\' && line[at + 1] != '"' && line[at + 1] != 'n')) return false;
          ++at;
        }
        ++at;
      }
      if (at >= line.size()) return false;
      ++at;  // the closing quote
      if (at < line.size() && line[at] == ',') {
        ++at;
        continue;
      }
      if (at < line.size() && line[at] == '}') {
        ++at;
        break;
      }
      return false;
    }
  }
  labels = line.substr(labelsBegin, at - labelsBegin);
  if (at >= line.size() || line[at] != ' ') return false;
  value = line.substr(at + 1);
  return !value.empty() && value.find(' ') == std::string::npos;
}

// The samples of an exposition, by name and labels ("name{a=\"b\"}"). Every rule of
// the text format the endpoint relies on is checked on the way; a broken rule is a
// test failure naming the line.
std::map<std::string, double> ParseExposition(const std::string& text) {
  static const std::regex kHelp(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .*)");
  static const std::regex kType(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped))");
  std::map<std::string, double> samples;
  std::map<std::string, std::string> types;
  std::set<std::string> finished;  // families whose samples have ended
  std::string family;
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << "the exposition ends with a line break";
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (std::regex_match(line, m, kHelp)) continue;
    if (std::regex_match(line, m, kType)) {
      EXPECT_EQ(types.count(m[1]), 0u) << "a second TYPE line: " << line;
      if (!family.empty()) finished.insert(family);
      family = m[1];
      EXPECT_EQ(finished.count(family), 0u) << "a family split in two: " << line;
      types[family] = m[2];
      continue;
    }
    std::string name, labels, value;
    if (!SplitSample(line, name, labels, value)) {
      ADD_FAILURE() << "not a sample line: " << line;
      continue;
    }
    EXPECT_FALSE(family.empty()) << "a sample before any TYPE line: " << line;
    const std::string& type = types[family];
    if (type == "histogram") {
      EXPECT_TRUE(name == family + "_bucket" || name == family + "_sum" || name == family + "_count") << line;
      if (name == family + "_bucket") {
        EXPECT_NE(line.find("le=\""), std::string::npos) << line;
      }
    } else {
      EXPECT_EQ(name, family) << "a sample outside its family: " << line;
    }
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    EXPECT_TRUE(*end == '\0' && value != "") << "not a number: " << line;
    if (type == "counter") {
      EXPECT_GE(number, 0) << line;
    }
    EXPECT_EQ(samples.count(name + labels), 0u) << "a sample given twice: " << line;
    samples[name + labels] = number;
  }
  return samples;
}

class MetricsTest : public DaemonTest {
 protected:
  int MetricsPort() {
    std::smatch m;
    const std::string err = daemon->Stderr();
    static const std::regex kLine(R"(ledgerwickd: metrics on http://127\.0\.0\.1:(\d+)/metrics)");
    if (!std::regex_search(err, m, kLine)) {
      ADD_FAILURE() << err;
      return 0;
    }
    return std::stoi(m[1]);
  }
};

TEST_F(MetricsTest, AScrapeIsWellFormedAndAgreesWithStatus) {
  WriteDefaultSettings(1);
  StartDaemon({"--metrics", "0"});
  const int port = MetricsPort();
  client::Application app(ClientOptions());
  for (const char* name : {"one", "two"}) {
    auto fields = recordkit::PropertySet::NewEventSet();
    fields->Item("AppName")->SetValue(automation::Variant::String(name));
    app.Loggit(*fields);
  }
  // An event the daemon refuses: an event date that has no text form.
  auto refused = recordkit::PropertySet::NewEventSet();
  refused->Item("EventDate")->SetValue(
      automation::Variant::Array(automation::SafeArray(automation::VarType::Long, {{0, 2}})));
  EXPECT_THROW(app.Loggit(*refused), automation::AutomationError);
  ASSERT_TRUE(WaitUntilWritten(app, 2));

  HttpAnswer scrape = Get(port, "/metrics");
  ASSERT_EQ(scrape.status, 200) << scrape.headers;
  EXPECT_NE(scrape.headers.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << scrape.headers;
  std::map<std::string, double> m = ParseExposition(scrape.body);
  const client::DaemonStatus status = app.connection()->Status();

  EXPECT_EQ(m["ledgerwick_queue_records"], status.queueLength);
  EXPECT_EQ(m["ledgerwick_queue_limit_bytes"], status.queueLimitBytes);
  EXPECT_EQ(m["ledgerwick_records_written_total{target=\"local_store\"}"], status.toLocalStore);
  EXPECT_EQ(m["ledgerwick_records_written_total{target=\"local_store\"}"], 2);
  EXPECT_EQ(m["ledgerwick_records_written_total{target=\"network_store\"}"], status.toNetworkStore);
  EXPECT_EQ(m["ledgerwick_records_written_total{target=\"text_log\"}"], status.toTextLog);
  // No network store is set: it was handed both records and took neither.
  EXPECT_EQ(m["ledgerwick_records_not_taken_total{target=\"network_store\"}"], 2);
  EXPECT_EQ(m["ledgerwick_faults_total"], status.faults);
  EXPECT_EQ(m["ledgerwick_connections"], status.connections);
  EXPECT_EQ(m["ledgerwick_live_objects"], status.liveObjects);
  EXPECT_EQ(m["ledgerwick_loggit_calls_total"], 3);
  EXPECT_EQ(m["ledgerwick_loggit_errors_total"], 1);
  EXPECT_EQ(m["ledgerwick_store_open{store=\"local\"}"], 1);
  EXPECT_EQ(m["ledgerwick_store_open{store=\"network\"}"], 0);
  EXPECT_EQ(m["ledgerwick_outage"], 0);
  EXPECT_EQ(m["ledgerwick_journal_bytes"], status.journalBytes);
  EXPECT_EQ(m["ledgerwick_journal_records"], status.journalRecords);
  // Each run went through the histograms; their +Inf buckets hold every run.
  EXPECT_GE(m["ledgerwick_drain_run_records_count"], 1);
  EXPECT_EQ(m["ledgerwick_drain_run_records_bucket{le=\"+Inf\"}"], m["ledgerwick_drain_run_records_count"]);
  EXPECT_EQ(m["ledgerwick_drain_run_records_sum"], 2);
  EXPECT_EQ(m["ledgerwick_drain_run_seconds_count"], m["ledgerwick_drain_run_records_count"]);

  EXPECT_EQ(Get(port, "/other").status, 404);
  EXPECT_EQ(Get(port, "/metrics", "POST").status, 405);
}

TEST_F(MetricsTest, AnOutageIsCountedAndMeasured) {
  // The text log cannot be written (its folder is a file) and no store is set.
  WriteSettings(dir.path(), 0, dir / "Ledgwk.ini", "");
  StartDaemon({"--metrics", "0"});
  const int port = MetricsPort();
  client::Application app(ClientOptions());
  auto fields = recordkit::PropertySet::NewEventSet();
  app.Loggit(*fields);
  // Wait until the drain has tried and failed once.
  std::map<std::string, double> m;
  for (int i = 0; i < 100000 && m["ledgerwick_outage"] != 1; ++i) {
    EXPECT_EQ(app.Destroy(), 0);
    m = ParseExposition(Get(port, "/metrics").body);
  }
  EXPECT_EQ(m["ledgerwick_outage"], 1);
  EXPECT_EQ(m["ledgerwick_outages_total"], 1);
  EXPECT_EQ(m["ledgerwick_queue_records"], 1);
  EXPECT_GE(m["ledgerwick_records_not_taken_total{target=\"text_log\"}"], 1);
  EXPECT_GE(m["ledgerwick_outage_seconds_total"], 0);
}

TEST_F(MetricsTest, AnAddressThatCannotBeServedStopsTheStart) {
  WriteDefaultSettings(1);
  CommandResult result = RunCommand(LEDGERWICKD_PATH, DaemonArgs({"--metrics", "256.1.1.1:80"}));
  EXPECT_EQ(result.code, 1);
  EXPECT_NE(result.err.find("ledgerwickd: cannot serve metrics on 256.1.1.1:80: "), std::string::npos) << result.err;
}

}  // namespace
}  // namespace ledgerwick::testing
