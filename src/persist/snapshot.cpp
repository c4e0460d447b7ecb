#include "persist/snapshot.h"

#include <algorithm>

#include "persist/codec.h"
#include "persist/file_io.h"
#include "persist/snapshot_format.h"
#include "core/value.h"
#include "platform/file.h"

namespace vellum::persist {

namespace {

Err<IoError> format_error(std::string_view reason) {
  return io_err(IoError::invalid_data("snapshot: " + std::string(reason)));
}

// Encodes small fields into a scratch buffer and hands them, and element bytes, to the
// buffered writer; nothing larger than one element, or one string record of at most
// kCoalesceLimit key and value bytes, is ever built in memory.
class RecordWriter {
 public:
  static constexpr size_t kCoalesceLimit = 4096;

  explicit RecordWriter(BufferedWriter& out) : out_(out) {}

  IoResult<void> head(uint8_t type, BytesView key, uint64_t expires_at_ms) {
    scratch_.clear();
    put_u8(scratch_, type);
    put_varint(scratch_, key.size());
    if (auto r = out_.write(scratch_); !r) return r;
    if (auto r = out_.write(key); !r) return r;
    scratch_.clear();
    put_u64(scratch_, expires_at_ms);
    return out_.write(scratch_);
  }
  // A whole string record. One that fits the scratch limit is encoded there and passed on
  // in one write, which matters when a snapshot is mostly small strings.
  IoResult<void> string(BytesView key, uint64_t expires_at_ms, BytesView value) {
    if (key.size() + value.size() > kCoalesceLimit) {
      if (auto r = head(kSnapshotString, key, expires_at_ms); !r) return r;
      return bytes(value);
    }
    scratch_.clear();
    put_u8(scratch_, kSnapshotString);
    put_bytes(scratch_, key);
    put_u64(scratch_, expires_at_ms);
    put_bytes(scratch_, value);
    return out_.write(scratch_);
  }
  IoResult<void> varint(uint64_t v) {
    scratch_.clear();
    put_varint(scratch_, v);
    return out_.write(scratch_);
  }
  IoResult<void> bytes(BytesView b) {
    if (auto r = varint(b.size()); !r) return r;
    return out_.write(b);
  }

