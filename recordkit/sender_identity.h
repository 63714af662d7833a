#pragma once
// Who handed an event over, as the server saw it: the sending process's uid, gid and
// pid from its socket's peer credentials, and/or the subject of its TLS client
// certificate (or, over plain TCP, its network address). The server stamps it on each
// record; no field a client sets can change it.

#include <cstdint>
#include <string>

namespace recordkit {

struct SenderIdentity {
  bool known = false;           // false: nobody stamped the record
  bool hasCredentials = false;  // uid, gid and pid hold the peer's
  uint32_t uid = 0;
  uint32_t gid = 0;
  int32_t pid = 0;
  std::string subject;
  // The subject is a TLS client certificate's, checked against the daemon's CA. Not
  // packed: the daemon decides with it what a connection may see.
  bool verified = false;
};

// Where the server's journal holds a record: the journal's identity and the record's
// sequence number in it. Together they name the record for good, so that a store can
// tell a record it holds already. Zero when the record was not journalled.
struct JournalStamp {
  int64_t journal = 0;
  int64_t sequence = 0;
  bool known() const { return journal != 0; }
};

// "uid=1000 gid=1000 pid=4242", "subject=CN", both, or "unknown sender", for the
// fault log's entries about what a client handed over.
std::string DescribeSender(const SenderIdentity& sender);

}  // namespace recordkit
