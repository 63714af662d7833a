#pragma once
// query and tail: events read back from the store the settings name, as a table, as
// JSON (one object a line, in the typed forms `log --json` takes) or as CSV.

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "automation/clock.h"
#include "client/connection.h"
#include "recordkit/property_packer.h"
#include "recordkit/reader/log_reader.h"

namespace ledgerwick::cli {

// The command line of query, as given.
struct QueryRequest {
  std::string store;  // "local", "network", "text", or empty for the settings' choice
  std::string since, until, appName, userName, severity, grep, limit;
  bool json = false;
  bool csv = false;
  std::string configDir;  // the folder of Ledgwk.ini
  std::string homeDir;    // the daemon's home: the text log's folder unless TextPath says
};

// The filter of `request`, with relative times counted back from `now`. Raises
// UsageError for a value that is not one of the documented forms.
recordkit::EventFilter FilterOf(const QueryRequest& request, double now);

// The reader of the store `request` names (see the settings' choice in the README).
// Raises std::runtime_error naming the settings file when the settings name no
// such store, or a store of a kind that cannot be read.
std::unique_ptr<recordkit::LogReader> ReaderFor(const QueryRequest& request);

// Reads and prints. What the reader passed over goes to `notes`, a line each; a
// store that cannot be read raises std::runtime_error with the reader's message.
void Query(const QueryRequest& request, const automation::Clock& clock, std::ostream& out, std::ostream& notes);

// tail -f: after what Query printed, every event the daemon writes from now on that
// meets the request's filter, in the request's form (a table row, a JSON line, a CSV
// row, without headers), as it is written. Says on `notes` when it follows; returns
// only by raising (ConnectError when the connection ends).
void Follow(const QueryRequest& request, client::Connection& connection, const automation::Clock& clock,
            std::ostream& out, std::ostream& notes);

// An event as the daemon hands it to a follower: a packed record's fields in the
// forms the readers give them.
recordkit::LoggedEvent EventOfRecord(const recordkit::PackedFields& fields);

// One CSV field, quoted when it must be (RFC 4180).
std::string CsvField(const std::string& text);

}  // namespace ledgerwick::cli
