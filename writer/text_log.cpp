#include "writer/text_log.h"

#include <bit>
#include <cstdint>
#include <string_view>

#include <kj/debug.h>

#include "automation/automation_error.h"
#include "automation/conversions.h"

namespace ledgerwick {

namespace {

using automation::AutomationError;
using automation::Variant;

enum class Rendering { kJoined, kTextConversion };

// The text of the date value a column held last (by its bits), kept from record to
// record; empty until a date was rendered.
struct DateText {
  uint64_t bits = 0;
  std::string text;
};

struct Column {
  std::string_view property;
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

// Keeps a record on one line of 19 columns: tab, CR and LF from `start` on become
// one blank each.
void Flatten(std::string& line, size_t start) {
  for (size_t i = start; i < line.size(); ++i) {
    char& c = line[i];
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
}

// A joined column takes a null as an empty column; a converted one raises 94 for it.
// A text is taken as it is. A value that raises leaves the line as it was.
void AppendColumn(std::string& line, const Variant& value, Rendering rendering, DateText& last) {
  if (rendering == Rendering::kJoined && value.isNull()) return;
  const size_t start = line.size();
  if (value.type() == automation::VarType::Date && !value.isArray()) {
    // The records of a run mostly share their dates and times to the second.
    const uint64_t bits = std::bit_cast<uint64_t>(value.deref().date());
    if (!last.text.empty() && bits == last.bits) {
      line += last.text;
      return;
    }
    automation::AppendText(line, value);
    last.bits = bits;
    last.text.assign(line, start);
    return;
  }
  automation::AppendText(line, value);
  // Only a text can hold a tab, CR or LF; numbers, dates and truth values never do.
  if (value.type() == automation::VarType::String) Flatten(line, start);
}

}  // namespace

// The fields of the record at hand, and the text of the last date each column held.
struct TextLog::LineScratch {
  recordkit::PackedFields fields;
  DateText dates[kTextLogColumns];
};

std::string TextLog::FormatLogLine(const Variant& record, std::vector<std::string>& faults) const {
  LineScratch scratch;
  std::string line;
  AppendLogLine(record, scratch, line, faults);
  return line;
}

void TextLog::AppendLogLine(const Variant& record, LineScratch& scratch, std::string& line,
                            std::vector<std::string>& faults) const {
  recordkit::PackedFields& fields = scratch.fields;
  if (int32_t number = packer_.ReadFields(record, fields); number != 0) {
    // Only a damaged record gets here; it leaves an empty line and a trace of why.
    faults.push_back("Record could not be unpacked: " + automation::StandardDescription(number));
    return;
  }
  for (int i = 0; i < kTextLogColumns; ++i) {
    if (i > 0) line += '\t';
    try {
      // Each column is the field a new event set would hold under its name.
      const Variant& value = fields.ValueOf(kColumns[i].property, static_cast<size_t>(i));
      AppendColumn(line, value, kColumns[i].rendering, scratch.dates[i]);
    } catch (const AutomationError& e) {
      // The column stays empty; the rest of the record is still written.
      faults.push_back(e.description());
    }
  }
}

void TextLog::RenderLines(kj::ArrayPtr<const Variant> run, std::string& lines, std::vector<std::string>& faults) const {
  LineScratch scratch;
  lines.reserve(lines.size() + run.size() * 200);
  for (size_t i = 0; i < run.size(); ++i) {
    if (i + 16 < run.size()) recordkit::PrefetchRecordArray(run[i + 16]);
    if (i + 8 < run.size()) recordkit::PrefetchRecordBytes(run[i + 8]);
    AppendLogLine(run[i], scratch, lines, faults);
    lines += "\r\n";
  }
}

kj::Promise<TakeResult> TextLog::WriteToTextFile(kj::ArrayPtr<const Variant> run) {
  KJ_REQUIRE(!writing_, "the text log writes one run at a time");
  writing_ = true;
  // The buffers keep their memory from run to run: a fresh one for every run would
  // be fresh pages from the system each time.
  first_.lines.clear();
  first_.faults.clear();
  second_.lines.clear();
  second_.faults.clear();
  // Below this many records the work is not worth sharing.
  constexpr size_t kShareFrom = 64;
  const size_t split = run.size() >= kShareFrom ? run.size() / 2 : 0;
  kj::Promise<void> rendered = worker_.Run([this, second = run.slice(split, run.size())]() {
    RenderLines(second, second_.lines, second_.faults);
  });
  RenderLines(run.slice(0, split), first_.lines, first_.faults);

  return rendered
      .then([this]() {
        return worker_.Run([this]() {
          first_.lines += second_.lines;
          status_ = files_.Append(path_, first_.lines);
        });
      })
      .then([this, count = run.size()]() {
        if (!status_.ok()) {
          outage_.Report(status_.description + " (" + path_ + ")");
          return TakeResult{0, status_};
        }
        outage_.End();
        for (const std::string& fault : first_.faults) faultLog_.Report(fault);
        for (const std::string& fault : second_.faults) faultLog_.Report(fault);
        return TakeResult{count, {}};
      })
      .attach(kj::defer([this]() { writing_ = false; }));
}

}  // namespace ledgerwick
