@0xc5862c0268a99910;
# The PackedRecord: one event's fields, packed into a message that stands on its own.

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("recordkit::wire");

using V = import "/automation/variant.capnp";

struct PackedRecord {
  fields @0 :List(Field);
}

struct Field {
  name @0 :Text;
  value @1 :V.Variant;
  mapped @2 :Bool;
}
