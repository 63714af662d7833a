// ledgerwick: logs events through ledgerwickd and looks at it.
// Exit codes: 0 done, 1 an automation error, 2 wrong usage, 3 the daemon cannot be
// reached or started.

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <kj/exception.h>

#include "automation/automation_error.h"
#include "automation/dispatch.h"
#include "client/cli_commands.h"
#include "client/connect_error.h"
#include "client/query_command.h"
#include "remoting/default_home.h"

namespace {

constexpr int kDone = 0;
constexpr int kAutomationError = 1;
constexpr int kUsage = 2;
constexpr int kUnreachable = 3;

}  // namespace

int main(int argc, char** argv) {
  // Buffered standard streams: `log -` sends a batch once no more input is at hand,
  // which an unbuffered stream could never tell. Nothing here writes through stdio.
  std::ios::sync_with_stdio(false);
  namespace cli = ledgerwick::cli;
  namespace flags = automation::dispatch_flags;

  ledgerwick::client::Options options;
  bool json = false;
  std::vector<std::string> fields;
  std::string logJson;
  std::string member;
  std::string value;
  std::string dispId;
  std::vector<std::string> args;
  bool get = false, put = false, putRef = false, method = false;

  CLI::App app{"ledgerwick: log audit events through ledgerwickd"};
  app.set_version_flag("--version", "ledgerwick 10.0");
  app.require_subcommand(1);
  // Where the daemon is: its socket, or a TCP listener with TLS; on the command and
  // on each subcommand.
  auto where = [&options](CLI::App* command) {
    command->add_option("--socket", options.socketPath,
                        "The daemon's socket (default: $LEDGERWICK_SOCKET, else the user's default)");
    command->add_option("--address", options.address,
                        "A daemon's TCP listener HOST:PORT instead of the socket (default: $LEDGERWICK_ADDRESS)");
    command->add_flag("--insecure", options.insecure, "Plain TCP to --address, without TLS ($LEDGERWICK_INSECURE)");
    command->add_option("--tls-ca", options.tlsCa,
                        "PEM CA certificate that signed the daemon's ($LEDGERWICK_TLS_CA; default: the system's)");
    command->add_option("--tls-cert", options.tlsCert, "PEM client certificate ($LEDGERWICK_TLS_CERT)");
    command->add_option("--tls-key", options.tlsKey, "PEM key of the client certificate ($LEDGERWICK_TLS_KEY)");
  };
  where(&app);

  CLI::App* log = app.add_subcommand("log", "Log one event (or, with -, one per line of standard input)");
  where(log);
  log->add_option("fields", fields, "NAME=VALUE text fields, or - to read one JSON object a line");
  log->add_option("--json", logJson,
                  "Typed fields as a JSON object: strings, numbers, true/false, null, "
                  "{\"date\":\"YYYY-MM-DD\"}, {\"time\":\"HH:MM:SS\"}, {\"datetime\":\"YYYY-MM-DDTHH:MM:SS\"}");

  CLI::App* getCommand = app.add_subcommand("get", "Print a member: Name, AppName, LogMethod, Ready, Description, FieldMap");
  where(getCommand);
  getCommand->add_flag("--json", json, "Print the value as JSON");
  getCommand->add_option("member", member, "The member")->required();

  CLI::App* fieldmap = app.add_subcommand("fieldmap", "Print the names of the mapped fields");
  where(fieldmap);
  fieldmap->add_flag("--json", json, "Print the names as a JSON array");

  CLI::App* setCommand = app.add_subcommand("set", "Change a member: LogMethod, AppName, Description");
  where(setCommand);
  setCommand->add_option("member", member, "The member")->required();
  setCommand->add_option("value", value, "The new value")->required();

  CLI::App* invoke = app.add_subcommand("invoke", "Call a member by dispatch id (arguments after -- when one starts with -)");
  where(invoke);
  invoke->add_flag("--json", json, "Print the result as JSON");
  invoke->add_flag("--get", get, "Read a property");
  invoke->add_flag("--put", put, "Assign a property (the value is the last argument)");
  invoke->add_flag("--put-ref", putRef, "Assign an object reference");
  invoke->add_flag("--method", method, "Call a method (the default is method or property read)");
  invoke->add_option("dispid", dispId, "Dispatch id, decimal or 0x hex")->required();
  invoke->add_option("args", args, "Arguments, each a JSON value");

  CLI::App* status = app.add_subcommand("status", "Print the daemon's state and counters");
  where(status);
  status->add_flag("--json", json, "Print as JSON");

  // query and tail read the store itself; the daemon need not run.
  cli::QueryRequest query;
  std::string tailCount = "10";
  auto reading = [&query](CLI::App* command) {
    command->add_option("--store", query.store, "The store to read: local, network or text "
                                                "(default: where the daemon writes first)");
    command->add_option("--since", query.since, "Logged at or after T: YYYY-MM-DD, YYYY-MM-DDTHH:MM:SS, or 30m, 1h, 7d ago");
    command->add_option("--until", query.until, "Logged at or before T (a date: to its end)");
    command->add_option("--app", query.appName, "AppName is exactly NAME");
    command->add_option("--severity", query.severity, "Severity is the number N");
    command->add_option("--user", query.userName, "UserName is exactly NAME");
    command->add_option("--grep", query.grep, "Description or AddlText holds TEXT (case counts)");
    command->add_flag("--json", query.json, "One JSON object a line, every field in the typed forms log --json takes");
    command->add_flag("--csv", query.csv, "CSV with a header line");
    command->add_option("--config-dir", query.configDir, "Folder holding Ledgwk.ini (default: /etc)")
        ->envname("LEDGERWICK_CONFIG_DIR");
    command->add_option("--home", query.homeDir,
                        "The daemon's home, where the text log is unless TextPath says (default: the daemon's)")
        ->envname("LEDGERWICK_HOME");
  };
  CLI::App* queryCommand = app.add_subcommand("query", "Print logged events, oldest first");
  reading(queryCommand);
  queryCommand->add_option("--limit", query.limit, "Only the newest N");
  CLI::App* tail = app.add_subcommand("tail", "Print the newest logged events, oldest first");
  reading(tail);
  where(tail);  // -f follows through the daemon
  tail->add_option("-n", tailCount, "How many (default 10)");
  bool follow = false;
  tail->add_flag("-f,--follow", follow, "Then print each new event as the daemon writes it (through its socket)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kDone : kUsage;
  }

  try {
    cli::Output output{std::cout, json};
    if (log->parsed()) {
      bool fromStdin = fields.size() == 1 && fields[0] == "-";
      if (fields.empty() && logJson.empty()) throw cli::UsageError("log: give NAME=VALUE fields, --json OBJECT or -");
      cli::Log(options, fromStdin ? std::vector<std::string>() : fields, logJson, fromStdin, std::cin, std::cerr);
    } else if (getCommand->parsed()) {
      cli::Get(options, member, output);
    } else if (fieldmap->parsed()) {
      cli::Get(options, "FieldMap", output);
    } else if (setCommand->parsed()) {
      cli::Set(options, member, value);
    } else if (invoke->parsed()) {
      uint16_t f = (get ? flags::kPropertyGet : 0) | (put ? flags::kPropertyPut : 0) |
                   (putRef ? flags::kPropertyPutRef : 0) | (method ? flags::kMethod : 0);
      cli::Invoke(options, dispId, f, args, output);
    } else if (queryCommand->parsed() || tail->parsed()) {
      if (tail->parsed()) query.limit = tailCount;
      if (query.configDir.empty()) query.configDir = "/etc";
      if (query.homeDir.empty()) query.homeDir = ledgerwick::DefaultHome();
      automation::SystemClock clock;
      cli::Query(query, clock, std::cout, std::cerr);
      if (tail->parsed() && follow) {
        std::cout.flush();
        // Following is no reason to start a daemon either.
        options.autostart = false;
        cli::Follow(query, *ledgerwick::client::Connection::Open(options), clock, std::cout, std::cerr);
      }
    } else if (status->parsed()) {
      // Looking at a daemon is no reason to start one.
      options.autostart = false;
      cli::Status(options, output);
    }
    std::cout.flush();
    return kDone;
  } catch (const cli::UsageError& e) {
    std::cerr << "ledgerwick: " << e.what() << "\n";
    return kUsage;
  } catch (const automation::AutomationError& e) {
    std::cerr << "error " << e.number() << ": " << e.description() << "\n";
    return kAutomationError;
  } catch (const ledgerwick::client::ConnectError& e) {
    std::cerr << e.what() << "\n";
    return kUnreachable;
  } catch (const kj::Exception& e) {
    std::cerr << "ledgerwick: " << e.getDescription().cStr() << "\n";
    return kAutomationError;
  } catch (const std::exception& e) {
    std::cerr << "ledgerwick: " << e.what() << "\n";
    return kAutomationError;
  }
}
