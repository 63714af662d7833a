#include "writer/text_log.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "automation/automation_error.h"
#include "automation/conversions.h"
#include "recordkit/property_set.h"
#include "writer/fault_log.h"

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

// Closes the text log when rendering a line raises (out of memory) before the
// write; the normal path closes it itself to see whether the close succeeded.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Keeps a record on one line of 19 columns: tab, CR and LF become one blank each.
void Flatten(std::string& text) {
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
}

}  // namespace

std::string FormatLogLine(ProcessState& state, Variant& record) {
  auto set = recordkit::PropertySet::NewEventSet();
  if (int32_t number = state.Packer().UnpackProperties(record, *set); number != 0) {
    // Only a damaged record gets here; it leaves an empty line and a trace of why.
    ReportFault(state, "Record could not be unpacked: " + automation::StandardDescription(number));
    return "";
  }

  std::string line;
  for (int i = 0; i < kTextLogColumns; ++i) {
    if (i > 0) line += '\t';
    std::string text;
    try {
      text = RenderColumn(set->Item(kColumns[i].property)->Value(), kColumns[i].rendering);
    } catch (const AutomationError& e) {
      // The column stays empty; the rest of the record is still written.
      ReportFault(state, e.description());
      continue;
    }
    Flatten(text);
    line += text;
  }
  return line;
}

int32_t WriteToTextFile(ProcessState& state, Variant& record) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(state.TextLogPath.c_str(), "ab"));
  if (file == nullptr) {
    AutomationError error(automation::FileErrorNumber(errno));
    ReportFault(state, error.description());
    return error.number();
  }
  std::string line = FormatLogLine(state, record) + "\r\n";
  bool written = std::fwrite(line.data(), 1, line.size(), file.get()) == line.size();
  int writeErrno = errno;
  bool closed = std::fclose(file.release()) == 0;
  if (!written || !closed) {
    AutomationError error(automation::FileErrorNumber(written ? errno : writeErrno));
    ReportFault(state, error.description());
    return error.number();
  }
  return 0;
}

}  // namespace ledgerwick
