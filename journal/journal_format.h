#pragma once
// How the journal file is laid out. The file is a sequence of frames:
//
//   length   u32, little-endian: the bytes of the payload
//   checksum u32, little-endian: CRC-32C of the length's four bytes and the payload
//   payload  one kind byte, a u64 (little-endian), then the kind's bytes
//
// Kinds: a Header opens every file (its u64 is the journal's identity, followed by
// the next sequence number as a u64); a Record holds one accepted PackedRecord under
// its sequence number; a Taken marker says that every record up to its sequence
// number was taken by a log target. A frame that does not check out ends what is
// read: nothing after it is trusted.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ledgerwick::journal {

enum class FrameKind : uint8_t { Header = 'H', Record = 'R', Taken = 'T' };

constexpr size_t kFrameHeaderBytes = 8;               // length and checksum
constexpr size_t kPayloadHeaderBytes = 1 + 8;         // kind and number
// No payload is longer: the largest record the server queues, and room around it.
constexpr size_t kMaxPayloadBytes = (size_t{16} << 20) + 64;

// CRC-32C (Castagnoli), continuing from `crc` (0 to start). Uses the processor's
// instruction where there is one; Crc32cPortable is the same sum a byte at a time.
uint32_t Crc32c(uint32_t crc, const void* data, size_t size);
uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size);

// Appends one frame to `out`.
void AppendFrame(std::string& out, FrameKind kind, uint64_t number, std::string_view body);

struct Frame {
  FrameKind kind;
  uint64_t number;
  std::string_view body;  // points into the buffer read from
};

enum class ReadOutcome {
  Frame,    // a whole, checked frame
  End,      // no bytes left
  Torn,     // the bytes left are too few for the frame they begin: a write cut short
  Corrupt,  // a whole frame that does not check out, or a length no frame has
};

// Reads the frame at `offset` of `data`; on Frame, `offset` moves past it.
ReadOutcome ReadFrame(std::string_view data, size_t& offset, Frame& frame);

}  // namespace ledgerwick::journal
