#include "recordkit/plain_record_writer.h"

#include <cstring>
#include <string_view>

#include "automation/variant.capnp.h"
#include "recordkit/plain_record_layout.h"

namespace recordkit {

namespace {

using automation::Variant;
using automation::VarType;
using Size = PlainRecordLayout::Size;

constexpr size_t kWord = 8;

// A segment being filled as the builder fills one: each object at the next free word,
// zeroed, pointed to from where it belongs. Places are word indices in `bytes`, whose
// first word is the segment table.
class Segment {
 public:
  Segment(std::vector<uint8_t>& bytes, size_t words) : bytes_(bytes), end_(1 + words) {
    bytes_.assign(end_ * kWord, 0);
  }

  // The first of `words` words, or false when the room is used up.
  bool Allocate(size_t words, size_t& at) {
    if (words > end_ - next_) return false;
    at = next_;
    next_ += words;
    return true;
  }

  // A struct of `size` at `target`, pointed to from the word `pointer`.
  void PointToStruct(size_t pointer, size_t target, Size size) {
    PutWord(pointer, OffsetBits(pointer, target) | (uint64_t{size.dataWords} << 32) | (uint64_t{size.pointers} << 48));
  }

  // A list at `target`: of `count` elements of the encoded `elementSize` (for an
  // inline-composite list, its words after the tag).
  void PointToList(size_t pointer, size_t target, uint64_t elementSize, uint64_t count) {
    PutWord(pointer, OffsetBits(pointer, target) | 1 | (elementSize << 32) | (count << 35));
  }

  // The tag word of an inline-composite list: a struct pointer whose offset is the
  // count of elements, each of `size`.
  void Tag(size_t at, uint64_t count, Size size) {
    PutWord(at, (count << 2) | (uint64_t{size.dataWords} << 32) | (uint64_t{size.pointers} << 48));
  }

  // A text allocated and pointed to from `pointer`.
  bool Text(size_t pointer, std::string_view text) {
    size_t at;
    if (!Allocate((text.size() + 1 + kWord - 1) / kWord, at)) return false;
    std::memcpy(bytes_.data() + at * kWord, text.data(), text.size());
    PointToList(pointer, at, 2, text.size() + 1);  // bytes, the closing NUL counted
    return true;
  }

