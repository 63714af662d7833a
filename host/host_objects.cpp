#include "host/host_objects.h"

#include "host/application_server.h"
#include "host/property_servers.h"

namespace ledgerwick::host {

namespace wire = automation::wire;

HostObjects::HostObjects(ProcessState& processState)
    : state(processState),
      // Nothing may block on the daemon's loop, so incoming objects get no wait scope.
      bridge_([this](const std::shared_ptr<automation::Dispatch>& object) { return ServeTyped(object); }, nullptr,
              nullptr) {}

kj::Maybe<wire::Dispatch::Client> HostObjects::ServeTyped(const std::shared_ptr<automation::Dispatch>& object) {
  if (auto set = std::dynamic_pointer_cast<recordkit::PropertySet>(object)) {
    return wire::Dispatch::Client(rpc::PropertySet::Client(kj::heap<PropertySetServer>(set, *this)));
  }
  if (auto property = std::dynamic_pointer_cast<recordkit::Property>(object)) {
    return wire::Dispatch::Client(rpc::Property::Client(kj::heap<PropertyServer>(property, *this)));
  }
  if (auto application = std::dynamic_pointer_cast<Application>(object)) {
    return wire::Dispatch::Client(rpc::Application::Client(kj::heap<ApplicationServer>(application, *this)));
  }
  return nullptr;
}

}  // namespace ledgerwick::host
