#include "host/application_server.h"

#include <string>

#include "automation/variant_codec.h"
#include "host/answer.h"
#include "host/property_servers.h"

namespace ledgerwick::host {

using automation::ReadVariant;
using automation::Variant;
using automation::WriteVariant;

namespace {
std::string Text(capnp::Text::Reader text) { return std::string(text.cStr(), text.size()); }
}  // namespace

ApplicationServer::ApplicationServer(std::shared_ptr<Application> application, HostObjects& host,
                                     ConnectionObjects::Slot slot)
    : application_(std::move(application)), host_(host), slot_(std::move(slot)) {
  ++host_.liveObjects;
}

ApplicationServer::~ApplicationServer() { --host_.liveObjects; }

kj::Promise<void> ApplicationServer::getDescription(GetDescriptionContext context) {
  return Answer(context, [&](auto& results) { results.setValue(application_->GetDescription()); });
}

kj::Promise<void> ApplicationServer::setDescription(SetDescriptionContext context) {
  return Answer(context, [&](auto&) { application_->SetDescription(Text(context.getParams().getValue())); });
}

kj::Promise<void> ApplicationServer::getKey(GetKeyContext context) {
  return Answer(context, [&](auto& results) {
    WriteVariant(application_->GetKey(), results.initValue(), host_.codec());
  });
}

kj::Promise<void> ApplicationServer::setKey(SetKeyContext context) {
  return Answer(context, [&](auto&) {
    application_->SetKey(ReadVariant(context.getParams().getValue(), host_.codec()));
  });
}

kj::Promise<void> ApplicationServer::setKeyRef(SetKeyRefContext context) {
  return Answer(context, [&](auto&) {
    application_->SetKeyRef(ReadVariant(context.getParams().getValue(), host_.codec()));
  });
}

kj::Promise<void> ApplicationServer::loggit(LoggitContext context) {
  Variant vData;
  try {
    vData = ReadVariant(context.getParams().getVData(), host_.codec());
    application_->QueueEvent(vData);
  } catch (...) {
    remoting::SetError(context.initResults().initStatus(), automation::AutomationError::FromCurrentException());
    return kj::READY_NOW;
  }
  context.releaseParams();
  // Answered once the event is journalled, with the other calls of this turn.
  return application_->CommitEventsSoon().then(
      [codec = host_.codec(), context, vData = std::move(vData)](automation::Status committed) mutable {
        return Answer(context, [&](auto& results) {
          if (!committed.ok()) throw automation::AutomationError(committed.number, committed.description);
          WriteVariant(vData, results.initVData(), codec);
        });
      });
}

capnp::MessageSize BatchAnswerSize(size_t records) {
  // The results struct, the status struct and its empty description, the list's tag.
  return {8 + 3 * uint64_t{records}, 0};
}

kj::Promise<void> ApplicationServer::loggitBatch(LoggitBatchContext context) {
  try {
    auto records = context.getParams().getRecords();
    auto statuses = context.getResults(BatchAnswerSize(records.size())).initStatuses(records.size());
    size_t queued = 0;
    for (unsigned i = 0; i < records.size(); ++i) {
      // The same steps as a Loggit call whose vData holds the record, read from the
      // call's message where it lies.
      auto bytes = records[i];
      try {
        if (bytes.size() > 0) {
          application_->QueueEvent(kj::arrayPtr(bytes.begin(), bytes.size()));
        } else {
          Variant empty;
          application_->QueueEvent(empty);
        }
        remoting::SetOk(statuses[i]);
        ++queued;
      } catch (...) {
        remoting::SetError(statuses[i], automation::AutomationError::FromCurrentException());
      }
    }
    context.releaseParams();
    if (queued == 0) return Answer(context, [](auto&) {});
    // Answered once the events are journalled; should that fail, no event of the
    // call is answered as taken.
    return application_->CommitEventsSoon().then([context](automation::Status committed) mutable {
      auto results = context.getResults();
      if (!committed.ok()) {
        const automation::AutomationError failure(committed.number, committed.description);
        auto statuses = results.getStatuses();
        for (unsigned i = 0; i < statuses.size(); ++i) {
          if (statuses[i].getNumber() == 0) remoting::SetError(statuses[i], failure);
        }
      }
      remoting::SetOk(results.initStatus());
    });
  } catch (...) {
    remoting::SetError(context.initResults().initStatus(), automation::AutomationError::FromCurrentException());
    return kj::READY_NOW;
  }
}

kj::Promise<void> ApplicationServer::getAppName(GetAppNameContext context) {
  return Answer(context, [&](auto& results) { results.setValue(application_->GetAppName()); });
}

kj::Promise<void> ApplicationServer::setAppName(SetAppNameContext context) {
  return Answer(context, [&](auto&) { application_->SetAppName(Text(context.getParams().getSzAppName())); });
}

kj::Promise<void> ApplicationServer::getName(GetNameContext context) {
  return Answer(context, [&](auto& results) { results.setValue(application_->GetName()); });
}

kj::Promise<void> ApplicationServer::getLogMethod(GetLogMethodContext context) {
  return Answer(context, [&](auto& results) { results.setValue(application_->GetLogMethod()); });
}

kj::Promise<void> ApplicationServer::setLogMethod(SetLogMethodContext context) {
  return Answer(context, [&](auto&) { application_->SetLogMethod(context.getParams().getLMeth()); });
}

kj::Promise<void> ApplicationServer::setArrayData(SetArrayDataContext context) {
  return Answer(context, [&](auto& results) {
    Variant value = ReadVariant(context.getParams().getValue(), host_.codec());
    application_->SetArrayData(value);
    WriteVariant(value, results.initValue(), host_.codec());
  });
}

kj::Promise<void> ApplicationServer::getArrayData(GetArrayDataContext context) {
  return Answer(context, [&](auto& results) {
    WriteVariant(application_->GetArrayData(), results.initValue(), host_.codec());
  });
}

kj::Promise<void> ApplicationServer::getFieldMap(GetFieldMapContext context) {
  return Answer(context, [&](auto& results) {
    WriteVariant(application_->GetFieldMap(), results.initValue(), host_.codec());
  });
}

kj::Promise<void> ApplicationServer::getProperties(GetPropertiesContext context) {
  return Answer(context, [&](auto& results) {
    results.setProperties(kj::heap<PropertySetServer>(application_->GetProperties(), host_));
  });
}

kj::Promise<void> ApplicationServer::getFields(GetFieldsContext context) {
  return Answer(context, [&](auto& results) {
    int16_t fieldNo = context.getParams().getFieldNo();
    WriteVariant(application_->GetFields(fieldNo), results.initValue(), host_.codec());
  });
}

kj::Promise<void> ApplicationServer::setFields(SetFieldsContext context) {
  return Answer(context, [&](auto& results) {
    auto params = context.getParams();
    int16_t fieldNo = params.getFieldNo();
    Variant value = ReadVariant(params.getValue(), host_.codec());
    application_->SetFields(fieldNo, value);
    WriteVariant(value, results.initValue(), host_.codec());
  });
}

kj::Promise<void> ApplicationServer::destroy(DestroyContext context) {
  // The object stays alive until the answer, whatever the client does meanwhile.
  std::shared_ptr<Application> application = application_;
  return kj::evalNow([&]() { return application->Destroy(); })
      .then(
          [context, application](int32_t result) mutable {
            auto results = context.getResults();
            results.setResult(result);
            remoting::SetOk(results.initStatus());
          },
          [context](kj::Exception&& e) mutable {
            remoting::SetError(context.initResults().initStatus(), remoting::ErrorOf(e));
          });
}

kj::Promise<void> ApplicationServer::getReady(GetReadyContext context) {
  return Answer(context, [&](auto& results) { results.setValue(application_->GetReady()); });
}

kj::Promise<void> ApplicationServer::invoke(InvokeContext context) {
  return remoting::ServeInvoke(application_, host_.bridge(), context);
}

kj::Promise<void> ApplicationServer::getIdsOfNames(GetIdsOfNamesContext context) {
  return remoting::ServeGetIdsOfNames(*application_, context);
}

}  // namespace ledgerwick::host
