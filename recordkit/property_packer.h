#pragma once
// Packs a PropertySet into a PackedRecord and back. A PackedRecord is a Variant
// holding a one-dimensional byte array (lower bound 0) that stands on its own:
// a Cap'n Proto message of the fields, each with its name, value and mapped flag.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <kj/common.h>

#include "automation/variant.h"
#include "recordkit/property_set.h"
#include "recordkit/sender_identity.h"

namespace recordkit {

// The fields of one PackedRecord as the packer reads them, in the record's order;
// no two share a name (names match without regard to case).
struct PackedFields {
  struct Field {
    std::string name;
    automation::Variant value;
    bool mapped = true;
  };

  // The value of the field so named, or Empty when the record has none: what a new
  // event set that the record was unpacked into holds under that name. `hint` is
  // where the field is expected (its place in a record packed from an event set);
  // it is looked at first.
  const automation::Variant& ValueOf(std::string_view name, size_t hint) const;

  std::vector<Field> fields;
  SenderIdentity sender;
  JournalStamp journal;
  // Set by the packer once `fields` holds the names of a record it read whole, no two
  // alike; a record of the same names read into it next skips that check. Whoever
  // changes the names by hand clears it.
  bool namesChecked = false;
};

// The largest PackedRecord the server queues. A larger event is refused where it is
// packed, with 7, before it can reach the queue or the wire.
constexpr size_t kMaxPackedRecordBytes = size_t{16} << 20;

// The error for an event too large to be queued: 7, saying how large it is.
std::string RecordTooLargeMessage(size_t bytes);

// Error numbers the packer answers.
namespace packer_error {
// `data` is neither Empty nor a packed record, or its bytes are not a whole,
// well-formed record.
constexpr int32_t kNotAPackedRecord = 13;
// A field value the packer cannot carry on its own (an object reference).
constexpr int32_t kCannotPackValue = 13;
}  // namespace packer_error

// For loops over many queued records, which sit apart in memory: asks the processor
// to start loading what reading a record will touch, a few records ahead. The
// first call wants the record's array some 16 records ahead, the second its bytes
// some 8 ahead (by then its array is at hand).
void PrefetchRecordArray(const automation::Variant& record);
void PrefetchRecordBytes(const automation::Variant& record);

class PropertyPacker {
 public:
  // On 0, `data` holds the PackedRecord of every field of `set`, in the set's order.
  // On failure `data` is left as it was.
  int32_t PackProperties(automation::Variant& data, const PropertySet& set) const;
  // The same, with the record stamped with who sent it.
  int32_t PackProperties(automation::Variant& data, const PropertySet& set, const SenderIdentity& sender) const;
  // The same, with the record stamped with where the journal holds it as well.
  int32_t PackProperties(automation::Variant& data, const PropertySet& set, const SenderIdentity& sender,
                         const JournalStamp& journal) const;

  // PackProperties, always through Cap'n Proto's builder. PackProperties writes the
  // records of sets of plain values itself, the same bytes, which is checked against
  // this.
  static int32_t PackPropertiesThroughCapnp(automation::Variant& data, const PropertySet& set,
                                            const SenderIdentity& sender, const JournalStamp& journal);

  // `data` Empty: answers 0 and leaves `set` as it is. A packed record: sets each
  // field's value, adding fields the set lacks (with their mapped flag), answers 0.
  // Anything else answers a non-zero number and leaves `set` unchanged; hostile or
  // truncated bytes never read out of bounds.
  int32_t UnpackProperties(automation::Variant& data, PropertySet& set) const;
  // The same, reading the record through `scratch`, which a caller that unpacks
  // record after record keeps, so that its room is reused.
  int32_t UnpackProperties(automation::Variant& data, PropertySet& set, PackedFields& scratch) const;

  // Reads the fields of `data` without a PropertySet, for those who only read
  // them (the writers): 0, or the number UnpackProperties answers for the same data,
  // with `out` then left empty. Empty data gives no fields. `out` may be reused from
  // record to record; what it held is replaced.
  int32_t ReadFields(const automation::Variant& data, PackedFields& out) const;

  // The same two for a packed record's bytes held elsewhere (a call's message), read
  // where they lie. No bytes at all are not a record.
  int32_t UnpackProperties(kj::ArrayPtr<const uint8_t> bytes, PropertySet& set, PackedFields& scratch) const;
  int32_t ReadFields(kj::ArrayPtr<const uint8_t> bytes, PackedFields& out) const;
  // ReadFields for bytes, always through Cap'n Proto's own reader. ReadFields reads
  // records of the plain shape the packer writes with a reader of its own, which is
  // checked against this one.
  static int32_t ReadFieldsThroughCapnp(kj::ArrayPtr<const uint8_t> bytes, PackedFields& out);

 private:
  static void ApplyFields(PackedFields& decoded, PropertySet& set);
  static void ClearFields(PackedFields& out);
  static int32_t PackWith(automation::Variant& data, const PropertySet& set, const SenderIdentity& sender,
                          const JournalStamp& journal, bool capnpOnly);
  static int32_t PackThroughCapnp(const PropertySet& set, const SenderIdentity& sender, const JournalStamp& journal,
                                  size_t words, std::vector<uint8_t>& bytes);
  static int32_t ReadFieldsWith(kj::ArrayPtr<const uint8_t> bytes, PackedFields& out, bool capnpOnly);
};

}  // namespace recordkit
