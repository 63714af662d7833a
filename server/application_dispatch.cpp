// Late-bound access to Application: each member by its dispatch id, with arguments
// coerced to the member's parameter types as the runtime coerces them.

#include <array>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "recordkit/property_set.h"
#include "server/application.h"
#include "server/dispatch_ids.h"

namespace ledgerwick {

namespace {

using automation::AutomationError;
using automation::DispId;
using automation::Variant;
using automation::VarType;
namespace err = automation::err;
namespace flags = automation::dispatch_flags;

struct MemberName {
  const char* name;
  DispId dispId;
  std::vector<const char*> parameters;  // names of the parameters, in order
};

const std::array<MemberName, 12> kMembers = {{
    {"Description", dispid::kDescription, {}},
    {"Key", dispid::kKey, {}},
    {"Loggit", dispid::kLoggit, {"vData"}},
    {"AppName", dispid::kAppName, {"szAppName"}},
    {"Name", dispid::kName, {}},
    {"LogMethod", dispid::kLogMethod, {"lMeth"}},
    {"ArrayData", dispid::kArrayData, {}},
    {"FieldMap", dispid::kFieldMap, {}},
    {"Properties", dispid::kProperties, {}},
    {"Fields", dispid::kFields, {"FieldNo"}},
    {"Destroy", dispid::kDestroy, {}},
    {"Ready", dispid::kReady, {}},
}};

bool IsGet(uint16_t f) { return (f & flags::kPropertyGet) != 0; }
bool IsMethod(uint16_t f) { return (f & flags::kMethod) != 0; }
bool IsPut(uint16_t f) { return f == flags::kPropertyPut; }
bool IsPutRef(uint16_t f) { return f == flags::kPropertyPutRef; }

void RequireCount(const std::vector<Variant>& args, size_t count) {
  if (args.size() != count) throw AutomationError(err::kWrongArgumentCount);
}

std::string TextArg(const Variant& arg) { return automation::ChangeType(arg, VarType::String).string(); }
int32_t LongArg(const Variant& arg) { return automation::ChangeType(arg, VarType::Long).lng(); }
int16_t IntegerArg(const Variant& arg) { return automation::ChangeType(arg, VarType::Integer).integer(); }

[[noreturn]] void NotSupported() { throw AutomationError(err::kNotSupported); }

}  // namespace

kj::Promise<Variant> Application::Invoke(DispId dispId, uint16_t f, std::vector<Variant>& args) {
  switch (dispId) {
    case dispid::kDescription:
      if (IsGet(f)) { RequireCount(args, 0); return Variant::String(GetDescription()); }
      if (IsPut(f)) { RequireCount(args, 1); SetDescription(TextArg(args[0])); return Variant(); }
      NotSupported();
    case dispid::kKey:
      if (IsGet(f)) { RequireCount(args, 0); return GetKey(); }
      if (IsPut(f)) { RequireCount(args, 1); SetKey(args[0]); return Variant(); }
      if (IsPutRef(f)) { RequireCount(args, 1); SetKeyRef(args[0]); return Variant(); }
      NotSupported();
    case dispid::kLoggit:
      if (IsMethod(f)) { RequireCount(args, 1); Loggit(args[0]); return Variant(); }
      NotSupported();
    case dispid::kAppName:
      if (IsGet(f)) { RequireCount(args, 0); return Variant::String(GetAppName()); }
      if (IsPut(f)) { RequireCount(args, 1); SetAppName(TextArg(args[0])); return Variant(); }
      NotSupported();
    case dispid::kName:
      if (IsGet(f)) { RequireCount(args, 0); return Variant::String(GetName()); }
      NotSupported();
    case dispid::kLogMethod:
      if (IsGet(f)) { RequireCount(args, 0); return Variant::Long(GetLogMethod()); }
      if (IsPut(f)) { RequireCount(args, 1); SetLogMethod(LongArg(args[0])); return Variant(); }
      NotSupported();
    case dispid::kArrayData:
      if (IsGet(f)) { RequireCount(args, 0); return GetArrayData(); }
      if (IsPut(f)) { RequireCount(args, 1); SetArrayData(args[0]); return Variant(); }
      NotSupported();
    case dispid::kFieldMap:
      if (IsGet(f)) { RequireCount(args, 0); return GetFieldMap(); }
      NotSupported();
    case dispid::kProperties:
      if (IsGet(f)) { RequireCount(args, 0); return Variant::Object(GetProperties()); }
      NotSupported();
    case dispid::kFields:
      if (IsGet(f)) {
        RequireCount(args, 1);
        int16_t fieldNo = IntegerArg(args[0]);
        return GetFields(fieldNo);
      }
      if (IsPut(f)) {
        RequireCount(args, 2);
        int16_t fieldNo = IntegerArg(args[0]);
        SetFields(fieldNo, args[1]);
        return Variant();
      }
      NotSupported();
    case dispid::kDestroy:
      if (IsMethod(f)) {
        RequireCount(args, 0);
        return Destroy().then([](int32_t result) { return Variant::Long(result); });
      }
      NotSupported();
    case dispid::kReady:
      if (IsGet(f)) { RequireCount(args, 0); return Variant::Boolean(GetReady()); }
      NotSupported();
    default:
      NotSupported();
  }
}

std::vector<DispId> Application::GetIDsOfNames(const std::vector<std::string>& names) {
  if (names.empty()) throw AutomationError(err::kInvalidProcedureCall);
  for (const MemberName& member : kMembers) {
    if (!recordkit::NamesEqual(member.name, names[0])) continue;
    std::vector<DispId> ids = {member.dispId};
    for (size_t i = 1; i < names.size(); ++i) {
      DispId id = -1;
      for (size_t p = 0; p < member.parameters.size(); ++p) {
        if (recordkit::NamesEqual(member.parameters[p], names[i])) id = static_cast<DispId>(p);
      }
      if (id < 0) throw AutomationError(err::kNamedArgumentNotFound);
      ids.push_back(id);
    }
    return ids;
  }
  NotSupported();
}

}  // namespace ledgerwick
