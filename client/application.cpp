#include "client/application.h"

#include "automation/automation_error.h"
#include "automation/variant_codec.h"
#include "remoting/rpc_status.h"

namespace ledgerwick::client {

using automation::Variant;

namespace {

std::string Text(capnp::Text::Reader text) { return std::string(text.cStr(), text.size()); }

// Sends the request, waits and checks the status; answers the response.
template <typename Request>
auto Call(Connection& connection, Request&& request) {
  auto response = connection.Wait(request.send());
  remoting::CheckStatus(response.getStatus());
  return response;
}

// The bytes a record travels as. A value that is no packed record travels as bytes
// that are none either, so the daemon answers it as Loggit answers such a vData.
kj::ArrayPtr<const kj::byte> BytesOf(const Variant& value) {
  static const kj::byte kNoRecord[1] = {0};
  const Variant& record = value.deref();
  if (record.isEmpty()) return nullptr;
  if (!record.isArray() || record.array().elementType() != automation::VarType::Byte ||
      record.array().dimensions() != 1) {
    return kj::arrayPtr(kNoRecord, 1);
  }
  const std::vector<uint8_t>& bytes = record.array().bytes();
  return kj::arrayPtr(bytes.data(), bytes.size());
}

// Room for a batch call of `count` records of `bytes` in all, so that the message is
// built in one segment of its own size: a message's first segment is otherwise 8 KB,
// cleared before use, for a call that mostly carries a record of about 1 KB, and a
// large batch would grow in a chain of segments.
capnp::MessageSize BatchRequestSize(size_t count, size_t bytes) {
  // The params struct and the list's pointer, one pointer per record, each record
  // padded to whole words.
  return {4 + 2 * count + bytes / sizeof(capnp::word), 0};
}

}  // namespace

Application::Application(const Options& options) : Application(Connection::Open(options)) {}

Application::Application(std::shared_ptr<Connection> connection)
    : connection_(std::move(connection)),
      capability_(connection_->Create(rpc::PROG_ID_APPLICATION.get().cStr()).castAs<rpc::Application>()),
      batch_(capability_.castAs<rpc::EventBatch>()) {}

Application::~Application() {
  // Dropping the capability only queues its release on the connection's loop; one
  // turn of it sends the release now rather than with this client's next call.
  capability_ = nullptr;
  batch_ = nullptr;
  if (!connection_) return;
  try {
    connection_->waitScope().poll();
  } catch (...) {
    // Inside a callback of the loop (or with the connection broken) the release goes
    // out with the loop's next turn, or with the connection.
  }
}

std::string Application::GetDescription() {
  return Text(Call(*connection_, capability_.getDescriptionRequest()).getValue());
}

void Application::SetDescription(const std::string& value) {
  auto request = capability_.setDescriptionRequest();
  request.setValue(value);
  Call(*connection_, request);
}

Variant Application::GetKey() {
  auto response = Call(*connection_, capability_.getKeyRequest());
  return automation::ReadVariant(response.getValue(), connection_->codec());
}

void Application::SetKey(const Variant& value) {
  auto request = capability_.setKeyRequest();
  automation::WriteVariant(value, request.initValue(), connection_->codec());
  Call(*connection_, request);
}

void Application::SetKeyRef(const Variant& value) {
  auto request = capability_.setKeyRefRequest();
  automation::WriteVariant(value, request.initValue(), connection_->codec());
  Call(*connection_, request);
}

void Application::Loggit(Variant& vData) {
  // The daemon would refuse it for its size (or, past its message limit, drop the
  // connection); it is not sent.
  if (const size_t bytes = BytesOf(vData).size(); bytes > recordkit::kMaxPackedRecordBytes) {
    throw automation::AutomationError(automation::err::kOutOfMemory, recordkit::RecordTooLargeMessage(bytes));
  }
  auto request = capability_.loggitRequest();
  automation::WriteVariant(vData, request.initVData(), connection_->codec());
  auto response = Call(*connection_, request);
  vData.deref() = automation::ReadVariant(response.getVData(), connection_->codec());
}

void Application::Loggit() {
  Variant empty;
  Loggit(empty);
}

Variant Application::Pack(const recordkit::PropertySet& fields) const {
  Variant record;
  if (int32_t number = packer_.PackProperties(record, fields); number != 0) {
    throw automation::AutomationError(number);
  }
  // The daemon would refuse it; it is not sent.
  if (const size_t bytes = record.array().bytes().size(); bytes > recordkit::kMaxPackedRecordBytes) {
    throw automation::AutomationError(automation::err::kOutOfMemory, recordkit::RecordTooLargeMessage(bytes));
  }
  return record;
}

void Application::Loggit(const recordkit::PropertySet& fields) {
  const automation::Status status = connection_->Wait(LoggitAsync(fields));
  if (!status.ok()) throw automation::AutomationError(status.number, status.description);
}

kj::Promise<std::vector<automation::Status>> Application::LoggitBatchAsync(const std::vector<Variant>& records) {
  // A record the daemon would refuse for its size is answered here and not sent.
  std::vector<automation::Status> answers(records.size());
  std::vector<size_t> sent;
  sent.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    const size_t bytes = BytesOf(records[i]).size();
    if (bytes > recordkit::kMaxPackedRecordBytes) {
      answers[i] = {automation::err::kOutOfMemory, recordkit::RecordTooLargeMessage(bytes)};
    } else {
      sent.push_back(i);
    }
  }
  // Calls of at most kBatchBytes, sent one after the other without waiting; the
  // daemon answers them in call order, so their statuses join in the records' order.
  kj::Vector<kj::Promise<std::vector<automation::Status>>> calls;
  size_t first = 0;
  while (first < sent.size()) {
    size_t end = first;
    size_t bytes = 0;
    while (end < sent.size() && (end == first || bytes + BytesOf(records[sent[end]]).size() <= kBatchBytes)) {
      bytes += BytesOf(records[sent[end]]).size();
      ++end;
    }
    auto request = batch_.loggitBatchRequest(BatchRequestSize(end - first, bytes));
    auto list = request.initRecords(static_cast<unsigned>(end - first));
    for (size_t i = first; i < end; ++i) list.set(static_cast<unsigned>(i - first), BytesOf(records[sent[i]]));
    const size_t count = end - first;
    calls.add(request.send().then([count](auto response) {
      remoting::CheckStatus(response.getStatus());
      auto statuses = response.getStatuses();
      if (statuses.size() != count) throw automation::AutomationError(automation::err::kAutomationError);
      std::vector<automation::Status> part;
      part.reserve(count);
      for (auto status : statuses) part.push_back({status.getNumber(), status.getDescription().cStr()});
      return part;
    }));
    first = end;
  }
  return kj::joinPromises(calls.releaseAsArray())
      .then([answers = std::move(answers), sent = std::move(sent)](
                kj::Array<std::vector<automation::Status>> parts) mutable {
        size_t next = 0;
        for (auto& part : parts) {
          for (auto& status : part) answers[sent[next++]] = std::move(status);
        }
        return std::move(answers);
      });
}

