@0xa6576ed81f162780;
# The wire form of an automation Variant, shared by packed records and the server's
# RPC interfaces. Ids are fixed once and never change.

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("automation::wire");

struct Variant {
  union {
    empty @0 :Void;
    null @1 :Void;
    integer @2 :Int16;
    long @3 :Int32;
    single @4 :Float32;
    double @5 :Float64;
    currency @6 :Int64;      # the amount times 10000
    date @7 :Float64;        # days since 30 Dec 1899
    string @8 :Text;
    boolean @9 :Bool;
    byte @10 :UInt8;
    error @11 :Int32;
    object @12 :Dispatch;    # only over RPC; a packed record cannot carry one
    array @13 :Array;
    nothing @14 :Void;       # an object reference that refers to no object
  }
}

struct ArrayBound {
  lower @0 :Int32;
  count @1 :UInt32;
}

struct Array {
  elementType @0 :UInt16;    # the automation type code; 12 for Variant elements
  bounds @1 :List(ArrayBound);
  union {
    elements @2 :List(Variant);  # storage order, first index fastest
    bytes @3 :Data;              # byte arrays
  }
}

# Every call answers a status: 0, or an error number with its description.
struct Status {
  number @0 :Int32;
  description @1 :Text;
}

# Late-bound calls, offered by every remote object.
interface Dispatch {
  invoke @0 (dispId :Int32, flags :UInt16, args :List(Variant))
      -> (status :Status, result :Variant, args :List(Variant));
  getIdsOfNames @1 (names :List(Text)) -> (status :Status, dispIds :List(Int32));
}
