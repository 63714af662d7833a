#pragma once
// The text log: one line of 19 tab-separated columns per record, appended to
// TextLogPath with one open, write and close per record.

#include <cstdint>
#include <string>

#include "automation/variant.h"
#include "startup/process_state.h"

namespace ledgerwick {

constexpr int kTextLogColumns = 19;
constexpr const char* kTextLogName = "Ledgwk.log";

// Renders the record as one line without its CR LF. A record the packer rejects
// renders as the empty text. A column whose value cannot become text is written
// empty with one fault entry; tab, CR and LF inside a value become one blank each.
std::string FormatLogLine(ProcessState& state, automation::Variant& record);

// Appends the rendered line and CR LF to TextLogPath, creating the file when
// missing. 0 when written; otherwise one fault entry with the error's description
// and that error's number.
int32_t WriteToTextFile(ProcessState& state, automation::Variant& record);

}  // namespace ledgerwick
