#include "server/connection.h"

#include <atomic>
#include <new>
#include <string>
#include <variant>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/clock.h"
#include "platform/thread.h"

namespace vellum::server {

namespace {

// Whether a request of kGiveBackBytes or more ended since the last trim, and the earliest
// time of the next trim.
std::atomic<bool> g_give_back_owed{false};
std::atomic<uint64_t> g_next_give_back_ms{0};

// Ends the charge of the request just served; called once that request is destroyed.
void settle(RequestReader& reader) {
  if (reader.release_request() >= kGiveBackBytes) g_give_back_owed.store(true, std::memory_order_relaxed);
  give_back_memory(false);
}

enum class Next { Continue, Close };

Next serve_one(RequestReader& reader, ReplyWriter& writer, const ServerContext& ctx, ConnectionState& state) {
  ReadOutcome outcome = reader.read_request();
  if (std::holds_alternative<EndOfStream>(outcome)) return Next::Close;
  // Nothing after a malformed or refused request is read: its extent is unknown.
  if (auto* perr = std::get_if<ProtocolError>(&outcome)) {
    (void)writer.write_reply(Reply::error("ERR Protocol error: " + std::string(perr->message)));
    return Next::Close;
  }
  if (std::holds_alternative<OverBudget>(outcome)) {
    (void)writer.write_error(kOverBudgetReply);
    return Next::Close;
  }
  const Request& req = std::get<Request>(outcome);
  if (req.empty()) return Next::Continue;
  thread_fault_point("request");
  DispatchResult result = dispatch(ctx, state, req);
  // HELLO's own reply already goes out in the encoding it chose.
  writer.set_protocol(state.protocol);
  if (!writer.write_reply(result.reply)) return Next::Close;
  return result.close ? Next::Close : Next::Continue;
}

// Writes the error `text` (none when empty) and flushes. A failed send builds an error
// value, which can itself fail for want of memory; nothing is left to do then.
void last_reply(ReplyWriter& writer, std::string_view text) noexcept {
  try {
    if (!text.empty()) (void)writer.write_error(text);
    (void)writer.flush_output();
  } catch (...) {
  }
}

const RequestLimits& limits_for(const ConnectionState& state) {
  return state.authenticated ? kProtocolLimits : kUnauthenticatedLimits;
}

}  // namespace

void give_back_memory(bool wait) noexcept {
  if (!g_give_back_owed.load(std::memory_order_relaxed)) return;
  uint64_t now = monotonic_ms();
  uint64_t next = g_next_give_back_ms.load(std::memory_order_relaxed);
  if (now < next) {
    if (!wait) return;
    sleep_ms(next - now);
    now = monotonic_ms();
    next = g_next_give_back_ms.load(std::memory_order_relaxed);
    if (now < next) return;  // another thread trimmed meanwhile
  }
  if (!g_next_give_back_ms.compare_exchange_strong(next, now + kGiveBackIntervalMs, std::memory_order_relaxed)) {
    return;
  }
  // Cleared first: a buffer freed during the trim is owed again by its own request.
  g_give_back_owed.store(false, std::memory_order_relaxed);
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void serve_requests(ByteSource& in, ByteSink& out, const ServerContext& ctx, std::string_view peer) noexcept {
  RequestReader reader(in, ctx.request_budget.get());
  ReplyWriter writer(out);
  ConnectionState state = initial_connection_state(ctx);
  // Listed from its first request to its end; withdrawn whatever ends it.
  struct Listing {
    ClientRegistry* reg = nullptr;
    int64_t id = 0;
    ~Listing() {
      if (reg != nullptr) reg->remove(id);
    }
  } listing;
  try {
    if (ctx.clients) {
      state.id = ctx.clients->add(std::string(peer), monotonic_ms(), [&in] { in.interrupt(); });
      listing.id = state.id;
      listing.reg = ctx.clients.get();
    }
    for (;;) {
      reader.set_limits(limits_for(state));
      const Next next = serve_one(reader, writer, ctx, state);
      settle(reader);
      if (next == Next::Close) break;
      // Also after an empty request: replies buffered before it must not wait while the
      // connection blocks for more input. The look-ahead judges with the limits the next
      // read will apply, which AUTH may just have changed.
      reader.set_limits(limits_for(state));
      if (!reader.buffered_request_complete()) {
        if (!writer.flush_output()) break;
      }
    }
  } catch (const std::bad_alloc&) {
    last_reply(writer, kOutOfMemoryReply);
  } catch (...) {
    last_reply(writer, kInternalErrorReply);
  }
  // After an exception the request was destroyed by the unwinding; its charge ends here.
  settle(reader);
  last_reply(writer, {});
}

}  // namespace vellum::server