 private:
  BufferedWriter& out_;
  std::string scratch_;
};

IoResult<void> write_entry(RecordWriter& w, const Entry& e) {
  if (e.is_string()) return w.string(e.key(), e.expires_at_ms, e.value());
  const CollectionRecord& rec = *e.record();
  const auto type = static_cast<uint8_t>(static_cast<uint8_t>(rec.kind()) + kSnapshotKindOffset);
  if (auto r = w.head(type, rec.key(), e.expires_at_ms); !r) return r;
  switch (rec.kind()) {
    case ValueKind::List:
      if (auto r = w.varint(rec.list().size()); !r) return r;
      for (const Bytes& item : rec.list()) {
        if (auto r = w.bytes(item); !r) return r;
      }
      break;
    case ValueKind::Hash:
      if (auto r = w.varint(rec.hash().size()); !r) return r;
      for (const auto& [field, value] : rec.hash()) {
        if (auto r = w.bytes(field); !r) return r;
        if (auto r = w.bytes(value); !r) return r;
      }
      break;
    case ValueKind::Set:
      if (auto r = w.varint(rec.set().size()); !r) return r;
      for (const Bytes& member : rec.set()) {
        if (auto r = w.bytes(member); !r) return r;
      }
      break;
  }
  return {};
}

// Each entry's bytes live in a heap block of their own, so walking a table is a chain of
// cache misses; asking for the block a few entries ahead overlaps them. The entry array
// itself is sequential and needs no help.
constexpr size_t kPrefetchAhead = 8;

void prefetch_entry(const Entry& e) {
#if defined(__GNUC__) || defined(__clang__)
  // For a collection the block is its record, whose address needs no dereference.
  const char* p = e.is_string() ? e.key().data() : reinterpret_cast<const char*>(e.record());
  __builtin_prefetch(p);
  __builtin_prefetch(p + 64);
#else
  (void)e;
#endif
}

IoResult<uint64_t> read_u64(BufferedReader& in) {
  char b[8];
  if (auto r = in.read_exact(b, 8); !r) return io_err(r.take_error());
  return load_u64(b);
}

IoResult<uint64_t> read_varint(BufferedReader& in) {
  VarintDecoder d;
  for (;;) {
    auto b = in.read_u8();
    if (!b) return io_err(b.take_error());
    switch (d.push(b.value())) {
      case VarintDecoder::Step::More:
        break;
      case VarintDecoder::Step::Done:
        return d.value();
      case VarintDecoder::Step::Overflow:
        return format_error("varint overflow");
    }
  }
}

IoResult<Bytes> read_field(BufferedReader& in) {
  auto len = read_varint(in);
  if (!len) return io_err(len.take_error());
  return in.read_bytes(len.value());
}

// Reads `count` bytes fields into `out`. The count comes from the file, so it sizes no
// allocation: each field takes at least one byte, which bounds the reservation by what
// remains of the file.
IoResult<void> read_fields(BufferedReader& in, uint64_t count, std::vector<Bytes>& out) {
  out.reserve(static_cast<size_t>(std::min<uint64_t>(count, in.remaining())));
  for (uint64_t i = 0; i < count; ++i) {
    auto f = read_field(in);
    if (!f) return io_err(f.take_error());
    out.push_back(std::move(f.value()));
  }
  return {};
}

IoResult<void> verify_checksum(File& f, uint64_t size) {
  const uint64_t body = size - 4;
  std::string chunk(kSnapshotChecksumChunk, '\0');
  Crc32 crc;
  uint64_t seen = 0;
  while (seen < body) {
    auto r = f.read(chunk.data(), static_cast<size_t>(std::min<uint64_t>(chunk.size(), body - seen)));
    if (!r) {
      if (r.error().kind == IoErrorKind::BrokenPipe) return format_error("file truncated");
      return io_err(r.take_error());
    }
    if (r.value() == 0) return format_error("file truncated");
    crc.update(chunk.data(), r.value());
    seen += r.value();
  }
  char tail[4];
  if (auto r = f.read_exact(tail, 4); !r) {
    if (r.error().kind == IoErrorKind::UnexpectedEof) return format_error("file truncated");
    return io_err(r.take_error());
  }
  if (load_u32(tail) != crc.value()) return format_error("checksum mismatch");
  return {};
}

IoResult<uint64_t> read_structure(File& f, uint64_t size, SnapshotSink& sink) {
  BufferedReader in(f, size - 4, kSnapshotReadBuffer);
  char magic[8];
  if (auto r = in.read_exact(magic, 8); !r) return io_err(r.take_error());
  if (BytesView(magic, 8) != kSnapshotMagic) return format_error("bad magic");
  char version[4];
  if (auto r = in.read_exact(version, 4); !r) return io_err(r.take_error());
  if (load_u32(version) != kSnapshotVersion) return format_error("unsupported version");
  auto wal_seq = read_u64(in);
  if (!wal_seq) return io_err(wal_seq.take_error());

  uint64_t loaded = 0;
  for (;;) {
    auto type = in.read_u8();
    if (!type) return io_err(type.take_error());
    if (type.value() == kSnapshotEnd) {
      auto count = read_u64(in);
      if (!count) return io_err(count.take_error());
      if (count.value() != loaded) return format_error("record count mismatch");
      return wal_seq.value();
    }
    SnapshotRecord rec;
    rec.type = type.value();
    auto key = read_field(in);
    if (!key) return io_err(key.take_error());
    rec.key = std::move(key.value());
    auto exp = read_u64(in);
    if (!exp) return io_err(exp.take_error());
    rec.expires_at_ms = exp.value();
    switch (rec.type) {
      case kSnapshotString: {
        auto v = read_field(in);
        if (!v) return io_err(v.take_error());
        rec.value = std::move(v.value());
        break;
      }
      case kSnapshotList:
      case kSnapshotHash:
      case kSnapshotSet: {
        auto count = read_varint(in);
        if (!count) return io_err(count.take_error());
        uint64_t fields = count.value();
        if (rec.type == kSnapshotHash) {
          // Two fields per pair; a count this large cannot fit in the file anyway.
          if (fields > in.remaining()) return io_err(IoError::unexpected_eof());
          fields *= 2;
        }
        if (auto r = read_fields(in, fields, rec.elements); !r) return io_err(r.take_error());
        break;
      }
      default:
        return format_error("unknown record type");
    }
    sink.on_record(std::move(rec));
    ++loaded;
  }
}

// Rebuilds each record as a store entry with its charge computed from its elements.
class StoreSink final : public SnapshotSink {
 public:
  explicit StoreSink(Store& store) : store_(store) {}

