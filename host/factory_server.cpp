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
  std::shared_ptr<Application> application;
  auto slot = std::make_shared<ConnectionObjects::Slot>();
  kj::Promise<void> answer = Answer(context, [&](auto&) {
    auto progId = context.getParams().getProgId();
    if (!recordkit::NamesEqual(std::string(progId.cStr(), progId.size()), kApplicationProgId)) {
      throw automation::AutomationError(automation::err::kCantCreateObject);
    }
    *slot = ConnectionObjects::Take(objects_);
    // Construction runs start-up for the first object of the process.
    application = std::make_shared<Application>(host_.state, sender_);
    objects_->Made(application);
  });
  if (!application) return answer;
  // The object is handed over once start-up has run; the loop serves other clients
  // while the stores answer.
  return application->WhenStarted().then([this, context, application, slot]() mutable {
    context.getResults().setObject(
        rpc::Application::Client(kj::heap<ApplicationServer>(application, host_, std::move(*slot))));
  });
}

kj::Promise<void> FactoryServer::admin(AdminContext context) {
  return Answer(context, [&](auto& results) { results.setAdmin(kj::heap<AdminServer>(host_, sender_.hasCredentials || sender_.verified)); });
}

}  // namespace ledgerwick::host
