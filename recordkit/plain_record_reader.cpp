#include "recordkit/plain_record_reader.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "automation/variant.capnp.h"
#include "recordkit/plain_record_layout.h"

namespace recordkit {

namespace {

using automation::Variant;

// A struct in the message: its data section and its pointers. A null pointer reads
// as a struct of no words, whose members all read as their defaults (zero).
struct StructView {
  const capnp::word* start = nullptr;  // its first data word
  uint32_t dataWords = 0;
  uint32_t pointerCount = 0;

  template <typename T>
  T Get(uint32_t offset) const {
    const uint64_t at = uint64_t{offset} * sizeof(T);
    if (at + sizeof(T) > uint64_t{dataWords} * sizeof(capnp::word)) return T{};
    T value;
    std::memcpy(&value, reinterpret_cast<const uint8_t*>(start) + at, sizeof(T));
    return value;
  }
  bool GetBool(uint32_t bit) const {
    if (bit / 8 >= uint64_t{dataWords} * sizeof(capnp::word)) return false;
    return (reinterpret_cast<const uint8_t*>(start)[bit / 8] >> (bit % 8)) & 1;
  }
  // The pointer at `index`, or null when the struct has fewer.
  const capnp::word* Pointer(uint32_t index) const {
    return index < pointerCount ? start + dataWords + index : nullptr;
  }
};

// A list of structs: `count` elements of one shape, one after the other.
struct StructListView {
  const capnp::word* elements = nullptr;
  uint32_t count = 0;
  uint32_t dataWords = 0;
  uint32_t pointerCount = 0;

  // Element `i`, for i < count (inside the list, checked when it was read).
  StructView Element(uint32_t i) const {
    return {elements + uint64_t{i} * (dataWords + pointerCount), dataWords, pointerCount};
  }
};

uint64_t WordAt(const capnp::word* at) {
  uint64_t word;
  std::memcpy(&word, at, sizeof(word));
  return word;
}

class Reader {
 public:
  Reader(const capnp::word* begin, const capnp::word* end)
      : begin_(begin), size_(static_cast<uint64_t>(end - begin)), budget_(size_) {}

  // The struct the pointer at `at` (null: no pointer) points to; false for any other
  // kind of pointer.
  bool Struct(const capnp::word* at, StructView& out) {
    out = StructView{};
    if (at == nullptr) return true;
    const uint64_t pointer = WordAt(at);
    if (pointer == 0) return true;
    if ((pointer & 3) != 0) return false;
    const uint32_t dataWords = static_cast<uint16_t>(pointer >> 32);
    const uint32_t pointerCount = static_cast<uint16_t>(pointer >> 48);
    const capnp::word* target;
    if (!Target(at, pointer, dataWords + pointerCount, target)) return false;
    out = StructView{target, dataWords, pointerCount};
    return true;
  }

  // The list of structs the pointer at `at` points to, laid out as the packer lays
  // it (inline composite). A null pointer is a list of none.
  bool StructList(const capnp::word* at, StructListView& out) {
    out = StructListView{};
    if (at == nullptr) return true;
    const uint64_t pointer = WordAt(at);
    if (pointer == 0) return true;
    if ((pointer & 3) != 1 || ((pointer >> 32) & 7) != 7) return false;
    const uint64_t words = pointer >> 35;
    const capnp::word* target;
    if (!Target(at, pointer, words + 1, target)) return false;
    const uint64_t tag = WordAt(target);
    if ((tag & 3) != 0) return false;
    const uint32_t count = static_cast<uint32_t>((tag & 0xffffffffu) >> 2);
    const uint32_t dataWords = static_cast<uint16_t>(tag >> 32);
    const uint32_t pointerCount = static_cast<uint16_t>(tag >> 48);
    const uint64_t stride = uint64_t{dataWords} + pointerCount;
    // Elements of no words at all could be counted in their millions for free.
    if (count * stride > words || (stride == 0 && count != 0)) return false;
    out = StructListView{target + 1, count, dataWords, pointerCount};
    return true;
  }

  // The text the pointer at `at` points to, without its closing NUL (a null pointer:
  // the empty text); false for anything but a list of bytes and for a text without
  // its NUL.
  bool Text(const capnp::word* at, std::string_view& out) {
    out = std::string_view("");
    if (at == nullptr) return true;
    const uint64_t pointer = WordAt(at);
    if (pointer == 0) return true;
    if ((pointer & 3) != 1 || ((pointer >> 32) & 7) != 2) return false;
    const uint64_t bytes = pointer >> 35;
    const capnp::word* target;
    if (bytes == 0 || !Target(at, pointer, (bytes + 7) / 8, target)) return false;
    const char* text = reinterpret_cast<const char*>(target);
    if (text[bytes - 1] != '\0') return false;
    out = std::string_view(text, bytes - 1);
    return true;
  }

