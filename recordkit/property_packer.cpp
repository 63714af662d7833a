#include "recordkit/property_packer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/exception.h>
#include <kj/io.h>

#include "automation/ascii_text.h"
#include "automation/automation_error.h"
#include "automation/variant_codec.h"
#include "recordkit/packed_record.capnp.h"
#include "recordkit/plain_record_reader.h"
#include "recordkit/plain_record_writer.h"

namespace recordkit {

using automation::AutomationError;
using automation::SafeArray;
using automation::Variant;
using automation::VarType;

namespace {

// Reading pointers costs nesting: the record and its field list, then two levels
// (the array and its element list) for every array level a value may have.
constexpr int kNestingLimit = 64;
static_assert(kNestingLimit >= 4 + 2 * automation::kMaxArrayNesting);

using DecodedField = PackedFields::Field;

// ---------------------------------------------------------------- message size

// The words a struct of type T takes in a message.
template <typename T>
constexpr size_t StructWords() {
  return size_t{T::_capnpPrivate::dataWordSize} + T::_capnpPrivate::pointerCount;
}

// The words a text of `size` bytes takes, its closing NUL included.
constexpr size_t TextWords(size_t size) { return (size + 1 + sizeof(capnp::word) - 1) / sizeof(capnp::word); }

// The words WriteVariant takes for `value` beyond the Variant struct itself.
size_t ValueWords(const Variant& held) {
  const Variant& value = held.deref();
  if (!value.isArray()) return value.type() == VarType::String ? TextWords(value.string().size()) : 0;
  const SafeArray& array = value.array();
  // The Array struct, and its bounds as a struct list behind a tag word.
  size_t words = StructWords<automation::wire::Array>() + 1 +
                 array.dimensions() * StructWords<automation::wire::ArrayBound>();
  if (array.elementType() == VarType::Byte) {
    return words + (array.bytes().size() + sizeof(capnp::word) - 1) / sizeof(capnp::word);
  }
  const size_t n = array.size();
  words += 1 + n * StructWords<automation::wire::Variant>();
  for (size_t i = 0; i < n; ++i) words += ValueWords(array.ElementAt(i));
  return words;
}

// The words of the message PackProperties builds: the root pointer, the record, its
// stamps, and its fields as a struct list behind a tag word. The message is built in
// one segment of this size, so no more is allocated (and zeroed) than it takes.
size_t RecordWords(const PropertySet& set, const SenderIdentity& sender, const JournalStamp& journal) {
  const auto& properties = set.Properties();
  size_t words = 1 + StructWords<wire::PackedRecord>();
  if (sender.known) words += StructWords<wire::Sender>() + TextWords(sender.subject.size());
  if (journal.known()) words += StructWords<wire::JournalStamp>();
  words += 1 + properties.size() * StructWords<wire::Field>();
  for (const auto& property : properties) {
    words += TextWords(property->Name().size());
    if (!property->Value().isEmpty()) words += StructWords<automation::wire::Variant>() + ValueWords(property->Value());
  }
  return words;
}

// A hash of a name (not empty) from its length and its first, middle and last
// letters, without regard to case: names that match have the same hash.
unsigned NameHash(const std::string& name) {
  return static_cast<unsigned>(name.size()) * 31u +
         static_cast<unsigned char>(automation::LowerAscii(name.front())) * 7u +
         static_cast<unsigned char>(automation::LowerAscii(name[name.size() / 2])) * 131u +
         static_cast<unsigned char>(automation::LowerAscii(name.back()));
}

// Raises 13 when two of the fields share a name, whatever its case. One of 256 bits
// per name, from its hash, tells which names need comparing: only those with the
// same hash, once its bit was taken already.
void RefuseNamesAlike(const std::vector<DecodedField>& decoded) {
  uint64_t taken[4] = {0, 0, 0, 0};
  // The hashes of the first names, kept for those comparisons.
  constexpr size_t kKeptHashes = 64;
  unsigned hashes[kKeptHashes];
  for (size_t i = 0; i < decoded.size(); ++i) {
    const std::string& name = decoded[i].name;
    const unsigned hash = NameHash(name);
    if (i < kKeptHashes) hashes[i] = hash;
    uint64_t& word = taken[(hash / 64) % 4];
    const uint64_t bit = uint64_t{1} << (hash % 64);
    if ((word & bit) != 0) {
      for (size_t j = 0; j < i; ++j) {
        const unsigned other = j < kKeptHashes ? hashes[j] : NameHash(decoded[j].name);
        if (other == hash && NamesEqual(decoded[j].name, name)) {
          throw AutomationError(packer_error::kNotAPackedRecord);
        }
      }
    }
    word |= bit;
  }
}

// Reads the record with Cap'n Proto's own reader, into `record` as DecodeRecord does.
// Raises on anything that is not a whole, well-formed record.
void ReadWithCapnp(kj::ArrayPtr<const capnp::word> words, PackedFields& record, bool& namesChanged) {
  std::vector<DecodedField>& decoded = record.fields;
  capnp::ReaderOptions options;
  // A well-formed record is read once, word by word; the limit stops records whose
  // pointers overlap (or lists of empty elements) from amplifying the work.
  options.traversalLimitInWords = words.size() * 2 + 64;
  options.nestingLimit = kNestingLimit;
  capnp::FlatArrayMessageReader reader(words, options);
  if (reader.getEnd() != words.end()) {
    // Trailing bytes: not one whole record.
    throw AutomationError(packer_error::kNotAPackedRecord);
  }

  auto root = reader.getRoot<wire::PackedRecord>();
  auto fields = root.getFields();
  namesChanged = !record.namesChecked || decoded.size() != fields.size();
  record.namesChecked = false;
  decoded.resize(fields.size());
  for (unsigned i = 0; i < fields.size(); ++i) {
    auto field = fields[i];
    DecodedField& out = decoded[i];
    auto text = field.getName();
    if (text.size() == 0) throw AutomationError(packer_error::kNotAPackedRecord);
    if (AssignName(out.name, std::string_view(text.begin(), text.size()))) namesChanged = true;
    // A field without a value struct reads as an Empty one (see PackProperties).
    if (field.hasValue()) {
      automation::ReadVariantInto(field.getValue(), out.value);
    } else {
      out.value.AssignEmpty();
    }
    out.mapped = field.getMapped();
  }
  SenderIdentity& sender = record.sender;
  sender = SenderIdentity{};
  if (root.hasSender() && root.getSender().getKnown()) {
    auto stamp = root.getSender();
    sender.known = true;
    sender.hasCredentials = stamp.getHasCredentials();
    sender.uid = stamp.getUid();
    sender.gid = stamp.getGid();
    sender.pid = stamp.getPid();
    sender.subject = stamp.getSubject();
  }
  record.journal = JournalStamp{};
  if (root.hasJournal()) {
    auto stamp = root.getJournal();
    record.journal.journal = stamp.getJournal();
    record.journal.sequence = stamp.getSequence();
  }
}

enum class Decoder { kPlainFirst, kCapnpOnly };

// Decodes the whole record into `record` (reusing what it holds), or raises
// (AutomationError or kj::Exception) having touched nothing but `record`.
void DecodeRecord(kj::ArrayPtr<const uint8_t> bytes, PackedFields& record, Decoder decoder = Decoder::kPlainFirst) {
  if (bytes.size() == 0 || bytes.size() % sizeof(capnp::word) != 0) {
    throw AutomationError(packer_error::kNotAPackedRecord);
  }
  // The reader needs word-aligned input; the array's own buffer promises only bytes,
  // so it is copied when it is not aligned (allocators align it in practice).
  kj::ArrayPtr<const capnp::word> words;
  kj::Array<capnp::word> aligned;
  if (reinterpret_cast<uintptr_t>(bytes.begin()) % alignof(capnp::word) == 0) {
    words = kj::arrayPtr(reinterpret_cast<const capnp::word*>(bytes.begin()), bytes.size() / sizeof(capnp::word));
  } else {
    aligned = kj::heapArray<capnp::word>(bytes.size() / sizeof(capnp::word));
    std::memcpy(aligned.begin(), bytes.begin(), bytes.size());
    words = aligned;
  }

  // A scratch record that held the names of a whole record before, and is given a
  // record of the same names in the same order, needs no check for names alike.
  bool namesChanged = true;
  if (decoder == Decoder::kCapnpOnly || !ReadPlainRecord(words, record, namesChanged)) {
    ReadWithCapnp(words, record, namesChanged);
  }
  if (namesChanged) RefuseNamesAlike(record.fields);
  record.namesChecked = true;
}

}  // namespace

std::string RecordTooLargeMessage(size_t bytes) {
  return "Out of memory: the event takes " + std::to_string(bytes) + " bytes packed; an event may take at most " +
         std::to_string(kMaxPackedRecordBytes >> 20) + " MiB";
}

void PrefetchRecordArray(const Variant& record) {
  if (record.isArray()) __builtin_prefetch(&record.array());
}

void PrefetchRecordBytes(const Variant& record) {
  if (!record.isArray()) return;
  const std::vector<uint8_t>& bytes = record.array().bytes();
  for (size_t offset = 0; offset < bytes.size() && offset < 1024; offset += 64) {
    __builtin_prefetch(bytes.data() + offset);
  }
}

int32_t PropertyPacker::PackProperties(Variant& data, const PropertySet& set) const {
  return PackProperties(data, set, SenderIdentity{});
}

int32_t PropertyPacker::PackProperties(Variant& data, const PropertySet& set, const SenderIdentity& sender) const {
  return PackProperties(data, set, sender, JournalStamp{});
}

int32_t PropertyPacker::PackProperties(Variant& data, const PropertySet& set, const SenderIdentity& sender,
                                       const JournalStamp& journal) const {
  return PackWith(data, set, sender, journal, false);
}

int32_t PropertyPacker::PackPropertiesThroughCapnp(Variant& data, const PropertySet& set, const SenderIdentity& sender,
                                                   const JournalStamp& journal) {
  return PackWith(data, set, sender, journal, true);
}

int32_t PropertyPacker::PackWith(Variant& data, const PropertySet& set, const SenderIdentity& sender,
                                 const JournalStamp& journal, bool capnpOnly) {
  // A set too large to be queued gets no more room at first than the largest record;
  // the builder's message grows past it.
  const size_t needed = RecordWords(set, sender, journal);
  const size_t words = std::min(needed, kMaxPackedRecordBytes / sizeof(capnp::word));
  std::vector<uint8_t> bytes;
  if (capnpOnly || needed > words || !WritePlainRecord(set, sender, journal, words, bytes)) {
    if (int32_t number = PackThroughCapnp(set, sender, journal, words, bytes); number != 0) return number;
  }
  data.deref() = Variant::Array(SafeArray::FromBytes(std::move(bytes)));
  return 0;
}

int32_t PropertyPacker::PackThroughCapnp(const PropertySet& set, const SenderIdentity& sender,
                                         const JournalStamp& journal, size_t words, std::vector<uint8_t>& bytes) {
  try {
    // A first segment of the default size would be far larger than a record, and
    // is zeroed when allocated: sized from the set instead.
    capnp::MallocMessageBuilder message(static_cast<unsigned>(words));
    const auto& properties = set.Properties();
    auto root = message.initRoot<wire::PackedRecord>();
    if (sender.known) {
      auto stamp = root.initSender();
      stamp.setKnown(true);
      stamp.setHasCredentials(sender.hasCredentials);
      stamp.setUid(sender.uid);
      stamp.setGid(sender.gid);
      stamp.setPid(sender.pid);
      stamp.setSubject(kj::StringPtr(sender.subject.c_str(), sender.subject.size()));
    }
    if (journal.known()) {
      auto stamp = root.initJournal();
      stamp.setJournal(journal.journal);
      stamp.setSequence(journal.sequence);
    }
    auto fields = root.initFields(static_cast<unsigned>(properties.size()));
    for (size_t i = 0; i < properties.size(); ++i) {
      const Property& property = *properties[i];
      auto field = fields[i];
      field.setName(kj::StringPtr(property.Name().c_str(), property.Name().size()));
      field.setMapped(property.Mapped());
      // An Empty value is left out: a field with no value struct reads as one whose
      // struct has every member at its default, which is Empty. Most fields of an
      // event are Empty, and each struct costs room and reading.
      if (property.Value().isEmpty()) continue;
      // Object references cannot live outside the process that holds them: with
      // no object codec this raises 13.
      automation::WriteVariant(property.Value(), field.initValue());
    }
    // The same bytes messageToFlatArray gives, written straight into the array.
    bytes.resize(capnp::computeSerializedSizeInWords(message) * sizeof(capnp::word));
    kj::ArrayOutputStream out(kj::arrayPtr(bytes.data(), bytes.size()));
    capnp::writeMessage(out, message);
  } catch (const AutomationError& e) {
    return e.number();
  } catch (const kj::Exception&) {
    // A value too large for a message.
    return packer_error::kCannotPackValue;
  }
  return 0;
}

int32_t PropertyPacker::UnpackProperties(Variant& data, PropertySet& set) const {
  PackedFields scratch;
  return UnpackProperties(data, set, scratch);
}

int32_t PropertyPacker::UnpackProperties(Variant& data, PropertySet& set, PackedFields& decoded) const {
  const Variant& value = data.deref();
  if (value.isEmpty()) return 0;
  if (!value.isArray()) return packer_error::kNotAPackedRecord;
  if (int32_t number = ReadFields(value, decoded); number != 0) return number;
  ApplyFields(decoded, set);
  return 0;
}

int32_t PropertyPacker::UnpackProperties(kj::ArrayPtr<const uint8_t> bytes, PropertySet& set,
                                         PackedFields& decoded) const {
  if (int32_t number = ReadFields(bytes, decoded); number != 0) return number;
  ApplyFields(decoded, set);
  return 0;
}

void PropertyPacker::ApplyFields(PackedFields& decoded, PropertySet& set) {
  // Everything decoded: now the set changes, and nothing below can fail halfway.
  const auto& properties = set.Properties();
  for (size_t i = 0; i < decoded.fields.size(); ++i) {
    auto& field = decoded.fields[i];
    // A record packed from a set like this one holds its fields in the set's order.
    Property* property = i < properties.size() && NamesEqual(properties[i]->Name(), field.name)
                             ? properties[i].get()
                             : set.Find(field.name).get();
    if (property) {
      // Most fields of an event are Empty, and an Empty value over an Empty one
      // changes nothing.
      if (!field.value.isEmpty() || !property->Value().isEmpty()) property->SetValue(std::move(field.value));
    } else {
      set.Add(field.name, field.value, field.mapped);
    }
  }
}

int32_t PropertyPacker::ReadFields(const Variant& data, PackedFields& out) const {
  const Variant& value = data.deref();
  if (value.isEmpty() || !value.isArray()) {
    ClearFields(out);
    return value.isEmpty() ? 0 : packer_error::kNotAPackedRecord;
  }
  const SafeArray& array = value.array();
  if (array.elementType() != VarType::Byte || array.dimensions() != 1) {
    ClearFields(out);
    return packer_error::kNotAPackedRecord;
  }
  const std::vector<uint8_t>& bytes = array.bytes();
  return ReadFields(kj::arrayPtr(bytes.data(), bytes.size()), out);
}

int32_t PropertyPacker::ReadFields(kj::ArrayPtr<const uint8_t> bytes, PackedFields& out) const {
  return ReadFieldsWith(bytes, out, false);
}

int32_t PropertyPacker::ReadFieldsThroughCapnp(kj::ArrayPtr<const uint8_t> bytes, PackedFields& out) {
  return ReadFieldsWith(bytes, out, true);
}

int32_t PropertyPacker::ReadFieldsWith(kj::ArrayPtr<const uint8_t> bytes, PackedFields& out, bool capnpOnly) {
  try {
    DecodeRecord(bytes, out, capnpOnly ? Decoder::kCapnpOnly : Decoder::kPlainFirst);
  } catch (const AutomationError&) {
    ClearFields(out);
    return packer_error::kNotAPackedRecord;
  } catch (const kj::Exception&) {
    ClearFields(out);
    return packer_error::kNotAPackedRecord;
  }
  return 0;
}

void PropertyPacker::ClearFields(PackedFields& out) {
  out.fields.clear();
  out.namesChecked = false;
  out.sender = SenderIdentity{};
  out.journal = JournalStamp{};
}

const Variant& PackedFields::ValueOf(std::string_view name, size_t hint) const {
  static const Variant kEmpty;
  if (hint < fields.size() && automation::EqualsNoCase(fields[hint].name, name)) return fields[hint].value;
  for (const Field& field : fields) {
    if (automation::EqualsNoCase(field.name, name)) return field.value;
  }
  return kEmpty;
}

}  // namespace recordkit
