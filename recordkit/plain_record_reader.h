#pragma once
// Reads a packed record straight from its words when it has the plain shape the
// packer writes: one segment, no far pointers, the fields as a list of structs, each
// value Empty, Null, a number, a date, a Boolean, a byte, an error value or a text.
// Cap'n Proto's own reader checks and follows every pointer through calls into the
// library; this one does the same checks inline, which makes reading a record, done
// twice for every event the daemon takes, several times cheaper.
//
// It reads what Cap'n Proto's reader would read, or nothing: anything else (arrays,
// objects, another layout, a text without its closing NUL, a name that is empty,
// pointers that send it out of the message or read more words than the message
// holds) makes it answer false, and the caller reads the record with Cap'n Proto's
// reader, whose answer, refusal included, is the one that counts.

#include <string>
#include <string_view>

#include <capnp/common.h>
#include <kj/common.h>

#include "recordkit/property_packer.h"

namespace recordkit {

// Copies `text` into `name` unless it holds it already; true when it changed.
inline bool AssignName(std::string& name, std::string_view text) {
  if (std::string_view(name) == text) return false;
  name.assign(text.data(), text.size());
  return true;
}

// Reads the message `words` (its segment table first) into `record` and answers
// true, with `namesChanged` set when a field's name differs from the one `record`
// held at its place (or the count of fields differs); the names are not checked for
// two alike. False when the message is not of the plain shape: `record` may then
// hold part of it, and `record.namesChecked` is false.
bool ReadPlainRecord(kj::ArrayPtr<const capnp::word> words, PackedFields& record, bool& namesChanged);

}  // namespace recordkit
