#pragma once
// Dispatch ids of the members of _Application; part of the contract with clients.

#include "automation/dispatch.h"

namespace ledgerwick::dispid {
constexpr automation::DispId kDescription = 0x40030001;
constexpr automation::DispId kKey = 0x40030004;
constexpr automation::DispId kLoggit = 0x60030007;
constexpr automation::DispId kAppName = 0x68030006;
constexpr automation::DispId kName = 0x68030005;
constexpr automation::DispId kLogMethod = 0x68030004;
constexpr automation::DispId kArrayData = 0x68030003;
constexpr automation::DispId kFieldMap = 0x68030002;
constexpr automation::DispId kProperties = 0;
constexpr automation::DispId kFields = 0x68030001;
constexpr automation::DispId kDestroy = 0x60030008;
constexpr automation::DispId kReady = 0x68030000;
}  // namespace ledgerwick::dispid
