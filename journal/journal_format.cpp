#include "journal/journal_format.h"

#include <array>

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

void PutU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void PutU64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t GetLittle(std::string_view data, size_t at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{static_cast<unsigned char>(data[at + i])} << (8 * i);
  return value;
}

}  // namespace

uint32_t Crc32c(uint32_t crc, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
  return ~crc;
}

void AppendFrame(std::string& out, FrameKind kind, uint64_t number, std::string_view body) {
  const size_t start = out.size();
  PutU32(out, static_cast<uint32_t>(kPayloadHeaderBytes + body.size()));
  PutU32(out, 0);  // the checksum, filled in below
  out.push_back(static_cast<char>(kind));
  PutU64(out, number);
  out.append(body);
  uint32_t crc = Crc32c(0, out.data() + start, 4);
  crc = Crc32c(crc, out.data() + start + kFrameHeaderBytes, out.size() - start - kFrameHeaderBytes);
  for (int i = 0; i < 4; ++i) out[start + 4 + i] = static_cast<char>((crc >> (8 * i)) & 0xff);
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
