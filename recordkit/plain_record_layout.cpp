#include "recordkit/plain_record_layout.h"

#include <capnp/schema.h>

#include "automation/variant.capnp.h"
#include "recordkit/packed_record.capnp.h"

namespace recordkit {

namespace {

uint32_t Offset(capnp::StructSchema schema, const char* member) {
  return schema.getFieldByName(member).getProto().getSlot().getOffset();
}

template <typename T>
PlainRecordLayout::Size SizeOf() {
  return {T::_capnpPrivate::dataWordSize, T::_capnpPrivate::pointerCount};
}

PlainRecordLayout ReadLayout() {
  const auto record = capnp::Schema::from<wire::PackedRecord>();
  const auto field = capnp::Schema::from<wire::Field>();
  const auto variant = capnp::Schema::from<automation::wire::Variant>();
  const auto sender = capnp::Schema::from<wire::Sender>();
  const auto journal = capnp::Schema::from<wire::JournalStamp>();
  return PlainRecordLayout{
      Offset(record, "fields"),   Offset(record, "sender"),   Offset(record, "journal"),
      Offset(field, "name"),      Offset(field, "value"),     Offset(field, "mapped"),
      variant.getProto().getStruct().getDiscriminantOffset(),
      Offset(variant, "integer"), Offset(variant, "long"),    Offset(variant, "single"),
      Offset(variant, "double"),  Offset(variant, "currency"), Offset(variant, "date"),
      Offset(variant, "string"),  Offset(variant, "boolean"), Offset(variant, "byte"),
      Offset(variant, "error"),
      Offset(sender, "known"),    Offset(sender, "uid"),      Offset(sender, "gid"),
      Offset(sender, "pid"),      Offset(sender, "hasCredentials"), Offset(sender, "subject"),
      Offset(journal, "journal"), Offset(journal, "sequence"),
      SizeOf<wire::PackedRecord>(), SizeOf<wire::Field>(), SizeOf<automation::wire::Variant>(),
      SizeOf<wire::Sender>(), SizeOf<wire::JournalStamp>(),
  };
}

}  // namespace

const PlainRecordLayout& ThePlainRecordLayout() {
  static const PlainRecordLayout layout = ReadLayout();
  return layout;
}

}  // namespace recordkit