  void on_record(SnapshotRecord&& r) override {
    if (r.type == kSnapshotString) {
      // A key too long for a string entry cannot come from a file this process wrote;
      // it is skipped like any record the store refuses.
      (void)store_.restore_string(r.key, r.value, r.expires_at_ms);
      return;
    }
    const auto kind = static_cast<ValueKind>(r.type - kSnapshotKindOffset);
    auto rec = CollectionRecord::create(kind, r.key);
    uint64_t payload = 0;
    switch (kind) {
      case ValueKind::List:
        for (Bytes& item : r.elements) {
          payload += item_charge(item.size());
          rec->list().push_back(std::move(item));
        }
        break;
      case ValueKind::Hash:
        for (size_t i = 0; i + 1 < r.elements.size(); i += 2) {
          rec->hash().insert_or_assign(std::move(r.elements[i]), std::move(r.elements[i + 1]));
        }
        // Charged from what the hash holds, so a repeated field is charged once.
        for (const auto& [field, value] : rec->hash()) payload += field_charge(field.size(), value.size());
        break;
      case ValueKind::Set:
        for (Bytes& member : r.elements) rec->set().insert(std::move(member));
        for (const Bytes& member : rec->set()) payload += item_charge(member.size());
        break;
    }
    rec->payload_bytes = payload;
    store_.restore_collection(std::move(rec), r.expires_at_ms);
  }

 private:
  Store& store_;
};

}  // namespace

IoResult<uint64_t> write_snapshot(Store& store, const std::string& dir, uint64_t wal_seq,
                                  std::vector<std::shared_lock<RwLock>>& shard_locks) {
  const std::string tmp_path = join_path(dir, kSnapshotTmpFile);
  auto f = File::open(tmp_path, OpenMode::Truncate);
  if (!f) return io_err(f.take_error());
  File& file = f.value();
  BufferedWriter out(file, kSnapshotWriteBuffer);
  RecordWriter w(out);

  std::string head(kSnapshotMagic);
  put_u32(head, kSnapshotVersion);
  put_u64(head, wal_seq);
  if (auto r = out.write(head); !r) return io_err(r.take_error());

  const uint64_t now = store.now_ms();
  uint64_t count = 0;
  for (size_t i = 0; i < store.shard_count(); ++i) {
    const ShardTable& table = store.shard(i).table;
    for (size_t pos = 0; pos < table.size(); ++pos) {
      if (pos + kPrefetchAhead < table.size()) prefetch_entry(table.at(pos + kPrefetchAhead));
      const Entry& e = table.at(pos);
      if (!e.live_at(now)) continue;
      if (auto r = write_entry(w, e); !r) return io_err(r.take_error());
      ++count;
    }
    // Writers to this shard may proceed while later shards are written: the snapshot
    // already holds this shard's state as of the rotation point.
    if (i < shard_locks.size() && shard_locks[i].owns_lock()) shard_locks[i].unlock();
  }

  std::string tail;
  put_u8(tail, kSnapshotEnd);
  put_u64(tail, count);
  if (auto r = out.write(tail); !r) return io_err(r.take_error());
  std::string crc;
  put_u32(crc, out.crc());
  if (auto r = out.write(crc); !r) return io_err(r.take_error());
  if (auto r = out.flush(); !r) return io_err(r.take_error());
  if (auto r = file.sync(); !r) return io_err(r.take_error());
  auto size = file.size();
  if (!size) return io_err(size.take_error());
  file.close();

  if (auto r = rename_file(tmp_path, join_path(dir, kSnapshotFile)); !r) return io_err(r.take_error());
  // Until the directory is synced the rename may not survive a crash, and the caller
  // deletes the log segments this snapshot covers right after we return.
  if (auto r = sync_dir(dir); !r) return io_err(r.take_error());
  return size.value();
}

IoResult<SnapshotInfo> read_snapshot_file(const std::string& path, SnapshotSink& sink) {
  uint64_t size = 0;
  {
    auto f = File::open(path, OpenMode::Read);
    if (!f) return io_err(f.take_error());
    auto s = f.value().size();
    if (!s) return io_err(s.take_error());
    size = s.value();
    if (size < kSnapshotMinSize) return format_error("file truncated");
    if (auto r = verify_checksum(f.value(), size); !r) return io_err(r.take_error());
  }
  auto f = File::open(path, OpenMode::Read);
  if (!f) {
    // The file was there a moment ago; vanishing now is a failure, not "no snapshot".
    IoError e = f.take_error();
    if (e.kind == IoErrorKind::NotFound) e.kind = IoErrorKind::Other;
    return io_err(std::move(e));
  }
  auto seq = read_structure(f.value(), size, sink);
  if (!seq) return io_err(seq.take_error());
  return SnapshotInfo{seq.value(), size};
}

IoResult<SnapshotInfo> load_snapshot(const std::string& dir, Store& store) {
  StoreSink sink(store);
  auto r = read_snapshot_file(join_path(dir, kSnapshotFile), sink);
  if (!r && r.error().kind == IoErrorKind::NotFound) return SnapshotInfo{};
  return r;
}

}  // namespace vellum::persist
