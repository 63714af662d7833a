#pragma once
// The commands of `ledgerwick`, each on its own new Application.

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/connection.h"

namespace ledgerwick::cli {

// Wrong use of the command: exit code 2.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

struct Output {
  std::ostream& out;
  bool json = false;
};

// log: NAME=VALUE pairs as text fields, then the members of `jsonObject` as typed
// fields; one Loggit. With `fromStdin`, one JSON object a line from `in` instead,
// each logged in order through one Application, ending with a line on `summary`:
// "log -: N events handed over, M lines refused".
void Log(const client::Options& options, const std::vector<std::string>& pairs, const std::string& jsonObject,
         bool fromStdin, std::istream& in, std::ostream& summary);

// get MEMBER: Name, AppName, LogMethod, Ready, Description or FieldMap.
void Get(const client::Options& options, const std::string& member, Output output);

// set MEMBER VALUE: LogMethod, AppName or Description.
void Set(const client::Options& options, const std::string& member, const std::string& value);

// invoke DISPID: `flags` a combination of automation::dispatch_flags (method|get when
// 0); each argument a JSON value. Prints the result unless it is Empty.
void Invoke(const client::Options& options, const std::string& dispId, uint16_t flags,
            const std::vector<std::string>& args, Output output);

// status: the daemon's state and counters.
void Status(const client::Options& options, Output output);

// A dispatch id in decimal or 0x hex (all 32 bits). Raises UsageError.
int32_t ParseDispId(const std::string& text);

}  // namespace ledgerwick::cli
