#pragma once
// Writes a packed record's words straight, for a set whose values are all plain
// (Empty, Null, numbers, dates, Booleans, bytes, error values, texts): the very bytes
// Cap'n Proto's builder writes for it in PropertyPacker::PackProperties (one segment,
// each object where the builder allocates it), without the library's calls, which
// cost more than the copying. Anything else is left to the builder.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recordkit/property_set.h"
#include "recordkit/sender_identity.h"

namespace recordkit {

// Writes the record of `set`, stamped with `sender` and `journal`, into `bytes` and
// answers true; `words` is room enough for its segment (more is not written). False,
// with `bytes` unspecified, when a value is an array or an object or the record needs
// more than `words`.
bool WritePlainRecord(const PropertySet& set, const SenderIdentity& sender, const JournalStamp& journal, size_t words,
                      std::vector<uint8_t>& bytes);

}  // namespace recordkit
