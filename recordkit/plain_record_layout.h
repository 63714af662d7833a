#pragma once
// Where the members of a packed record lie in their structs, for the plain record
// reader and writer, which read and write the words themselves. Taken from the
// schemas the packer writes with: data offsets are in units of the member's own size
// (bits for Booleans), pointer offsets are pointer indices, as Cap'n Proto counts
// them; the struct sizes are those this build writes.

#include <cstdint>

namespace recordkit {

struct PlainRecordLayout {
  uint32_t recordFields, recordSender, recordJournal;
  uint32_t fieldName, fieldValue, fieldMapped;
  uint32_t variantWhich, variantInteger, variantLong, variantSingle, variantDouble, variantCurrency, variantDate,
      variantString, variantBoolean, variantByte, variantError;
  uint32_t senderKnown, senderUid, senderGid, senderPid, senderHasCredentials, senderSubject;
  uint32_t journalJournal, journalSequence;

  // Data words and pointers of each struct.
  struct Size {
    uint16_t dataWords;
    uint16_t pointers;
    uint32_t words() const { return uint32_t{dataWords} + pointers; }
  };
  Size record, field, variant, sender, journal;
};

// Read from the schemas once, on first use.
const PlainRecordLayout& ThePlainRecordLayout();

}  // namespace recordkit
