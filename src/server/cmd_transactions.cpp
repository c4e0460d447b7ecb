// Transactions: MULTI queues a connection's requests, EXEC runs the queue as one store
// batch (Store::with_locked_shards), so no other connection or thread sees a part of it
// and the log holds it as one record; WATCH makes EXEC answer null when a watched key's
// shard was written, or the key expired, after the WATCH. A watched shard written through
// another key also aborts: clients retry on that answer, and the check costs one version
// per shard instead of a mark per key write.

#include <algorithm>

#include "server/command_util.h"

namespace vellum::server {

namespace {

void end_transaction(ConnectionState& state) {
  state.in_multi = false;
  state.multi_refused = false;
  state.queued.clear();
  state.queued_charge.reset();
  state.watched.clear();
}

// What a queued request holds: its argument bytes, their slots and its queue entry.
uint64_t queued_bytes(const Request& req) {
  uint64_t n = sizeof(ConnectionState::Queued);
  for (const Bytes& b : req) n += sizeof(Bytes) + b.size();
  return n;
}

Reply cmd_multi(const ServerContext&, ConnectionState& state, const Request&) {
  if (state.in_multi) return Reply::error("ERR MULTI calls can not be nested");
  state.in_multi = true;
  state.multi_refused = false;
  state.queued.clear();
  state.queued_charge.reset();
  return ok();
}

Reply cmd_discard(const ServerContext&, ConnectionState& state, const Request&) {
  if (!state.in_multi) return Reply::error("ERR DISCARD without MULTI");
  end_transaction(state);
  return ok();
}

Reply cmd_watch(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  if (state.in_multi) return Reply::error("ERR WATCH inside MULTI is not allowed");
  for (size_t i = 1; i < req.size(); ++i) state.watched.emplace_back(req[i], ctx.store->watch_mark(req[i]));
  return ok();
}

Reply cmd_unwatch(const ServerContext&, ConnectionState& state, const Request&) {
  state.watched.clear();
  return ok();
}

// The shards a queued request names through its row's key positions; every shard for a
// request that names none, since those (KEYS, DBSIZE, FLUSHALL, INFO) span the key space.
bool add_shards(const Store& store, const ConnectionState::Queued& q, std::vector<size_t>& out) {
  const std::optional<std::vector<size_t>> keys = key_indices(*q.row, q.request);
  if (!keys) return false;
  for (size_t i : *keys) out.push_back(store.shard_index(q.request[i]));
  return true;
}

Reply cmd_exec(const ServerContext& ctx, ConnectionState& state, const Request&) {
  if (!state.in_multi) return Reply::error("ERR EXEC without MULTI");
  const bool refused = state.multi_refused;
  std::vector<ConnectionState::Queued> queued = std::move(state.queued);
  std::vector<std::pair<Bytes, WatchMark>> watched = std::move(state.watched);
  end_transaction(state);
  if (refused) return Reply::error("EXECABORT Transaction discarded because of previous errors.");

  Store& store = *ctx.store;
  std::vector<size_t> shards;
  bool every = false;
  for (const auto& q : queued) every = every || !add_shards(store, q, shards);
  for (const auto& w : watched) shards.push_back(w.second.shard);
  if (every) {
    shards = store.all_shards();
  } else {
    std::sort(shards.begin(), shards.end());
    shards.erase(std::unique(shards.begin(), shards.end()), shards.end());
  }

  bool aborted = false;
  std::vector<Reply> replies;
  replies.reserve(queued.size());
  auto r = store.with_locked_shards(shards, [&] {
    for (const auto& [key, mark] : watched) {
      if (!store.watch_intact(key, mark)) {
        aborted = true;
        return;
      }
    }
    for (const auto& q : queued) replies.push_back(q.row->handler(ctx, state, q.request));
  });
  if (aborted) return Reply::null_array();
  if (!r) return store_error(ctx, r.error());
  return Reply::array(std::move(replies));
}

// SAVE and BGSAVE take the persistence lock, which is taken before shard locks, so they
// cannot run inside a batch that holds shards.
bool allowed_in_multi(std::string_view name) { return name != "SAVE" && name != "BGSAVE"; }

const CommandSpec kTransactionCommands[] = {
    CommandSpec{"MULTI", 1, 1, cmd_multi},
    CommandSpec{"EXEC", 1, 1, cmd_exec},
    CommandSpec{"DISCARD", 1, 1, cmd_discard},
    CommandSpec{"WATCH", 2, kAny, cmd_watch, kReadOnly | kNoScript, {1, -1, 1}},
    CommandSpec{"UNWATCH", 1, 1, cmd_unwatch},
};

}  // namespace

std::span<const CommandSpec> transaction_commands() { return kTransactionCommands; }

std::optional<Reply> queue_in_multi(const ServerContext& ctx, ConnectionState& state, const CommandSpec* row,
                                    const Request& req) {
  if (row == nullptr) {
    state.multi_refused = true;
    return Reply::error("ERR unknown command '" + utf8::lossy(req[0]) + "'");
  }
  if (row->handler == cmd_exec || row->handler == cmd_discard || row->handler == cmd_multi ||
      row->handler == cmd_watch || (row->flags & kCloses) != 0) {
    return std::nullopt;
  }
  const auto argc = static_cast<int64_t>(req.size());
  if (argc < row->min_args || (row->max_args != kAny && argc > row->max_args)) {
    state.multi_refused = true;
    return wrong_args(req[0]);
  }
  if (!allowed_in_multi(row->name)) {
    state.multi_refused = true;
    return Reply::error("ERR Command not allowed inside a transaction");
  }
  if (state.multi_refused) return Reply::simple("QUEUED");  // never runs: EXEC aborts
  if (!state.queued_charge.try_take(ctx.request_budget.get(), queued_bytes(req))) {
    state.multi_refused = true;
    std::vector<ConnectionState::Queued>().swap(state.queued);
    state.queued_charge.reset();
    return Reply::error(std::string(kOverBudgetReply));
  }
  state.queued.push_back(ConnectionState::Queued{row, req});
  return Reply::simple("QUEUED");
}

}  // namespace vellum::server
