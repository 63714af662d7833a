#include "journal/journal_format.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace ledgerwick::journal {

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint64_t GetLittle(std::string_view data, size_t at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{static_cast<unsigned char>(data[at + i])} << (8 * i);
  return value;
}

}  // namespace

namespace {

uint32_t Crc32cTable(uint32_t crc, const unsigned char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
// SSE 4.2's crc32 instruction computes the same polynomial eight bytes at a time:
// a record's checksum then costs a few hundred cycles, not a few thousand.
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const unsigned char* bytes, size_t size) {
  uint64_t wide = crc;
  for (; size >= 8; size -= 8, bytes += 8) {
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    wide = _mm_crc32_u64(wide, word);
  }
  auto narrow = static_cast<uint32_t>(wide);
  for (; size > 0; --size, ++bytes) narrow = _mm_crc32_u8(narrow, *bytes);
  return narrow;
}

const bool kHardwareCrc = __builtin_cpu_supports("sse4.2");
#endif

void PutLittle(char* at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace

uint32_t Crc32c(uint32_t crc, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
#if defined(__x86_64__)
  if (kHardwareCrc) return ~Crc32cHardware(~crc, bytes, size);
#endif
  return Crc32cPortable(crc, data, size);
}

uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size) {
  return ~Crc32cTable(~crc, static_cast<const unsigned char*>(data), size);
}

void AppendFrame(std::string& out, FrameKind kind, uint64_t number, std::string_view body) {
  const size_t start = out.size();
  out.resize(start + kFrameHeaderBytes + kPayloadHeaderBytes);
  char* header = out.data() + start;
  PutLittle(header, kPayloadHeaderBytes + body.size(), 4);
  header[kFrameHeaderBytes] = static_cast<char>(kind);
  PutLittle(header + kFrameHeaderBytes + 1, number, 8);
  out.append(body);
  header = out.data() + start;
  uint32_t crc = Crc32c(0, header, 4);
  crc = Crc32c(crc, header + kFrameHeaderBytes, out.size() - start - kFrameHeaderBytes);
  PutLittle(header + 4, crc, 4);
}

ReadOutcome ReadFrame(std::string_view data, size_t& offset, Frame& frame) {
  if (offset >= data.size()) return ReadOutcome::End;
  const size_t left = data.size() - offset;
  if (left < kFrameHeaderBytes) return ReadOutcome::Torn;
  const uint64_t length = GetLittle(data, offset, 4);
  if (length < kPayloadHeaderBytes || length > kMaxPayloadBytes) return ReadOutcome::Corrupt;
  if (left - kFrameHeaderBytes < length) return ReadOutcome::Torn;
  const uint32_t stored = static_cast<uint32_t>(GetLittle(data, offset + 4, 4));
  const char* payload = data.data() + offset + kFrameHeaderBytes;
  uint32_t crc = Crc32c(0, data.data() + offset, 4);
  crc = Crc32c(crc, payload, length);
  if (crc != stored) return ReadOutcome::Corrupt;
  const auto kind = static_cast<FrameKind>(payload[0]);
  if (kind != FrameKind::Header && kind != FrameKind::Record && kind != FrameKind::Taken) {
    return ReadOutcome::Corrupt;
  }
  frame.kind = kind;
  frame.number = GetLittle(data, offset + kFrameHeaderBytes + 1, 8);
  frame.body = std::string_view(payload + kPayloadHeaderBytes, length - kPayloadHeaderBytes);
  offset += kFrameHeaderBytes + length;
  return ReadOutcome::Frame;
}

}  // namespace ledgerwick::journal
