#pragma once
// A remote Application's PropertySet and its fields. Calls are pipelined:
// app.Properties().Item("AppName").SetValue(v) sends all three calls at once and
// waits once; a failure of an earlier step is the one reported.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "automation/variant.h"
#include "client/connection.h"

namespace ledgerwick::client {

// The statuses of the pipelined calls that produced a capability, checked before the
// answer of a call made on it is believed.
class PendingChecks {
 public:
  PendingChecks() = default;
  PendingChecks With(kj::Promise<void> check) const;
  // Raises the first failure among them.
  void Verify(Connection& connection) const;

 private:
  std::vector<std::shared_ptr<kj::ForkedPromise<void>>> checks_;
};

class Property {
 public:
  Property(std::shared_ptr<Connection> connection, rpc::Property::Client capability, PendingChecks checks);

  std::string Name();
  automation::Variant Value();
  void SetValue(const automation::Variant& value);
  bool Mapped();

  automation::Variant Invoke(automation::DispId dispId, uint16_t flags, std::vector<automation::Variant>& args);

 private:
  std::shared_ptr<Connection> connection_;
  rpc::Property::Client capability_;
  PendingChecks checks_;
};

class PropertySet {
 public:
  PropertySet(std::shared_ptr<Connection> connection, rpc::PropertySet::Client capability, PendingChecks checks);

  // The field so named, matched without regard to case. Pipelined: a missing name is
  // reported by the first call made on the Property.
  Property Item(const std::string& name);
  uint32_t Count();
  // Enumeration: the field at `index` (0 .. Count()-1) in the set's stable order.
  Property ItemAt(uint32_t index);

  automation::Variant Invoke(automation::DispId dispId, uint16_t flags, std::vector<automation::Variant>& args);
  std::vector<automation::DispId> GetIDsOfNames(const std::vector<std::string>& names);

 private:
  std::shared_ptr<Connection> connection_;
  rpc::PropertySet::Client capability_;
  PendingChecks checks_;
};

// Late-bound calls on any remote object, shared by the wrappers.
automation::Variant InvokeRemote(Connection& connection, automation::wire::Dispatch::Client capability,
                                 const PendingChecks& checks, automation::DispId dispId, uint16_t flags,
                                 std::vector<automation::Variant>& args);
std::vector<automation::DispId> GetIDsOfNamesRemote(Connection& connection,
                                                    automation::wire::Dispatch::Client capability,
                                                    const PendingChecks& checks,
                                                    const std::vector<std::string>& names);

}  // namespace ledgerwick::client
