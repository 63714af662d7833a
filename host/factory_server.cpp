#include "host/factory_server.h"

#include <memory>
#include <string>

#include "automation/automation_error.h"
#include "host/admin_server.h"
#include "host/answer.h"
#include "host/application_server.h"
#include "recordkit/property_set.h"
#include "server/application.h"

namespace ledgerwick::host {

kj::Promise<void> FactoryServer::create(CreateContext context) {
  return Answer(context, [&](auto& results) {
    auto progId = context.getParams().getProgId();
    if (!recordkit::NamesEqual(std::string(progId.cStr(), progId.size()), kApplicationProgId)) {
      throw automation::AutomationError(automation::err::kCantCreateObject);
    }
    // Construction runs start-up for the first object of the process.
    auto application = std::make_shared<Application>(host_.state);
    results.setObject(rpc::Application::Client(kj::heap<ApplicationServer>(std::move(application), host_)));
  });
}

kj::Promise<void> FactoryServer::admin(AdminContext context) {
  return Answer(context, [&](auto& results) { results.setAdmin(kj::heap<AdminServer>(host_)); });
}

}  // namespace ledgerwick::host