std::vector<automation::Status> Application::LoggitBatch(const std::vector<Variant>& records) {
  return connection_->Wait(LoggitBatchAsync(records));
}

kj::Promise<automation::Status> Application::LoggitAsync(const recordkit::PropertySet& fields) {
  // One record through the batch door: the same steps as Loggit, and an answer that
  // does not carry the record back.
  const Variant record = Pack(fields);
  const kj::ArrayPtr<const kj::byte> bytes = BytesOf(record);
  auto request = batch_.loggitBatchRequest(BatchRequestSize(1, bytes.size()));
  request.initRecords(1).set(0, bytes);
  return request.send().then([](auto response) {
    auto status = response.getStatus();
    if (status.getNumber() != 0) return automation::Status{status.getNumber(), status.getDescription().cStr()};
    auto statuses = response.getStatuses();
    if (statuses.size() != 1) return automation::Status::Error(automation::err::kAutomationError);
    return automation::Status{statuses[0].getNumber(), statuses[0].getDescription().cStr()};
  });
}

std::string Application::GetAppName() {
  return Text(Call(*connection_, capability_.getAppNameRequest()).getValue());
}

void Application::SetAppName(const std::string& szAppName) {
  auto request = capability_.setAppNameRequest();
  request.setSzAppName(szAppName);
  Call(*connection_, request);
}

std::string Application::GetName() { return Text(Call(*connection_, capability_.getNameRequest()).getValue()); }

int32_t Application::GetLogMethod() { return Call(*connection_, capability_.getLogMethodRequest()).getValue(); }

void Application::SetLogMethod(int32_t lMeth) {
  auto request = capability_.setLogMethodRequest();
  request.setLMeth(lMeth);
  Call(*connection_, request);
}

void Application::SetArrayData(Variant& value) {
  auto request = capability_.setArrayDataRequest();
  automation::WriteVariant(value, request.initValue(), connection_->codec());
  auto response = Call(*connection_, request);
  value.deref() = automation::ReadVariant(response.getValue(), connection_->codec());
}

Variant Application::GetArrayData() {
  auto response = Call(*connection_, capability_.getArrayDataRequest());
  return automation::ReadVariant(response.getValue(), connection_->codec());
}

Variant Application::GetFieldMap() {
  auto response = Call(*connection_, capability_.getFieldMapRequest());
  return automation::ReadVariant(response.getValue(), connection_->codec());
}

PropertySet Application::GetProperties() {
  // Pipelined: the set is usable at once; its status is checked with the first call on it.
  auto promise = capability_.getPropertiesRequest().send();
  rpc::PropertySet::Client set = promise.getProperties();
  kj::Promise<void> check = promise.then([](capnp::Response<rpc::Application::GetPropertiesResults>&& response) {
    remoting::CheckStatus(response.getStatus());
  });
  return PropertySet(connection_, kj::mv(set), PendingChecks().With(kj::mv(check)));
}

Variant Application::GetFields(int16_t FieldNo) {
  auto request = capability_.getFieldsRequest();
  request.setFieldNo(FieldNo);
  auto response = Call(*connection_, request);
  return automation::ReadVariant(response.getValue(), connection_->codec());
}

void Application::SetFields(int16_t FieldNo, Variant& value) {
  auto request = capability_.setFieldsRequest();
  request.setFieldNo(FieldNo);
  automation::WriteVariant(value, request.initValue(), connection_->codec());
  auto response = Call(*connection_, request);
  value.deref() = automation::ReadVariant(response.getValue(), connection_->codec());
}

int32_t Application::Destroy() { return Call(*connection_, capability_.destroyRequest()).getResult(); }

bool Application::GetReady() { return Call(*connection_, capability_.getReadyRequest()).getValue(); }

Variant Application::Invoke(automation::DispId dispId, uint16_t flags, std::vector<Variant>& args) {
  return InvokeRemote(*connection_, capability_, PendingChecks(), dispId, flags, args);
}

std::vector<automation::DispId> Application::GetIDsOfNames(const std::vector<std::string>& names) {
  return GetIDsOfNamesRemote(*connection_, capability_, PendingChecks(), names);
}

automation::Variant Application::AsObject() {
  return automation::Variant::Object(connection_->codec()->fromWire(capability_.castAs<automation::wire::Dispatch>()));
}

}  // namespace ledgerwick::client
