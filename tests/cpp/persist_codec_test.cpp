// Codec, segment names and LOCK contents: the pure functions under both file formats.

#include <gtest/gtest.h>

#include <string>

#include "persist/codec.h"
#include "persist/dir_lock.h"
#include "persist/wal_format.h"
#include "persist_util.h"

namespace vellum::persist {
namespace {

using testing::Enc;

TEST(Crc32, MatchesPublishedCheckValues) {
  EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(crc32(""), 0u);
  EXPECT_EQ(crc32("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

TEST(Crc32, IncrementalEqualsOneShot) {
  std::string data(1000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{499}, size_t{1000}}) {
    Crc32 c;
    c.update(BytesView(data).substr(0, cut));
    c.update(BytesView(data).substr(cut));
    EXPECT_EQ(c.value(), crc32(data)) << cut;
    EXPECT_EQ(c.value(), Enc::crc(data));
  }
}

TEST(Varint, EncodesAtGroupBoundaries) {
  const std::pair<uint64_t, std::string> cases[] = {
      {0, std::string(1, '\0')},
      {127, "\x7f"},
      {128, "\x80\x01"},
      {300, "\xac\x02"},
      {16383, "\xff\x7f"},
      {16384, "\x80\x80\x01"},
      {~uint64_t{0}, "\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"},
  };
  for (const auto& [v, bytes] : cases) {
    std::string out;
    put_varint(out, v);
    EXPECT_EQ(out, bytes) << v;
    Cursor c(out);
    uint64_t back = 0;
    ASSERT_EQ(c.get_varint(back), DecodeStatus::Ok) << v;
    EXPECT_EQ(back, v);
    EXPECT_EQ(c.remaining(), 0u);
  }
}

TEST(Varint, TenthByteSuppliesOnlyBit63) {
  struct Case {
    std::string in;
    DecodeStatus status;
    uint64_t value;
  };
  const std::string nine_more(9, '\x80');
  const Case cases[] = {
      {nine_more + "\x01", DecodeStatus::Ok, uint64_t{1} << 63},
      {nine_more + "\x7f", DecodeStatus::Ok, uint64_t{1} << 63},  // higher bits are dropped
      {nine_more + std::string(1, '\0'), DecodeStatus::Ok, 0},
      {nine_more + "\x81", DecodeStatus::Overflow, 0},
      {nine_more, DecodeStatus::Truncated, 0},
      {"", DecodeStatus::Truncated, 0},
  };
  for (const Case& c : cases) {
    Cursor cur(c.in);
    uint64_t v = 0;
    EXPECT_EQ(cur.get_varint(v), c.status);
    if (c.status == DecodeStatus::Ok) {
      EXPECT_EQ(v, c.value);
    }
  }
}

TEST(Cursor, NeverReadsPastItsEnd) {
  const std::string data = "\x05" "abc";  // claims 5 bytes, holds 3
  Cursor c(data);
  BytesView out;
  EXPECT_EQ(c.get_bytes(out), DecodeStatus::Truncated);
  Cursor small(BytesView("1234567", 7));
  uint64_t v = 0;
  EXPECT_FALSE(small.get_u64(v));
  uint32_t w = 0;
  EXPECT_TRUE(small.get_u32(w));
  EXPECT_EQ(w, 0x34333231u);
  EXPECT_FALSE(small.get_u32(w));
  EXPECT_EQ(small.rest(), "567");
}

TEST(SegmentName, FormatsWithoutLeadingZeros) {
  EXPECT_EQ(segment_name(0), "wal-0.log");
  EXPECT_EQ(segment_name(4), "wal-4.log");
  EXPECT_EQ(segment_name(~uint64_t{0}), "wal-18446744073709551615.log");
}

TEST(SegmentName, AcceptsOnlyPrefixDigitsSuffix) {
  const std::pair<const char*, std::optional<uint64_t>> cases[] = {
      {"wal-0.log", 0},
      {"wal-17.log", 17},
      {"wal-0004.log", 4},
      {"wal-18446744073709551615.log", ~uint64_t{0}},
      {"wal-18446744073709551616.log", std::nullopt},
      {"wal-.log", std::nullopt},
      {"wal-1a.log", std::nullopt},
      {"WAL-1.log", std::nullopt},
      {"wal-1.LOG", std::nullopt},
      {"wal-+1.log", std::nullopt},
      {"wal-1.log.tmp", std::nullopt},
      {"xwal-1.log", std::nullopt},
      {"snapshot.kvs", std::nullopt},
  };
  for (const auto& [name, want] : cases) EXPECT_EQ(parse_segment_name(name), want) << name;
}

TEST(LockContent, ParsesTrimmedUnsigned32BitPid) {
  const std::pair<std::string, std::optional<uint32_t>> cases[] = {
      {"1234\n", 1234},
      {"  1234\r\n", 1234},
      {"+77", 77},
      {"\xc2\xa0" "42\xe3\x80\x80", 42},  // NO-BREAK SPACE and IDEOGRAPHIC SPACE trim too
      {"4294967295", 4294967295u},
      {"4294967296", std::nullopt},
      {"abc", std::nullopt},
      {"-1", std::nullopt},
      {"++1", std::nullopt},
      {"+", std::nullopt},
      {"", std::nullopt},
      {" \n", std::nullopt},
      {"12 34", std::nullopt},
      {"\xff" "12", std::nullopt},  // not UTF-8
      {"\xe2\x80\x8b" "12", std::nullopt},  // ZERO WIDTH SPACE is not white space
  };
  for (const auto& [content, want] : cases) EXPECT_EQ(parse_lock_pid(content), want) << content;
}

TEST(WalPayload, RoundTripsEveryOperation) {
  const std::vector<Bytes> list = {"a", "", std::string(200, 'z')};
  const WalRecord records[] = {
      {WalOp::Set, 123, "k", {}, "value", {}},
      {WalOp::Del, 0, "k", {}, {}, {}},
      {WalOp::ExpireAt, ~uint64_t{0}, "k", {}, {}, {}},
      {WalOp::HSet, 0, "h", "f", "v", {}},
      {WalOp::HDel, 0, "h", {}, {}, list},
      {WalOp::LPush, 0, "l", {}, {}, list},
      {WalOp::RPush, 0, "l", {}, {}, list},
      {WalOp::LPop, 0, "l", {}, {}, {}},
      {WalOp::RPop, 0, "l", {}, {}, {}},
      {WalOp::SAdd, 0, "s", {}, {}, list},
      {WalOp::SRem, 0, "s", {}, {}, list},
      {WalOp::FlushAll, 0, {}, {}, {}, {}},
      {WalOp::Rename, 0, "a", "b", {}, {}},
      {WalOp::LSet, 0, "l", {}, "v", {}, {}, -3, 0},
      {WalOp::LTrim, 0, "l", {}, {}, {}, {}, INT64_MIN, INT64_MAX},
      {WalOp::LRem, 0, "l", {}, "", {}, {}, -1, 0},
      {WalOp::LInsert, 0, "l", "pivot", "v", {}, {}, 1, 0},
      {WalOp::LMove, 0, "src", "dst", {}, {}, {}, 1, 0},
      {WalOp::LMove, 0, "src", "src", {}, {}, {}, 0, 1},
  };
  for (const WalRecord& r : records) {
    std::string payload;
    encode_wal_payload(r, payload);
    auto d = decode_wal_payload(payload);
    ASSERT_TRUE(d.ok()) << static_cast<int>(r.op);
    EXPECT_EQ(d.value().op, r.op);
    EXPECT_EQ(d.value().expires_at_ms, r.expires_at_ms);
    EXPECT_EQ(d.value().key, r.key);
    EXPECT_EQ(d.value().field, r.field);
    EXPECT_EQ(d.value().value, r.value);
    EXPECT_EQ(d.value().items, std::vector<Bytes>(r.items.begin(), r.items.end()));
    EXPECT_EQ(d.value().arg1, r.arg1);
    EXPECT_EQ(d.value().arg2, r.arg2);
  }
}

TEST(WalPayload, MalformedReasons) {
  const std::string nine_more(9, '\x80');
  const std::pair<std::string, std::string_view> cases[] = {
      {"", kMalformedTruncated},
      {Enc::op(0), kMalformedUnknownOp},
      {Enc::op(50), kMalformedUnknownOp},
      {Enc::op(15), kMalformedUnknownOp},  // between the key ops and the list ops
      {Enc::op(29), kMalformedUnknownOp},
      {Enc::op(35), kMalformedUnknownOp},
      {Enc::op(30) + "1234567", kMalformedTruncated},                  // LSET index cut short
      {Enc::op(31) + Enc::u64(0) + "1234", kMalformedTruncated},        // LTRIM without stop
      {Enc::op(32) + Enc::u64(0), kMalformedTruncated},                 // LREM without key
      {Enc::op(33) + "\x02" + Enc::bytes("l") + Enc::bytes("p"), kMalformedFlag},
      {Enc::op(33) + "\x01" + Enc::bytes("l"), kMalformedTruncated},   // LINSERT without pivot
      {Enc::op(34) + std::string("\x00\x07", 2) + Enc::bytes("a") + Enc::bytes("b"), kMalformedFlag},
      {Enc::op(34) + std::string("\x00\x01", 2) + Enc::bytes("a"), kMalformedTruncated},  // LMOVE without destination
      {Enc::op(255), kMalformedUnknownOp},
      {Enc::op(1) + "12345678", kMalformedTruncated},  // SET with no key
      {Enc::op(1) + "1234567", kMalformedTruncated},   // SET shorter than 9 bytes
      {Enc::op(3) + "1234", kMalformedTruncated},
      {Enc::op(2) + "\x05" "ab", kMalformedTruncated},  // key runs past the payload
      {Enc::op(2) + nine_more + "\x81", kMalformedTruncated},  // varint over 10 bytes
      {Enc::op(4) + Enc::bytes("h"), kMalformedTruncated},     // HSET without field
      {Enc::op(7) + Enc::bytes("l") + Enc::varint(3) + Enc::bytes("a"), kMalformedTruncated},
      {Enc::op(7) + Enc::bytes("l") + nine_more, kMalformedTruncated},  // count cut short
  };
  for (const auto& [payload, reason] : cases) {
    auto d = decode_wal_payload(payload);
    ASSERT_FALSE(d.ok()) << ::testing::PrintToString(payload);
    EXPECT_EQ(d.error(), reason) << ::testing::PrintToString(payload);
  }
}

TEST(WalPayload, IgnoresBytesAfterFixedFields) {
  // The decoded record borrows the payload, so the payload must outlive it.
  const std::string payload = Enc::op(2) + Enc::bytes("k") + "trailing";
  auto d = decode_wal_payload(payload);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.value().key, "k");
  const std::string flush = Enc::op(12) + "x";
  auto f = decode_wal_payload(flush);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.value().op, WalOp::FlushAll);
}

TEST(WalPayload, HugeCountDoesNotReserveFromTheCount) {
  // A count near 2^63 with no items behind it must fail, not try to allocate.
  auto d = decode_wal_payload(Enc::op(10) + Enc::bytes("s") + Enc::varint(uint64_t{1} << 62));
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error(), kMalformedTruncated);
}

}  // namespace
}  // namespace vellum::persist
