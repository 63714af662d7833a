#include "host/property_servers.h"

#include <string>

#include "automation/automation_error.h"
#include "automation/variant_codec.h"
#include "host/answer.h"

namespace ledgerwick::host {

kj::Promise<void> PropertySetServer::item(ItemContext context) {
  return Answer(context, [&](auto& results) {
    auto name = context.getParams().getName();
    results.setProperty(kj::heap<PropertyServer>(set_->Item(std::string(name.cStr(), name.size())), host_));
  });
}

kj::Promise<void> PropertySetServer::count(CountContext context) {
  return Answer(context, [&](auto& results) { results.setCount(static_cast<uint32_t>(set_->Count())); });
}

kj::Promise<void> PropertySetServer::itemAt(ItemAtContext context) {
  return Answer(context, [&](auto& results) {
    uint32_t index = context.getParams().getIndex();
    const auto& properties = set_->Properties();
    if (index >= properties.size()) throw automation::AutomationError(automation::err::kSubscriptOutOfRange);
    results.setProperty(kj::heap<PropertyServer>(properties[index], host_));
  });
}

kj::Promise<void> PropertySetServer::invoke(InvokeContext context) {
  return remoting::ServeInvoke(set_, host_.bridge(), context);
}

kj::Promise<void> PropertySetServer::getIdsOfNames(GetIdsOfNamesContext context) {
  return remoting::ServeGetIdsOfNames(*set_, context);
}

kj::Promise<void> PropertyServer::getName(GetNameContext context) {
  return Answer(context, [&](auto& results) { results.setName(property_->Name()); });
}

kj::Promise<void> PropertyServer::getValue(GetValueContext context) {
  return Answer(context, [&](auto& results) {
    automation::WriteVariant(property_->Value(), results.initValue(), host_.codec());
  });
}

kj::Promise<void> PropertyServer::setValue(SetValueContext context) {
  return Answer(context, [&](auto&) {
    property_->SetValue(automation::ReadVariant(context.getParams().getValue(), host_.codec()));
  });
}

kj::Promise<void> PropertyServer::getMapped(GetMappedContext context) {
  return Answer(context, [&](auto& results) { results.setMapped(property_->Mapped()); });
}

kj::Promise<void> PropertyServer::invoke(InvokeContext context) {
  return remoting::ServeInvoke(property_, host_.bridge(), context);
}

kj::Promise<void> PropertyServer::getIdsOfNames(GetIdsOfNamesContext context) {
  return remoting::ServeGetIdsOfNames(*property_, context);
}

}  // namespace ledgerwick::host
