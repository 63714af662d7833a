@0xc5862c0268a99910;
# The PackedRecord: one event's fields, packed into a message that stands on its own.

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("recordkit::wire");

using V = import "/automation/variant.capnp";

struct PackedRecord {
  fields @0 :List(Field);
  # Who handed the event over, as the server saw it; never a field a client sets.
  sender @1 :Sender;
  # Where the server's journal holds the record; never a field a client sets.
  journal @2 :JournalStamp;
}

struct JournalStamp {
  journal @0 :Int64;   # the journal's identity; 0: the record was not journalled
  sequence @1 :Int64;
}

struct Sender {
  known @0 :Bool;      # false: the server did not stamp the record
  uid @1 :UInt32;      # the sending process's, from its socket's peer credentials
  gid @2 :UInt32;
  pid @3 :Int32;
  hasCredentials @4 :Bool;
  subject @5 :Text;    # a TLS client certificate's common name, or the peer's address
}

struct Field {
  name @0 :Text;
  value @1 :V.Variant;
  mapped @2 :Bool;
}
