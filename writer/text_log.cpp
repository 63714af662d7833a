#include "writer/text_log.h"

#include "automation/automation_error.h"
#include "automation/conversions.h"

namespace ledgerwick {

namespace {

using automation::AutomationError;
using automation::Variant;

enum class Rendering { kJoined, kTextConversion };

struct Column {
  const char* property;
  Rendering rendering;
};

// The 19 columns of a line, in order.
constexpr Column kColumns[kTextLogColumns] = {
    {"AppName", Rendering::kJoined},         {"AppVersion", Rendering::kJoined},
    {"Description", Rendering::kJoined},     {"Severity", Rendering::kTextConversion},
    {"EventCode", Rendering::kJoined},       {"AddlText", Rendering::kJoined},
    {"EventData", Rendering::kTextConversion}, {"UserName", Rendering::kJoined},
    {"EventDate", Rendering::kTextConversion}, {"EventTime", Rendering::kTextConversion},
    {"logdate", Rendering::kTextConversion}, {"LogTime", Rendering::kTextConversion},
    {"HelpFile", Rendering::kJoined},        {"HelpContext", Rendering::kJoined},
    {"SubName", Rendering::kJoined},         {"ModuleName", Rendering::kJoined},
    {"UserDescription", Rendering::kJoined}, {"UserComment", Rendering::kJoined},
    {"DetailLevel", Rendering::kTextConversion},
};

// A joined column takes a null as an empty column; a converted one raises 94 for it.
std::string RenderColumn(const Variant& value, Rendering rendering) {
  if (rendering == Rendering::kJoined && value.isNull()) return "";
  return automation::ToText(value);
}

// Keeps a record on one line of 19 columns: tab, CR and LF become one blank each.
void AppendFlat(std::string& line, const std::string& text) {
  for (char c : text) line += (c == '\t' || c == '\r' || c == '\n') ? ' ' : c;
}

}  // namespace

std::string TextLog::FormatLogLine(const Variant& record, std::vector<std::string>& faults) const {
  recordkit::PackedFields fields;
  if (int32_t number = packer_.ReadFields(record, fields); number != 0) {
    // Only a damaged record gets here; it leaves an empty line and a trace of why.
    faults.push_back("Record could not be unpacked: " + automation::StandardDescription(number));
    return "";
  }

  std::string line;
  line.reserve(256);
  for (int i = 0; i < kTextLogColumns; ++i) {
    if (i > 0) line += '\t';
    try {
      // Each column is the field a new event set would hold under its name.
      const Variant& value = fields.ValueOf(kColumns[i].property, static_cast<size_t>(i));
      AppendFlat(line, RenderColumn(value, kColumns[i].rendering));
    } catch (const AutomationError& e) {
      // The column stays empty; the rest of the record is still written.
      faults.push_back(e.description());
    }
  }
  return line;
}

TakeResult TextLog::WriteToTextFile(kj::ArrayPtr<const Variant> run) {
  std::string lines;
  std::vector<std::string> renderingFaults;
  for (const Variant& record : run) {
    lines += FormatLogLine(record, renderingFaults);
    lines += "\r\n";
  }
  automation::Status status = files_.Append(path_, lines);
  if (!status.ok()) {
    outage_.Report(status.description);
    return TakeResult{0, std::move(status)};
  }
  outage_.End();
  for (const std::string& fault : renderingFaults) faultLog_.Report(fault);
  return TakeResult{run.size(), {}};
}

}  // namespace ledgerwick
