#pragma once
// Whether two reads of packed records hold the same: names (every byte), flags,
// stamps, and values compared as the bytes they pack to, so that a NaN matches
// itself and -0 does not match 0.

#include <cstring>

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/array.h>

#include "automation/variant_codec.h"
#include "recordkit/packed_record.capnp.h"
#include "recordkit/property_packer.h"

namespace ledgerwick::testing {

inline kj::Array<capnp::word> ValuesWritten(const recordkit::PackedFields& fields) {
  capnp::MallocMessageBuilder message;
  auto list = message.initRoot<recordkit::wire::PackedRecord>().initFields(static_cast<unsigned>(fields.fields.size()));
  for (size_t i = 0; i < fields.fields.size(); ++i) {
    auto field = list[static_cast<unsigned>(i)];
    field.setName(kj::StringPtr(fields.fields[i].name.c_str(), fields.fields[i].name.size()));
    field.setMapped(fields.fields[i].mapped);
    automation::WriteVariant(fields.fields[i].value, field.initValue());
  }
  return capnp::messageToFlatArray(message);
}

inline bool SameFields(const recordkit::PackedFields& a, const recordkit::PackedFields& b) {
  const kj::Array<capnp::word> x = ValuesWritten(a);
  const kj::Array<capnp::word> y = ValuesWritten(b);
  const recordkit::SenderIdentity& s = a.sender;
  const recordkit::SenderIdentity& t = b.sender;
  return x.size() == y.size() && std::memcmp(x.begin(), y.begin(), x.asBytes().size()) == 0 &&
         a.journal.journal == b.journal.journal && a.journal.sequence == b.journal.sequence && s.known == t.known &&
         s.hasCredentials == t.hasCredentials && s.uid == t.uid && s.gid == t.gid && s.pid == t.pid &&
         s.subject == t.subject;
}

}  // namespace ledgerwick::testing
