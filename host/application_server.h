#pragma once
// Serves one Application to a client. The adapter holds the object; when the client
// drops its reference or disconnects, the adapter goes and with it the object, whose
// destructor counts the instance down.

#include <memory>

#include "host/connection_objects.h"
#include "host/host_objects.h"
#include "server/application.h"
#include "server/ledgerwick.capnp.h"

namespace ledgerwick::host {

// Room for the answer to a batch of `records` in one segment of its own size (else
// 8 KB, cleared before use): the results and their status, and per record a status
// of three words (its number, the pointer to its description, and the description,
// which is an empty text when the record was taken). A failed record's description
// takes a segment more.
capnp::MessageSize BatchAnswerSize(size_t records);

// Serves both of the object's interfaces: _Application and its event batch door.
class ApplicationServer final : public rpc::BatchingApplication::Server {
 public:
  // `slot`, when counted, is the room the object takes on its client's connection.
  ApplicationServer(std::shared_ptr<Application> application, HostObjects& host,
                    ConnectionObjects::Slot slot = ConnectionObjects::Slot());
  ~ApplicationServer();
  ApplicationServer(const ApplicationServer&) = delete;
  ApplicationServer& operator=(const ApplicationServer&) = delete;

 protected:
  kj::Promise<void> getDescription(GetDescriptionContext context) override;
  kj::Promise<void> setDescription(SetDescriptionContext context) override;
  kj::Promise<void> getKey(GetKeyContext context) override;
  kj::Promise<void> setKey(SetKeyContext context) override;
  kj::Promise<void> setKeyRef(SetKeyRefContext context) override;
  kj::Promise<void> loggit(LoggitContext context) override;
  kj::Promise<void> getAppName(GetAppNameContext context) override;
  kj::Promise<void> setAppName(SetAppNameContext context) override;
  kj::Promise<void> getName(GetNameContext context) override;
  kj::Promise<void> getLogMethod(GetLogMethodContext context) override;
  kj::Promise<void> setLogMethod(SetLogMethodContext context) override;
  kj::Promise<void> setArrayData(SetArrayDataContext context) override;
  kj::Promise<void> getArrayData(GetArrayDataContext context) override;
  kj::Promise<void> getFieldMap(GetFieldMapContext context) override;
  kj::Promise<void> getProperties(GetPropertiesContext context) override;
  kj::Promise<void> getFields(GetFieldsContext context) override;
  kj::Promise<void> setFields(SetFieldsContext context) override;
  kj::Promise<void> destroy(DestroyContext context) override;
  kj::Promise<void> getReady(GetReadyContext context) override;
  kj::Promise<void> invoke(InvokeContext context) override;
  kj::Promise<void> getIdsOfNames(GetIdsOfNamesContext context) override;
  kj::Promise<void> loggitBatch(LoggitBatchContext context) override;

 private:
  std::shared_ptr<Application> application_;
  HostObjects& host_;
  ConnectionObjects::Slot slot_;
};

}  // namespace ledgerwick::host