  template <typename T>
  void Put(size_t structAt, uint32_t offset, T value) {
    std::memcpy(bytes_.data() + structAt * kWord + size_t{offset} * sizeof(T), &value, sizeof(T));
  }
  void PutBool(size_t structAt, uint32_t bit, bool value) {
    if (value) bytes_[structAt * kWord + bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
  }

  // The segment table for the words used, and the bytes cut to them.
  void Finish() {
    const uint64_t table = uint64_t{next_ - 1} << 32;
    std::memcpy(bytes_.data(), &table, sizeof(table));
    bytes_.resize(next_ * kWord);
  }

 private:
  // The pointer's low word: the signed offset in words from its end to `target`,
  // shifted past the two bits of its kind.
  static uint64_t OffsetBits(size_t pointer, size_t target) {
    const int64_t offset = static_cast<int64_t>(target) - static_cast<int64_t>(pointer) - 1;
    return (static_cast<uint64_t>(offset) << 2) & 0xffffffffu;
  }
  void PutWord(size_t at, uint64_t word) { std::memcpy(bytes_.data() + at * kWord, &word, sizeof(word)); }

  std::vector<uint8_t>& bytes_;
  const size_t end_;
  size_t next_ = 1;
};

bool IsPlain(const Variant& value) {
  return !value.isArray() && value.type() != VarType::Object && value.type() != VarType::Variant;
}

// The value struct of a field that is not Empty, at `pointer`.
bool WriteValue(Segment& segment, const PlainRecordLayout& layout, size_t pointer, const Variant& value) {
  using W = automation::wire::Variant;
  size_t at;
  if (!segment.Allocate(layout.variant.words(), at)) return false;
  segment.PointToStruct(pointer, at, layout.variant);
  const auto which = [&](W::Which member) { segment.Put<uint16_t>(at, layout.variantWhich, member); };
  switch (value.type()) {
    case VarType::Empty: which(W::EMPTY); return true;
    case VarType::Null: which(W::NULL_); return true;
    case VarType::Integer: which(W::INTEGER); segment.Put<int16_t>(at, layout.variantInteger, value.integer()); return true;
    case VarType::Long: which(W::LONG); segment.Put<int32_t>(at, layout.variantLong, value.lng()); return true;
    case VarType::Single: which(W::SINGLE); segment.Put<float>(at, layout.variantSingle, value.single()); return true;
    case VarType::Double: which(W::DOUBLE); segment.Put<double>(at, layout.variantDouble, value.dbl()); return true;
    case VarType::Currency:
      which(W::CURRENCY);
      segment.Put<int64_t>(at, layout.variantCurrency, value.currencyScaled());
      return true;
    case VarType::Date: which(W::DATE); segment.Put<double>(at, layout.variantDate, value.date()); return true;
    case VarType::Boolean: which(W::BOOLEAN); segment.PutBool(at, layout.variantBoolean, value.boolean()); return true;
    case VarType::Byte: which(W::BYTE); segment.Put<uint8_t>(at, layout.variantByte, value.byte()); return true;
    case VarType::Error: which(W::ERROR); segment.Put<int32_t>(at, layout.variantError, value.errorCode()); return true;
    case VarType::String:
      which(W::STRING);
      return segment.Text(at + layout.variant.dataWords + layout.variantString, value.string());
    default:
      return false;
  }
}

}  // namespace

bool WritePlainRecord(const PropertySet& set, const SenderIdentity& sender, const JournalStamp& journal, size_t words,
                      std::vector<uint8_t>& bytes) {
  const auto& properties = set.Properties();
  for (const auto& property : properties) {
    if (!IsPlain(property->Value().deref())) return false;
  }
  const PlainRecordLayout& layout = ThePlainRecordLayout();
  Segment segment(bytes, words);
  // In the builder's order: the root pointer and the record, the stamps, the list of
  // fields, then each field's name, value and the value's text.
  size_t root;
  size_t record;
  if (!segment.Allocate(1, root) || !segment.Allocate(layout.record.words(), record)) return false;
  segment.PointToStruct(root, record, layout.record);
  const size_t recordPointers = record + layout.record.dataWords;
  if (sender.known) {
    size_t at;
    if (!segment.Allocate(layout.sender.words(), at)) return false;
    segment.PointToStruct(recordPointers + layout.recordSender, at, layout.sender);
    segment.PutBool(at, layout.senderKnown, true);
    segment.PutBool(at, layout.senderHasCredentials, sender.hasCredentials);
    segment.Put<uint32_t>(at, layout.senderUid, sender.uid);
    segment.Put<uint32_t>(at, layout.senderGid, sender.gid);
    segment.Put<int32_t>(at, layout.senderPid, sender.pid);
    if (!segment.Text(at + layout.sender.dataWords + layout.senderSubject, sender.subject)) return false;
  }
  if (journal.known()) {
    size_t at;
    if (!segment.Allocate(layout.journal.words(), at)) return false;
    segment.PointToStruct(recordPointers + layout.recordJournal, at, layout.journal);
    segment.Put<int64_t>(at, layout.journalJournal, journal.journal);
    segment.Put<int64_t>(at, layout.journalSequence, journal.sequence);
  }
  const size_t count = properties.size();
  const size_t listWords = count * layout.field.words();
  size_t tag;
  if (!segment.Allocate(1 + listWords, tag)) return false;
  segment.PointToList(recordPointers + layout.recordFields, tag, 7, listWords);  // inline composite
  segment.Tag(tag, count, layout.field);
  for (size_t i = 0; i < count; ++i) {
    const Property& property = *properties[i];
    const size_t at = tag + 1 + i * layout.field.words();
    const size_t pointers = at + layout.field.dataWords;
    if (!segment.Text(pointers + layout.fieldName, property.Name())) return false;
    segment.PutBool(at, layout.fieldMapped, property.Mapped());
    const Variant& value = property.Value().deref();
    // An Empty value is left out, as the builder's caller leaves it out.
    if (!value.isEmpty() && !WriteValue(segment, layout, pointers + layout.fieldValue, value)) return false;
  }
  segment.Finish();
  return true;
}

}  // namespace recordkit
