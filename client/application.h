#pragma once
// ledgerwick::client::Application: a remote Application in ledgerwickd, with every
// member of _Application, called and answered in one round trip each. Errors arrive
// as automation::AutomationError with the daemon's number and description; a lost or
// unreachable daemon as ConnectError.
//
//   ledgerwick::client::Application app;               // connects, starting the daemon
//   app.Properties().Item("AppName").SetValue(automation::Variant::String("demo"));
//   app.Loggit();

#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "automation/automation_error.h"  // what its calls raise, for callers to catch
#include "automation/status.h"
#include "automation/variant.h"
#include "client/connection.h"
#include "client/remote_properties.h"
#include "recordkit/property_packer.h"
#include "recordkit/property_set.h"

namespace ledgerwick::client {

class Application {
 public:
  // Creates a new Application in the daemon, on a connection of its own.
  explicit Application(const Options& options = {});
  // Creates a new Application on an open connection, which it keeps open.
  explicit Application(std::shared_ptr<Connection> connection);
  // Releases the daemon's object at once.
  ~Application();
  // Not copyable: a capability client copies only from a non-const one, so a
  // defaulted copy would be deleted anyway; say so.
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Members in interface order.
  std::string GetDescription();
  void SetDescription(const std::string& value);
  automation::Variant GetKey();
  void SetKey(const automation::Variant& value);
  void SetKeyRef(const automation::Variant& value);
  // `vData` is Empty or a PackedRecord; it comes back as the daemon left it.
  void Loggit(automation::Variant& vData);
  std::string GetAppName();
  void SetAppName(const std::string& szAppName);
  std::string GetName();
  int32_t GetLogMethod();
  void SetLogMethod(int32_t lMeth);
  void SetArrayData(automation::Variant& value);
  automation::Variant GetArrayData();
  automation::Variant GetFieldMap();
  PropertySet GetProperties();
  automation::Variant GetFields(int16_t FieldNo);
  void SetFields(int16_t FieldNo, automation::Variant& value);
  int32_t Destroy();
  bool GetReady();

  // Late-bound access by dispatch id; by-reference arguments come back changed.
  automation::Variant Invoke(automation::DispId dispId, uint16_t flags, std::vector<automation::Variant>& args);
  std::vector<automation::DispId> GetIDsOfNames(const std::vector<std::string>& names);

  // Shorthands.
  PropertySet Properties() { return GetProperties(); }
  void Loggit();  // the fields already set through Properties
  // Packs `fields` here and hands the record over: a whole event in one round trip.
  void Loggit(const recordkit::PropertySet& fields);
  // The same without waiting for the answer, so that many events are in flight on
  // the connection at once; the daemon answers them in call order. Resolves to the
  // call's status (0, or the daemon's error number and description); rejects only
  // when the connection breaks (Connection::Wait turns that into ConnectError). A
  // record that cannot be packed raises here, before anything is sent.
  kj::Promise<automation::Status> LoggitAsync(const recordkit::PropertySet& fields);

  // Many events in few calls, through the object's batch door: each record (Empty or
  // a PackedRecord, as Loggit's vData) goes through Loggit's steps on this object, in
  // order. Answers one status per record, in the records' order; a record that
  // fails does not stop the others. A value that is neither Empty nor a byte array
  // answers 13, as Loggit does, and one larger than kMaxPackedRecordBytes answers 7
  // without being sent. Records go in calls of at most kBatchBytes (and a record
  // larger than that in a call of its own), all sent at once.
  static constexpr size_t kBatchBytes = 4 << 20;
  kj::Promise<std::vector<automation::Status>> LoggitBatchAsync(const std::vector<automation::Variant>& records);
  std::vector<automation::Status> LoggitBatch(const std::vector<automation::Variant>& records);

  // The PackedRecord of `fields`, as Loggit(fields) would send it; raises the
  // packer's number when they cannot be packed.
  automation::Variant Pack(const recordkit::PropertySet& fields) const;

  const std::shared_ptr<Connection>& connection() const { return connection_; }

  // This object as an object reference, for a member that takes one (SetKeyRef, a
  // field's value): the daemon gets its own object back.
  automation::Variant AsObject();

 private:
  std::shared_ptr<Connection> connection_;
  rpc::Application::Client capability_;
  rpc::EventBatch::Client batch_;
  recordkit::PropertyPacker packer_;
};

}  // namespace ledgerwick::client