 private:
  // Where the pointer at `at` points, for an object of `words` words that must lie
  // inside the message; every object read is charged to a budget of the message's
  // own size, so that pointers that share their targets cannot amplify the reading.
  bool Target(const capnp::word* at, uint64_t pointer, uint64_t words, const capnp::word*& target) {
    const int64_t offset = static_cast<int32_t>(static_cast<uint32_t>(pointer)) >> 2;
    const int64_t start = (at - begin_) + 1 + offset;
    if (start < 0 || static_cast<uint64_t>(start) > size_ || words > size_ - static_cast<uint64_t>(start)) {
      return false;
    }
    if (words > budget_) return false;
    budget_ -= words;
    target = begin_ + start;
    return true;
  }

  const capnp::word* begin_;
  const uint64_t size_;
  uint64_t budget_;
};

// The value of a field, for the kinds this reader reads.
bool ReadValue(Reader& reader, const PlainRecordLayout& layout, const capnp::word* at, Variant& out) {
  StructView value;
  if (!reader.Struct(at, value)) return false;
  using W = automation::wire::Variant;
  switch (value.Get<uint16_t>(layout.variantWhich)) {
    case W::EMPTY: out.AssignEmpty(); return true;
    case W::NULL_: out = Variant::Null(); return true;
    case W::INTEGER: out = Variant::Integer(value.Get<int16_t>(layout.variantInteger)); return true;
    case W::LONG: out = Variant::Long(value.Get<int32_t>(layout.variantLong)); return true;
    case W::SINGLE: out = Variant::Single(value.Get<float>(layout.variantSingle)); return true;
    case W::DOUBLE: out = Variant::Double(value.Get<double>(layout.variantDouble)); return true;
    case W::CURRENCY: out = Variant::Currency(value.Get<int64_t>(layout.variantCurrency)); return true;
    case W::DATE: out = Variant::Date(value.Get<double>(layout.variantDate)); return true;
    case W::BOOLEAN: out = Variant::Boolean(value.GetBool(layout.variantBoolean)); return true;
    case W::BYTE: out = Variant::Byte(value.Get<uint8_t>(layout.variantByte)); return true;
    case W::ERROR: out = Variant::Error(value.Get<int32_t>(layout.variantError)); return true;
    case W::STRING: {
      std::string_view text;
      if (!reader.Text(value.Pointer(layout.variantString), text)) return false;
      out.AssignString(text);
      return true;
    }
    default:
      // Arrays, objects, and members this build does not know.
      return false;
  }
}

}  // namespace

bool ReadPlainRecord(kj::ArrayPtr<const capnp::word> words, PackedFields& record, bool& namesChanged) {
  static_assert(std::endian::native == std::endian::little, "the message's words are read as they lie");
  // The segment table: one segment, filling the rest of the message.
  if (words.size() < 2) return false;
  const uint64_t table = WordAt(words.begin());
  if (static_cast<uint32_t>(table) != 0 || (table >> 32) != words.size() - 1) return false;
  const PlainRecordLayout& layout = ThePlainRecordLayout();
  Reader reader(words.begin() + 1, words.end());

  StructView root;
  if (!reader.Struct(words.begin() + 1, root)) return false;
  StructListView list;
  if (!reader.StructList(root.Pointer(layout.recordFields), list)) return false;
  const uint32_t count = list.count;

  std::vector<PackedFields::Field>& decoded = record.fields;
  namesChanged = !record.namesChecked || decoded.size() != count;
  record.namesChecked = false;
  decoded.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const StructView element = list.Element(i);
    PackedFields::Field& out = decoded[i];
    std::string_view name;
    if (!reader.Text(element.Pointer(layout.fieldName), name) || name.empty()) return false;
    if (AssignName(out.name, name)) namesChanged = true;
    if (!ReadValue(reader, layout, element.Pointer(layout.fieldValue), out.value)) return false;
    out.mapped = element.GetBool(layout.fieldMapped);
  }

  StructView stamp;
  if (!reader.Struct(root.Pointer(layout.recordSender), stamp)) return false;
  SenderIdentity& sender = record.sender;
  sender = SenderIdentity{};
  if (stamp.GetBool(layout.senderKnown)) {
    std::string_view subject;
    if (!reader.Text(stamp.Pointer(layout.senderSubject), subject)) return false;
    sender.known = true;
    sender.hasCredentials = stamp.GetBool(layout.senderHasCredentials);
    sender.uid = stamp.Get<uint32_t>(layout.senderUid);
    sender.gid = stamp.Get<uint32_t>(layout.senderGid);
    sender.pid = stamp.Get<int32_t>(layout.senderPid);
    // Up to its first NUL, as the subject has always been read.
    sender.subject.assign(subject.data(), ::strnlen(subject.data(), subject.size()));
  }
  if (!reader.Struct(root.Pointer(layout.recordJournal), stamp)) return false;
  record.journal = JournalStamp{stamp.Get<int64_t>(layout.journalJournal), stamp.Get<int64_t>(layout.journalSequence)};
  return true;
}

}  // namespace recordkit
