@0xa49ca11dd4574705;
# The type library Ledgerwick 10.0: what clients of ledgerwickd bind to. File and
# interface ids, method ordinals and dispatch ids are fixed once and never change;
# new members may only be added at the end.

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("ledgerwick::rpc");

using V = import "/automation/variant.capnp";

const progIdApplication :Text = "Ledgerwick.Application";

# The LogMethods enumeration. A log method travels as an Int32 and may hold values
# outside the enumeration (LogMethod keeps whatever it is given).
const logMethodToFile :Int32 = 0;
const logMethodToDatabase :Int32 = 1;
const logMethodToEmail :Int32 = 2;

# Dispatch ids of the members of _Application, for invoke and getIdsOfNames.
const dispIdDescription :Int32 = 0x40030001;
const dispIdKey :Int32 = 0x40030004;
const dispIdLoggit :Int32 = 0x60030007;
const dispIdAppName :Int32 = 0x68030006;
const dispIdName :Int32 = 0x68030005;
const dispIdLogMethod :Int32 = 0x68030004;
const dispIdArrayData :Int32 = 0x68030003;
const dispIdFieldMap :Int32 = 0x68030002;
const dispIdProperties :Int32 = 0;
const dispIdFields :Int32 = 0x68030001;
const dispIdDestroy :Int32 = 0x60030008;
const dispIdReady :Int32 = 0x68030000;

# The default interface _Application of the class Application. The methods follow the
# interface order of the members; every one answers a status (0, or an automation
# error number with its description). invoke and getIdsOfNames (from V.Dispatch)
# reach the same members by dispatch id.
interface Application @0xc9d26b3f634130cc extends(V.Dispatch) {
  getDescription @0 () -> (status :V.Status, value :Text);
  setDescription @1 (value :Text) -> (status :V.Status);
  getKey @2 () -> (status :V.Status, value :V.Variant);
  setKey @3 (value :V.Variant) -> (status :V.Status);
  setKeyRef @4 (value :V.Variant) -> (status :V.Status);
  # vData is in/out: the answer carries it as the call left it.
  loggit @5 (vData :V.Variant) -> (status :V.Status, vData :V.Variant);
  getAppName @6 () -> (status :V.Status, value :Text);
  setAppName @7 (szAppName :Text) -> (status :V.Status);
  getName @8 () -> (status :V.Status, value :Text);
  getLogMethod @9 () -> (status :V.Status, value :Int32);
  setLogMethod @10 (lMeth :Int32) -> (status :V.Status);
  # The value is in/out, as a by-reference parameter.
  setArrayData @11 (value :V.Variant) -> (status :V.Status, value :V.Variant);
  getArrayData @12 () -> (status :V.Status, value :V.Variant);
  getFieldMap @13 () -> (status :V.Status, value :V.Variant);
  getProperties @14 () -> (status :V.Status, properties :PropertySet);
  getFields @15 (fieldNo :Int16) -> (status :V.Status, value :V.Variant);
  setFields @16 (fieldNo :Int16, value :V.Variant) -> (status :V.Status, value :V.Variant);
  destroy @17 () -> (status :V.Status, result :Int32);
  getReady @18 () -> (status :V.Status, value :Bool);
}

# Many events in one call, on the same Application object: a second interface of its
# own, so that _Application's members, ordinals and dispatch ids stay as they are. A
# client reaches it by casting its Application capability.
interface EventBatch @0xd6f2a8c41b7e3f05 {
  # Each record (the bytes of a PackedRecord; empty for none) goes through Loggit on
  # this object, in order, as if it were Loggit's vData: one status per record, and
  # a record that fails does not stop the ones after it. The status of the call
  # itself is 0 unless the call could not be made.
  loggitBatch @0 (records :List(Data)) -> (status :V.Status, statuses :List(V.Status));
}

# What the daemon's Application objects implement: both interfaces.
interface BatchingApplication @0xe1b93c7a5d02f468 extends(Application, EventBatch) {}

# The named fields of one event (Recordkit's PropertySet).
interface PropertySet @0xfa64bb669b11669e extends(V.Dispatch) {
  # The field so named, matched without regard to case.
  item @0 (name :Text) -> (status :V.Status, property :Property);
  count @1 () -> (status :V.Status, count :UInt32);
  # Enumeration: the field at a position (0 .. count-1) in the set's stable order.
  itemAt @2 (index :UInt32) -> (status :V.Status, property :Property);
}

interface Property @0xac3d89d56100b16a extends(V.Dispatch) {
  getName @0 () -> (status :V.Status, name :Text);
  getValue @1 () -> (status :V.Status, value :V.Variant);
  setValue @2 (value :V.Variant) -> (status :V.Status);
  getMapped @3 () -> (status :V.Status, mapped :Bool);
}

# What the writer has done since the daemon started.
struct WriterCounters @0x92d1ae82ed6fbbe6 {
  toNetworkStore @0 :UInt64;
  toLocalStore @1 :UInt64;
  toTextLog @2 :UInt64;
  faults @3 :UInt64;         # entries written to the fault log
}

struct DaemonStatus @0xdbc9f7527b6acd99 {
  pid @0 :Int32;
  ready @1 :Bool;            # ReadyFlag as start-up left it
  startupDone @2 :Bool;      # start-up has run in this process
  logMethod @3 :Int32;
  queueLength @4 :UInt64;    # records waiting in the ErrorBuffer
  instanceCount @5 :Int32;   # Application objects counted by start-up
  liveObjects @6 :UInt32;    # Application objects held by clients right now
  connections @7 :UInt32;
  drainBusy @8 :Bool;
  drainIntervalMs @9 :Int32; # 100 normally; longer while no target takes a record
  counters @10 :WriterCounters;
  networkStore @11 :StoreState;
  localStore @12 :StoreState;
  queueBytes @13 :UInt64;    # what the queued records take in memory
  queueLimitBytes @14 :UInt64;  # the bound past which Loggit answers 7
  journalBytes @15 :UInt64;     # the journal file's size
  journalRecords @16 :UInt64;   # records journalled that no target took yet
  journalSync @17 :Text;        # none, batch or always; empty: no journal
}

# One log store as the writer sees it.
struct StoreState @0xc3a1f0d2b4e59a71 {
  opened @0 :Bool;      # start-up opened it: both of its objects are set
  open @1 :Bool;        # it takes records now
  downSince @2 :Text;   # while opened and not open: since when, "YYYY-MM-DD HH:MM:SS" local time
  lastError @3 :Text;   # while opened and not open: why
}

# Hears of the records the daemon writes, as it writes them.
interface WrittenListener @0x99248474e9bf86f7 {
  # Records a target took, oldest first, each a packed record.
  written @0 (records :List(Data)) -> ();
}

# Looks at the daemon as a whole; creates nothing.
interface Admin @0xfa324778ee0a4e1d {
  status @0 () -> (status :V.Status, daemon :DaemonStatus);
  # From now on, every run of records a target takes is handed to `listener`, until
  # a call to it fails (its client went away) or it falls too far behind.
  follow @1 (listener :WrittenListener) -> (status :V.Status);
}

# The bootstrap capability of every connection.
interface Factory @0xe50616641555f296 {
  # An Application for "Ledgerwick.Application" (case-blind); for any other
  # identifier status 429 "Component can't create object" and no object.
  create @0 (progId :Text) -> (status :V.Status, object :V.Dispatch);
  admin @1 () -> (status :V.Status, admin :Admin);
}
