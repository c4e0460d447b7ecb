#include "persist/wal_format.h"

#include <algorithm>
#include <charconv>

#include "persist/codec.h"

namespace vellum::persist {

namespace {

constexpr std::string_view kSegmentPrefix = "wal-";
constexpr std::string_view kSegmentSuffix = ".log";

bool has_list(WalOp op) {
  return op == WalOp::HDel || op == WalOp::LPush || op == WalOp::RPush || op == WalOp::SAdd ||
         op == WalOp::SRem;
}

Err<std::string_view> malformed(std::string_view reason) { return Err<std::string_view>{reason}; }

}  // namespace

std::string segment_name(uint64_t n) {
  return std::string(kSegmentPrefix) + std::to_string(n) + std::string(kSegmentSuffix);
}

std::optional<uint64_t> parse_segment_name(std::string_view name) {
  if (name.size() < kSegmentPrefix.size() + kSegmentSuffix.size() + 1) return std::nullopt;
  if (!name.starts_with(kSegmentPrefix) || !name.ends_with(kSegmentSuffix)) return std::nullopt;
  std::string_view digits =
      name.substr(kSegmentPrefix.size(), name.size() - kSegmentPrefix.size() - kSegmentSuffix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  uint64_t n = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return n;
}

void encode_wal_payload(const WalRecord& r, std::string& out) {
  put_u8(out, static_cast<uint8_t>(r.op));
  switch (r.op) {
    case WalOp::Set:
      put_u64(out, r.expires_at_ms);
      put_bytes(out, r.key);
      out.append(r.value);
      out.append(r.value_tail);
      break;
    case WalOp::ExpireAt:
      put_u64(out, r.expires_at_ms);
      put_bytes(out, r.key);
      break;
    case WalOp::HSet:
      put_bytes(out, r.key);
      put_bytes(out, r.field);
      out.append(r.value);
      break;
    case WalOp::HDel:
    case WalOp::LPush:
    case WalOp::RPush:
    case WalOp::SAdd:
    case WalOp::SRem:
      put_bytes(out, r.key);
      put_varint(out, r.items.size());
      for (const Bytes& item : r.items) put_bytes(out, item);
      break;
    case WalOp::Del:
    case WalOp::LPop:
    case WalOp::RPop:
      put_bytes(out, r.key);
      break;
    case WalOp::FlushAll:
      break;
    case WalOp::Batch:
      put_varint(out, r.items.size());
      for (const Bytes& item : r.items) put_bytes(out, item);
      break;
    case WalOp::Rename:
      put_bytes(out, r.key);
      put_bytes(out, r.field);
      break;
    case WalOp::LSet:
    case WalOp::LRem:
      put_u64(out, static_cast<uint64_t>(r.arg1));
      put_bytes(out, r.key);
      out.append(r.value);
      break;
    case WalOp::LTrim:
      put_u64(out, static_cast<uint64_t>(r.arg1));
      put_u64(out, static_cast<uint64_t>(r.arg2));
      put_bytes(out, r.key);
      break;
    case WalOp::LInsert:
      put_u8(out, r.arg1 != 0 ? 1 : 0);
      put_bytes(out, r.key);
      put_bytes(out, r.field);
      out.append(r.value);
      break;
    case WalOp::LMove:
      put_u8(out, r.arg1 != 0 ? 1 : 0);
      put_u8(out, r.arg2 != 0 ? 1 : 0);
      put_bytes(out, r.key);
      put_bytes(out, r.field);
      break;
  }
}

Result<DecodedWalRecord, std::string_view> decode_wal_payload(BytesView payload) {
  Cursor c(payload);
  uint8_t code = 0;
  if (!c.get_u8(code)) return malformed(kMalformedTruncated);
  if (!wal_op_known(code)) return malformed(kMalformedUnknownOp);
  DecodedWalRecord rec;
  rec.op = static_cast<WalOp>(code);
  // Every varint problem inside a payload (cut short or over 10 bytes) reads as truncated.
  auto bytes = [&c](BytesView& out) { return c.get_bytes(out) == DecodeStatus::Ok; };
  switch (rec.op) {
    case WalOp::Set:
      if (!c.get_u64(rec.expires_at_ms) || !bytes(rec.key)) return malformed(kMalformedTruncated);
      rec.value = c.rest();
      break;
    case WalOp::ExpireAt:
      if (!c.get_u64(rec.expires_at_ms) || !bytes(rec.key)) return malformed(kMalformedTruncated);
      break;
    case WalOp::HSet:
      if (!bytes(rec.key) || !bytes(rec.field)) return malformed(kMalformedTruncated);
      rec.value = c.rest();
      break;
    case WalOp::Del:
    case WalOp::LPop:
    case WalOp::RPop:
      if (!bytes(rec.key)) return malformed(kMalformedTruncated);
      break;
    case WalOp::FlushAll:
      break;
    case WalOp::Batch: {
      // Every sub-record is checked here, so a batch that decodes is applied whole.
      uint64_t count = 0;
      if (c.get_varint(count) != DecodeStatus::Ok) return malformed(kMalformedTruncated);
      rec.items.reserve(static_cast<size_t>(std::min<uint64_t>(count, c.remaining())));
      for (uint64_t i = 0; i < count; ++i) {
        BytesView item;
        if (!bytes(item)) return malformed(kMalformedTruncated);
        auto sub = decode_wal_payload(item);
        if (!sub) return malformed(sub.error());
        if (sub.value().op == WalOp::Batch) return malformed(kMalformedNestedBatch);
        rec.items.emplace_back(item);
      }
      break;
    }
    case WalOp::Rename:
      if (!bytes(rec.key) || !bytes(rec.field)) return malformed(kMalformedTruncated);
      break;
    case WalOp::LSet:
    case WalOp::LRem: {
      uint64_t n = 0;
      if (!c.get_u64(n) || !bytes(rec.key)) return malformed(kMalformedTruncated);
      rec.arg1 = static_cast<int64_t>(n);
      rec.value = c.rest();
      break;
    }
    case WalOp::LTrim: {
      uint64_t start = 0;
      uint64_t stop = 0;
      if (!c.get_u64(start) || !c.get_u64(stop) || !bytes(rec.key)) return malformed(kMalformedTruncated);
      rec.arg1 = static_cast<int64_t>(start);
      rec.arg2 = static_cast<int64_t>(stop);
      break;
    }
    case WalOp::LInsert: {
      uint8_t after = 0;
      if (!c.get_u8(after) || !bytes(rec.key) || !bytes(rec.field)) return malformed(kMalformedTruncated);
      if (after > 1) return malformed(kMalformedFlag);
      rec.arg1 = after;
      rec.value = c.rest();
      break;
    }
    case WalOp::LMove: {
      uint8_t from = 0;
      uint8_t to = 0;
      if (!c.get_u8(from) || !c.get_u8(to) || !bytes(rec.key) || !bytes(rec.field)) {
        return malformed(kMalformedTruncated);
      }
      if (from > 1 || to > 1) return malformed(kMalformedFlag);
      rec.arg1 = from;
      rec.arg2 = to;
      break;
    }
    default: {
      if (!has_list(rec.op) || !bytes(rec.key)) return malformed(kMalformedTruncated);
      uint64_t count = 0;
      if (c.get_varint(count) != DecodeStatus::Ok) return malformed(kMalformedTruncated);
      // Each item takes at least its one-byte length, so this bounds the reservation by
      // the payload rather than by the count the payload claims.
      rec.items.reserve(static_cast<size_t>(std::min<uint64_t>(count, c.remaining())));
      for (uint64_t i = 0; i < count; ++i) {
        BytesView item;
        if (!bytes(item)) return malformed(kMalformedTruncated);
        rec.items.emplace_back(item);
      }
      break;
    }
  }
  return rec;
}

}  // namespace vellum::persist
