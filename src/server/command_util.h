#pragma once
// What the command handlers share: the row type of the command table, text helpers and
// the common replies. The handlers live in units by family (cmd_strings.cpp,
// cmd_collections.cpp, cmd_admin.cpp), each contributing its rows; commands.cpp indexes
// them and dispatches.

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/utf8.h"
#include "server/commands.h"

namespace vellum::server {

using Handler = Reply (*)(const ServerContext&, ConnectionState&, const Request&);

inline constexpr int kAny = -1;

// What sets a command apart from the rest, as bits of CommandSpec::flags.
inline constexpr unsigned kBeforeAuth = 1;  // runs on a connection not yet authenticated
inline constexpr unsigned kCloses = 2;      // the connection closes after its reply
inline constexpr unsigned kWrite = 4;       // may change the key space
inline constexpr unsigned kReadOnly = 8;    // reads the key space and changes nothing
inline constexpr unsigned kNoScript = 16;   // a script may not call it

// Where a command's keys stand among its arguments (the name is argument 0): from
// `first` to `last` (negative: counted from the end, -1 the last argument) every `step`;
// or, when `count_at` is positive, argument `count_at` holds a count N and the N arguments
// after it are the keys. All zero for a command that names no key.
struct KeyPositions {
  int first = 0;
  int last = 0;
  int step = 0;
  int count_at = 0;
};

struct CommandSpec {
  std::string_view name;  // upper case
  int min_args;           // counting the name
  int max_args;           // kAny: unbounded
  Handler handler;
  unsigned flags = 0;
  KeyPositions keys{};
};

// The indices in `args` (a whole request, name first) of the keys `c` names; nullopt for a
// row that names no key. A count that is not a number, or that reaches past the
// arguments, names only the keys present, for the handler to refuse.
std::optional<std::vector<size_t>> key_indices(const CommandSpec& c, std::span<const Bytes> args);

// Each family's rows.
std::span<const CommandSpec> string_commands();      // strings, keys and expiry
std::span<const CommandSpec> collection_commands();  // hashes, lists and sets
std::span<const CommandSpec> admin_commands();       // connection and administration
std::span<const CommandSpec> introspection_commands();  // COMMAND, CONFIG, INFO, TIME
std::span<const CommandSpec> transaction_commands();    // MULTI, EXEC, DISCARD, WATCH, UNWATCH
std::span<const CommandSpec> key_commands();            // type, rename, absolute expiry
std::span<const CommandSpec> set_commands();         // set membership, random choice and algebra
std::span<const CommandSpec> hash_commands();        // hash reads and field writes beyond the basics
std::span<const CommandSpec> list_commands();        // list positional reads, writes in place, moves
std::span<const CommandSpec> scripting_commands();   // EVAL and SCRIPT

// Every family, for dispatch and for COMMAND's listings.
std::span<const std::span<const CommandSpec>> command_families();
// The row of a command by its upper-case name; none for an unknown name.
const CommandSpec* find_command(std::string_view upper);

// While a connection is in MULTI: queues `request` for `row` (nullptr: unknown) and
// answers QUEUED, or refuses it and marks the transaction to abort. A request the
// server's request budget has no room for is refused with kOverBudgetReply and the
// requests queued so far are dropped at once; once a transaction is to abort, what
// follows is answered QUEUED and not kept. Transaction control commands and QUIT are not
// queued: the result is nullopt and they run as usual.
std::optional<Reply> queue_in_multi(const ServerContext& ctx, ConnectionState& state, const CommandSpec* row,
                                    const Request& request);

// EXPIRE, PEXPIRE, EXPIREAT and PEXPIREAT with NX/XX/GT/LT: req[2] times `multiplier` is
// the expiry in ms, from now when `relative`. `name` words the invalid-expire error.
Reply expire_with_options(const ServerContext& ctx, ConnectionState& state, const Request& req, int64_t multiplier,
                          bool relative, std::string_view name);

// The cursor and options of SCAN, HSCAN and SSCAN: the cursor at req[at], then MATCH
// pattern and COUNT n, and TYPE t or NOVALUES where `extra` names them.
struct ScanArgs {
  uint64_t cursor = 0;
  std::optional<BytesView> pattern;  // none: every element ("*" reads as none)
  uint64_t count = 10;
  std::string type;  // SCAN's TYPE, lower case
  bool no_values = false;  // HSCAN's NOVALUES
};
enum class ScanExtra : uint8_t { Type, NoValues, None };
// The error reply when the arguments are not valid, else nullopt with `out` filled.
std::optional<Reply> parse_scan_args(const Request& req, size_t at, ScanExtra extra, ScanArgs& out);
// [cursor as text, items]: the reply of every scan command.
Reply scan_reply(uint64_t cursor, std::vector<Bytes> items);

inline std::string ascii_upper(BytesView s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

inline std::string ascii_lower(BytesView s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}


inline Reply ok() { return Reply::simple("OK"); }

inline Reply store_error(const ServerContext& ctx, StoreError e) {
  std::string text = ctx.store->error_text(e);
  // Texts that open with an upper-case code (WRONGTYPE, OOM) go out unchanged.
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') return Reply::error(std::move(text));
  return Reply::error("ERR " + text);
}

inline Reply wrong_args(BytesView name) {
  return Reply::error("ERR wrong number of arguments for '" + utf8::lossy(ascii_lower(name)) + "' command");
}

inline Reply not_an_integer() { return Reply::error("ERR value is not an integer or out of range"); }
inline Reply syntax_error() { return Reply::error("ERR syntax error"); }
inline Reply invalid_expire(std::string_view name) {
  return Reply::error("ERR invalid expire time in '" + std::string(name) + "' command");
}
inline Reply no_persistence() { return Reply::error("ERR persistence is not enabled for this server"); }

inline Reply bulk_or_null(std::optional<Bytes> v) { return v ? Reply::bulk(std::move(*v)) : Reply::null(); }

inline Reply count(uint64_t n) { return Reply::from_int(static_cast<int64_t>(n)); }

inline Reply flag(bool b) { return Reply::from_int(b ? 1 : 0); }

inline Reply bulk_array(std::vector<Bytes> items) {
  std::vector<Reply> out;
  out.reserve(items.size());
  for (Bytes& b : items) out.push_back(Reply::bulk(std::move(b)));
  return Reply::array(std::move(out));
}

// A map (keys and values alternating) or a set of members as the connection's protocol
// shows it. Under version 2 the reply is the plain Array it always was, so replies compare
// equal to what they were before the third version existed.
inline Reply map_reply(const ConnectionState& state, std::vector<Reply> keys_and_values) {
  return state.protocol == kResp3 ? Reply::map(std::move(keys_and_values)) : Reply::array(std::move(keys_and_values));
}
inline Reply set_reply(const ConnectionState& state, std::vector<Reply> members) {
  return state.protocol == kResp3 ? Reply::set(std::move(members)) : Reply::array(std::move(members));
}

// Set members as bulk strings in the connection's set form (SMEMBERS, SINTER, SUNION, SDIFF).
inline Reply member_set(const ConnectionState& state, std::vector<Bytes> members) {
  return set_reply(state, bulk_array(std::move(members)).elements);
}

template <class T, class Fn>
Reply map_result(const ServerContext& ctx, StoreResult<T> r, Fn&& to_reply) {
  if (!r) return store_error(ctx, r.error());
  return to_reply(std::move(r).value());
}

inline std::span<const Bytes> rest(const Request& req, size_t from) {
  return std::span<const Bytes>(req).subspan(from);
}

inline bool mul_overflows(int64_t a, int64_t b, int64_t& out) { return __builtin_mul_overflow(a, b, &out); }

}  // namespace vellum::server
