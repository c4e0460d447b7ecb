// The two file formats as the store writes and loads them: byte-exact records and
// snapshots, every snapshot failure reason in its check order, torn log tails and
// malformed records. Expected bytes come from the independent encoder in persist_util.h.

#include <gtest/gtest.h>

#include "persist/data_dir.h"
#include "core/store.h"
#include "persist_util.h"

namespace vellum {
namespace {

using testing::Enc;
using testing::file_exists;
using testing::items;
using testing::PersistFixture;
using testing::read_file;
using testing::write_file;

using WalFormat = PersistFixture;

TEST_F(WalFormat, EveryMutationIsLoggedAsItsRecord) {
  auto s = open();
  ASSERT_TRUE(s);
  const uint64_t now = clock->now_ms();
  ASSERT_TRUE(s->set("k", "v", std::nullopt, false, false).ok());
  ASSERT_TRUE(s->set("t", "x", 5000, false, false).ok());
  ASSERT_TRUE(s->hset("h", "f", "val").ok());
  ASSERT_TRUE(s->rpush("l", items({"a", "b"})).ok());
  ASSERT_TRUE(s->lpush("l", items({"c"})).ok());
  ASSERT_TRUE(s->lpop("l").ok());
  ASSERT_TRUE(s->rpop("l").ok());
  ASSERT_TRUE(s->sadd("m", items({"z"})).ok());
  ASSERT_TRUE(s->srem("m", items({"z"})).ok());  // empties the set: SREM then DEL
  ASSERT_TRUE(s->hdel("h", items({"nope"})).ok());
  EXPECT_TRUE(s->pexpire("k", 1000).value());
  EXPECT_TRUE(s->persist("k").value());
  EXPECT_FALSE(s->persist("k").value());  // nothing to remove, nothing logged
  EXPECT_EQ(s->del(items({"t"})).value(), 1u);
  ASSERT_TRUE(s->flush().ok());

  const std::string want = Enc::set("k", "v") + Enc::set("t", "x", now + 5000) +
                           Enc::record(Enc::op(4) + Enc::bytes("h") + Enc::bytes("f") + "val") +
                           Enc::listop(7, "l", {"a", "b"}) + Enc::listop(6, "l", {"c"}) +
                           Enc::record(Enc::op(8) + Enc::bytes("l")) + Enc::record(Enc::op(9) + Enc::bytes("l")) +
                           Enc::listop(10, "m", {"z"}) + Enc::listop(11, "m", {"z"}) + Enc::del("m") +
                           Enc::listop(5, "h", {"nope"}) + Enc::expireat("k", now + 1000) + Enc::expireat("k", 0) +
                           Enc::del("t") + Enc::record(Enc::op(12));
  EXPECT_EQ(read_file(dir.file("wal-0.log")), want);
  EXPECT_EQ(persist::read_persist_stats(*s)->wal_bytes, want.size());
}

using SnapshotFormat = PersistFixture;

TEST_F(SnapshotFormat, EmptyKeySpaceIs33Bytes) {
  auto s = open();
  ASSERT_TRUE(persist::save(*s).ok());
  const std::string file = read_file(dir.file("snapshot.kvs"));
  EXPECT_EQ(file.size(), 33u);
  EXPECT_EQ(file, Enc::snapshot(1, "", 0));
  EXPECT_EQ(persist::read_persist_stats(*s)->snapshot_bytes, 33u);
}

TEST_F(SnapshotFormat, WritesLiveEntriesOfEveryKind) {
  auto s = open();
  ASSERT_TRUE(s->set("gone", "1", 10, false, false).ok());
  const uint64_t now = clock->now_ms();
  ASSERT_TRUE(s->set("s", "v", 5000, false, false).ok());
  ASSERT_TRUE(s->rpush("l", items({"a", "b"})).ok());
  ASSERT_TRUE(s->hset("h", "f", "x").ok());
  ASSERT_TRUE(s->sadd("m", items({"z"})).ok());
  clock->advance(20);  // "gone" expires before the save starts
  ASSERT_TRUE(persist::save(*s).ok());
  const std::string records = Enc::snap_string("s", now + 5000, "v") + Enc::snap_coll(2, "l", 0, {"a", "b"}, 2) +
                              Enc::snap_coll(3, "h", 0, {"f", "x"}, 1) + Enc::snap_coll(4, "m", 0, {"z"}, 1);
  EXPECT_EQ(read_file(dir.file("snapshot.kvs")), Enc::snapshot(1, records, 4));
}

TEST_F(SnapshotFormat, LoadsEveryKindWithItsCharge) {
  const uint64_t now = clock->now_ms();
  const std::string records =
      Enc::snap_string("s", now + 60000, "value") + Enc::snap_coll(2, "l", 0, {"a", "b", "c"}, 3) +
      Enc::snap_coll(3, "h", 0, {"f1", "v1", "f2", "v2"}, 2) + Enc::snap_coll(4, "m", 0, {"x", "y"}, 2) +
      Enc::snap_string("old", now - 1, "stale");
  const std::string file = Enc::snapshot(7, records, 5);
  write_file(dir.file("snapshot.kvs"), file);

  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->get("s").value(), "value");
  EXPECT_EQ(s->pttl("s"), 60000);
  EXPECT_EQ(s->lrange("l", 0, -1).value(), items({"a", "b", "c"}));
  EXPECT_EQ(s->hget("h", "f2").value(), "v2");
  EXPECT_EQ(s->scard("m").value(), 2u);
  EXPECT_FALSE(s->exists("old"));
  EXPECT_EQ(s->used_memory(), s->audit_charge_sum());
  // The expired key was purged after attaching, so its removal is in the current segment.
  EXPECT_EQ(read_file(dir.file("wal-7.log")), Enc::del("old"));
  auto st = persist::read_persist_stats(*s);
  EXPECT_EQ(st->snapshot_bytes, file.size());
  EXPECT_EQ(st->loaded_keys, 4u);
}

TEST_F(SnapshotFormat, CollectionWithCountZeroLoads) {
  write_file(dir.file("snapshot.kvs"), Enc::snapshot(0, Enc::snap_coll(4, "e", 0, {}, 0), 1));
  EXPECT_TRUE(open());
}

struct BadSnapshot {
  const char* name;
  std::string file;
  IoErrorKind kind;
  std::string text;
};

std::string with_crc(std::string body) { return body + Enc::u32(Enc::crc(body)); }

std::vector<BadSnapshot> bad_snapshots() {
  const std::string one = Enc::snap_string("k", 0, "v");
  const std::string valid = Enc::snapshot(0, one, 1);
  std::string bad_crc = valid;
  bad_crc.back() ^= 1;
  std::string bad_magic_bad_crc = valid;
  bad_magic_bad_crc[0] = 'X';
  const std::string tenth_continues(10, '\x80');
  return {
      {"Size32", valid.substr(0, 32), IoErrorKind::InvalidData, "snapshot: file truncated"},
      {"Zeros33", std::string(33, '\0'), IoErrorKind::InvalidData, "snapshot: checksum mismatch"},
      {"FlippedCrc", bad_crc, IoErrorKind::InvalidData, "snapshot: checksum mismatch"},
      // The checksum runs first, hiding the structural fault behind it.
      {"BadMagicBehindBadCrc", bad_magic_bad_crc, IoErrorKind::InvalidData, "snapshot: checksum mismatch"},
      {"BadMagic", Enc::snapshot(0, one, 1, 1, "KVSNAP02"), IoErrorKind::InvalidData, "snapshot: bad magic"},
      {"Version2", Enc::snapshot(0, one, 1, 2), IoErrorKind::InvalidData, "snapshot: unsupported version"},
      {"Version0", Enc::snapshot(0, one, 1, 0), IoErrorKind::InvalidData, "snapshot: unsupported version"},
      {"UnknownType", Enc::snapshot(0, "\x05" + Enc::bytes("k") + Enc::u64(0), 1), IoErrorKind::InvalidData,
       "snapshot: unknown record type"},
      {"TypeZero", Enc::snapshot(0, std::string(1, '\0') + Enc::bytes("k") + Enc::u64(0), 1),
       IoErrorKind::InvalidData, "snapshot: unknown record type"},
      {"CountOneHigh", Enc::snapshot(0, one, 2), IoErrorKind::InvalidData, "snapshot: record count mismatch"},
      {"CountOneLow", Enc::snapshot(0, one, 0), IoErrorKind::InvalidData, "snapshot: record count mismatch"},
      {"KeyLengthVarintOverflow", Enc::snapshot(0, "\x01" + tenth_continues + "\x01", 1), IoErrorKind::InvalidData,
       "snapshot: varint overflow"},
      {"CountVarintOverflow", Enc::snapshot(0, "\x02" + Enc::bytes("l") + Enc::u64(0) + tenth_continues, 1),
       IoErrorKind::InvalidData, "snapshot: varint overflow"},
      // A field that runs into the checksum bytes is an end-of-file error, not a format one.
      {"KeyRunsPastBody", with_crc("KVSNAP01" + Enc::u32(1) + Enc::u64(0) + "\x01" + Enc::varint(1000) + "abcdefghijklmnop"),
       IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
      {"HugeListCount",
       Enc::snapshot(0, "\x02" + Enc::bytes("l") + Enc::u64(0) + Enc::varint(uint64_t{1} << 60), 1),
       IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
      {"HugeHashCount",
       Enc::snapshot(0, "\x03" + Enc::bytes("h") + Enc::u64(0) + Enc::varint(uint64_t{1} << 62), 1),
       IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
      {"NoEndMarker", with_crc("KVSNAP01" + Enc::u32(1) + Enc::u64(0) + one + std::string(9, '\x01')),
       IoErrorKind::UnexpectedEof, "failed to fill whole buffer"},
  };
}

class SnapshotFailure : public PersistFixture, public ::testing::WithParamInterface<BadSnapshot> {};

TEST_P(SnapshotFailure, FailsOpenAndLeavesTheFileAlone) {
  const BadSnapshot& c = GetParam();
  write_file(dir.file("snapshot.kvs"), c.file);
  IoError e = open_error(config());
  EXPECT_EQ(e.kind, c.kind);
  EXPECT_EQ(e.text, c.text);
  EXPECT_EQ(read_file(dir.file("snapshot.kvs")), c.file);
  EXPECT_FALSE(file_exists(dir.file("LOCK")));
  EXPECT_FALSE(file_exists(dir.file("wal-0.log")));
}

INSTANTIATE_TEST_SUITE_P(Reasons, SnapshotFailure, ::testing::ValuesIn(bad_snapshots()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SnapshotFormat, UnreadableSnapshotIsAnIoErrorNotAnEmptyStore) {
  // A directory in the snapshot's place can be opened but not read.
  std::filesystem::create_directory(dir.file("snapshot.kvs"));
  IoError e = open_error(config());
  EXPECT_NE(e.kind, IoErrorKind::InvalidData);
  EXPECT_NE(e.kind, IoErrorKind::NotFound);
  EXPECT_NE(e.text.find("os error"), std::string::npos) << e.text;
}

struct TornTail {
  const char* name;
  std::string tail;
};

class WalTornTail : public PersistFixture, public ::testing::WithParamInterface<TornTail> {};

TEST_P(WalTornTail, IsCutBackToTheLastWholeRecord) {
  const std::string good = Enc::set("a", "1") + Enc::set("b", "2");
  write_file(dir.file("wal-0.log"), good + GetParam().tail);
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->get("a").value(), "1");
  EXPECT_EQ(s->get("b").value(), "2");
  EXPECT_EQ(read_file(dir.file("wal-0.log")), good);
  EXPECT_EQ(last_error(*s), "truncated torn WAL tail in wal-0.log at byte " + std::to_string(good.size()));
  EXPECT_EQ(persist::read_persist_stats(*s)->wal_bytes, good.size());
  // New records follow the last whole one.
  ASSERT_TRUE(s->set("c", "3", std::nullopt, false, false).ok());
  EXPECT_EQ(read_file(dir.file("wal-0.log")), good + Enc::set("c", "3"));
  // A successful save clears the repair message.
  ASSERT_TRUE(persist::save(*s).ok());
  EXPECT_EQ(last_error(*s), std::nullopt);
}

std::string bad_crc_record() {
  std::string r = Enc::set("c", "3");
  r[4] ^= 0x55;
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, WalTornTail,
    ::testing::Values(TornTail{"CutInsideHeader", Enc::set("c", "3").substr(0, 5)},
                      TornTail{"CutInsidePayload", Enc::set("c", "3").substr(0, 12)},
                      TornTail{"LengthPastEnd", Enc::u32(1000) + Enc::u32(0) + "abc"},
                      TornTail{"BadCrc", bad_crc_record()},
                      TornTail{"EmptyPayloadNonzeroCrc", Enc::u32(0) + Enc::u32(1)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WalFormat, LastTornSegmentNamesTheMessage) {
  write_file(dir.file("wal-0.log"), Enc::set("a", "1") + "xyz");
  write_file(dir.file("wal-1.log"), Enc::set("b", "2") + Enc::set("c", "3").substr(0, 9));
  write_file(dir.file("wal-2.log"), Enc::set("d", "4"));
  auto s = open();
  ASSERT_TRUE(s);
  for (const char* k : {"a", "b", "d"}) EXPECT_TRUE(s->exists(k)) << k;
  EXPECT_EQ(last_error(*s), "truncated torn WAL tail in wal-1.log at byte " + std::to_string(Enc::set("b", "2").size()));
  EXPECT_EQ(read_file(dir.file("wal-2.log")), Enc::set("d", "4"));
}

TEST_F(WalFormat, EmptySegmentReplaysAsNothing) {
  write_file(dir.file("wal-0.log"), "");
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->key_count(), 0u);
  EXPECT_EQ(last_error(*s), std::nullopt);
  EXPECT_EQ(read_file(dir.file("wal-0.log")), "");
}

struct Malformed {
  const char* name;
  std::string record;
  std::string text;
};

class WalMalformed : public PersistFixture, public ::testing::WithParamInterface<Malformed> {};

TEST_P(WalMalformed, FailsOpenAndLeavesTheSegmentAlone) {
  const std::string file = Enc::set("a", "1") + GetParam().record + Enc::set("b", "2");
  write_file(dir.file("wal-0.log"), file);
  IoError e = open_error(config());
  EXPECT_EQ(e.kind, IoErrorKind::InvalidData);
  // Updated when refusals came to name the segment, the offset and the offline tool: the
  // text now starts with the reason and goes on to say where and what to run.
  EXPECT_TRUE(e.text.starts_with(GetParam().text)) << e.text;
  EXPECT_NE(e.text.find("`vellum check "), std::string::npos) << e.text;
  EXPECT_NE(e.text.find(dir.path() + "`"), std::string::npos) << e.text;
  EXPECT_EQ(read_file(dir.file("wal-0.log")), file);
  EXPECT_FALSE(file_exists(dir.file("LOCK")));
}

INSTANTIATE_TEST_SUITE_P(
    Records, WalMalformed,
    ::testing::Values(
        // An empty payload is never written (every payload starts with its operation), so
        // since zero-filled tails became torn tails it reads as damage, not as a malformed
        // record; with an intact record after it the open is still refused.
        Malformed{"EmptyPayloadCrcZero", Enc::u32(0) + Enc::u32(0),
                  "WAL segment wal-0.log is damaged at byte 20 (empty record), and 1 intact record follows it"},
        Malformed{"OpZero", Enc::record(Enc::op(0) + Enc::bytes("k")),
                  "WAL record malformed: unknown operation, in wal-0.log at byte 20"},
        Malformed{"Op50", Enc::record(Enc::op(50) + Enc::bytes("k")),
                  "WAL record malformed: unknown operation, in wal-0.log at byte 20"},
        Malformed{"ShortSet", Enc::record(Enc::op(1) + "1234567"),
                  "WAL record malformed: truncated, in wal-0.log at byte 20"},
        Malformed{"ShortExpireAt", Enc::record(Enc::op(3) + "12"),
                  "WAL record malformed: truncated, in wal-0.log at byte 20"},
        Malformed{"KeyPastPayload", Enc::record(Enc::op(2) + Enc::varint(10) + "ab"),
                  "WAL record malformed: truncated, in wal-0.log at byte 20"},
        Malformed{"ListShortOfItsCount", Enc::record(Enc::op(7) + Enc::bytes("l") + Enc::varint(2) + Enc::bytes("a")),
                  "WAL record malformed: truncated, in wal-0.log at byte 20"}),
    [](const auto& info) { return std::string(info.param.name); });

// `n` SET records k0..k{n-1} whose values vary in length, so records start at every
// alignment and many straddle the reader's 256-byte checksum checkpoints.
std::string numbered_records(size_t n, std::vector<size_t>* starts = nullptr) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (starts != nullptr) starts->push_back(out.size());
    out += Enc::set("k" + std::to_string(i), std::string((i * 37) % 700, static_cast<char>('a' + i % 26)));
  }
  return out;
}

constexpr size_t kRecords = 40;

struct MidDamage {
  const char* name;
  size_t record;       // the damaged record
  size_t byte;         // the byte changed, from the record's start
  uint8_t value;       // its new value
  const char* reason;  // as the refusal names it
};

class WalDamage : public PersistFixture, public ::testing::WithParamInterface<MidDamage> {};

TEST_P(WalDamage, WithIntactRecordsAfterIsRefusedAndLeftUnchanged) {
  std::vector<size_t> starts;
  std::string file = numbered_records(kRecords, &starts);
  const MidDamage& d = GetParam();
  file[starts[d.record] + d.byte] = static_cast<char>(d.value);
  write_file(dir.file("wal-0.log"), file);
  IoError e = open_error(config());
  EXPECT_EQ(e.kind, IoErrorKind::InvalidData);
  const size_t after = kRecords - d.record - 1;
  EXPECT_EQ(e.text, "WAL segment wal-0.log is damaged at byte " + std::to_string(starts[d.record]) + " (" + d.reason +
                        "), and " + std::to_string(after) + (after == 1 ? " intact record follows" : " intact records follow") +
                        " it, so it is not a torn tail; the file was left unchanged. Run `vellum check --repair " +
                        dir.path() + "` to set the damaged bytes aside");
  EXPECT_EQ(read_file(dir.file("wal-0.log")), file);
  EXPECT_FALSE(file_exists(dir.file("LOCK")));
}

INSTANTIATE_TEST_SUITE_P(
    Flips, WalDamage,
    ::testing::Values(MidDamage{"PayloadByte", 20, 15, 0xFF, "checksum mismatch"},
                      MidDamage{"ChecksumField", 20, 5, 0x00, "checksum mismatch"},
                      MidDamage{"LengthHighByte", 20, 3, 0x7F, "record runs past the end of the file"},
                      MidDamage{"LengthLowByte", 20, 0, 0xFF, "checksum mismatch"},
                      MidDamage{"LengthZero", 20, 0, 0x00, "empty record"},
                      MidDamage{"FirstRecord", 0, 9, 0x55, "checksum mismatch"},
                      MidDamage{"OnlyOneFollows", kRecords - 2, 12, 0x01, "checksum mismatch"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WalFormat, IntactRecordsAreCountedPastEveryDamagedRecord) {
  std::vector<size_t> starts;
  std::string file = numbered_records(kRecords, &starts);
  file[starts[10] + 14] ^= 1;
  file[starts[25] + 14] ^= 1;
  file += std::string(300, '\0');  // a zero-filled tail after the last record is not counted
  write_file(dir.file("wal-0.log"), file);
  IoError e = open_error(config());
  EXPECT_NE(e.text.find("damaged at byte " + std::to_string(starts[10]) + " (checksum mismatch), and " +
                        std::to_string(kRecords - 11 - 1) + " intact records follow it"),
            std::string::npos)
      << e.text;
  EXPECT_EQ(read_file(dir.file("wal-0.log")), file);
}

struct CutTail {
  const char* name;
  std::string file;
  size_t cut_at;
  size_t keys;
};

class WalTornAfterSearch : public PersistFixture, public ::testing::WithParamInterface<CutTail> {};

TEST_P(WalTornAfterSearch, NothingIntactFollowsSoTheTailIsCut) {
  write_file(dir.file("wal-0.log"), GetParam().file);
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->key_count(), GetParam().keys);
  EXPECT_EQ(read_file(dir.file("wal-0.log")), GetParam().file.substr(0, GetParam().cut_at));
  EXPECT_EQ(last_error(*s), "truncated torn WAL tail in wal-0.log at byte " + std::to_string(GetParam().cut_at));
}

std::vector<CutTail> cut_tails() {
  std::vector<size_t> starts;
  const std::string good = numbered_records(kRecords, &starts);
  std::string last_damaged = good;
  last_damaged[starts.back() + 13] ^= 0x20;
  // A record that claims 4 MiB of which 2 MiB of noise arrived: the search for intact
  // records inside it must stay quick and find none.
  std::string noise = Enc::u32(4u << 20) + Enc::u32(0x12345678);
  uint64_t x = 88172645463325252ull;
  for (size_t i = 0; i < (2u << 20); ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    noise.push_back(static_cast<char>(x));
  }
  const std::string partial = Enc::set("late", "value").substr(0, 12);
  // Every fourth offset of an array of little-endian ones reads as a one-byte record
  // header: many candidates, each cheap, none intact.
  std::string ones = Enc::u32(8u << 20) + Enc::u32(0);
  for (size_t i = 0; i < (1u << 18); ++i) ones += Enc::u32(1);
  return {
      {"ZeroFilledTail", good + std::string(4096, '\0'), good.size(), kRecords},
      {"ZeroFilledAfterAPartialRecord", good + partial + std::string(4096, '\0'), good.size(), kRecords},
      {"ZerosAfterAnEmptyHeader", good + std::string(8, '\0'), good.size(), kRecords},
      {"DamageInTheLastRecordOnly", last_damaged, starts.back(), kRecords - 1},
      {"TornLastRecord", good + partial, good.size(), kRecords},
      {"TornRecordOfNoise", good + noise, good.size(), kRecords},
      {"TornRecordOfSmallWords", good + ones, good.size(), kRecords},
  };
}

INSTANTIATE_TEST_SUITE_P(Tails, WalTornAfterSearch, ::testing::ValuesIn(cut_tails()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WalFormat, ASearchThatReachesItsBoundRefusesRatherThanCuts) {
  // 0x01 bytes read as a 16 MiB record with a known operation at every offset; checking
  // them all would hash petabytes, so the search stops, and what it could not rule out
  // is kept.
  const std::string good = numbered_records(3);
  const std::string file = good + Enc::u32(32u << 20) + Enc::u32(0) + std::string(17u << 20, '\x01');
  write_file(dir.file("wal-0.log"), file);
  IoError e = open_error(config());
  EXPECT_NE(e.text.find("damaged at byte " + std::to_string(good.size()) +
                        " (record runs past the end of the file), and intact records may follow it"),
            std::string::npos)
      << e.text;
  EXPECT_EQ(read_file(dir.file("wal-0.log")).size(), file.size());
}

TEST_F(WalFormat, SegmentsFailingTheNameTestAreIgnored) {
  const std::string junk = Enc::set("never", "1");
  for (const char* name : {"wal-.log", "wal-1a.log", "WAL-1.log", "wal-18446744073709551616.log"}) {
    write_file(dir.file(name), junk);
  }
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->exists("never"));
  ASSERT_TRUE(persist::save(*s).ok());
  for (const char* name : {"wal-.log", "wal-1a.log", "WAL-1.log", "wal-18446744073709551616.log"}) {
    EXPECT_EQ(read_file(dir.file(name)), junk) << name;
  }
}

TEST_F(WalFormat, ReplayAppliesRecordsThatFailAgainstTheStateAsNothing) {
  write_file(dir.file("wal-0.log"), Enc::listop(7, "k", {"a"}) +
                                         Enc::record(Enc::op(4) + Enc::bytes("k") + Enc::bytes("f") + "v") +
                                         Enc::expireat("missing", 5) + Enc::listop(7, "k", {"b"}));
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->lrange("k", 0, -1).value(), items({"a", "b"}));
  EXPECT_FALSE(s->exists("missing"));
}

}  // namespace
}  // namespace vellum
