#include "server/commands.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>

#include "server/command_util.h"

namespace vellum::server {

std::span<const std::span<const CommandSpec>> command_families() {
  static const std::array<std::span<const CommandSpec>, 10> families = {
      string_commands(),    key_commands(),        collection_commands(), hash_commands(),
      list_commands(),      set_commands(),        admin_commands(),      introspection_commands(),
      transaction_commands(), scripting_commands()};
  return families;
}

std::optional<std::vector<size_t>> key_indices(const CommandSpec& c, std::span<const Bytes> args) {
  const KeyPositions& k = c.keys;
  const size_t n = args.size();
  std::vector<size_t> out;
  if (k.count_at > 0) {
    const auto at = static_cast<size_t>(k.count_at);
    const std::optional<int64_t> count = at < n ? parse_int(args[at]) : std::nullopt;
    if (count && *count > 0) {
      const size_t end = at + 1 + std::min(static_cast<size_t>(*count), n - at - 1);
      for (size_t i = at + 1; i < end; ++i) out.push_back(i);
    }
    return out;
  }
  if (k.step <= 0 || k.first <= 0) return std::nullopt;
  const auto argc = static_cast<int64_t>(n);
  const int64_t last = k.last < 0 ? argc + k.last : k.last;
  for (int64_t i = k.first; i <= last && i < argc; i += k.step) out.push_back(static_cast<size_t>(i));
  return out;
}

// Every family's rows by name, built once (thread-safe static initialisation) and never
// changed afterwards, so lookups from many connection threads need no lock.
const CommandSpec* find_command(std::string_view upper) {
  static const std::unordered_map<std::string_view, const CommandSpec*> index = [] {
    std::unordered_map<std::string_view, const CommandSpec*> out;
    for (auto family : command_families()) {
      for (const CommandSpec& c : family) out.emplace(c.name, &c);
    }
    return out;
  }();
  auto it = index.find(upper);
  return it == index.end() ? nullptr : it->second;
}

DispatchResult dispatch(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  const CommandSpec* row = find_command(ascii_upper(req[0]));
  // Unauthenticated, a command without kBeforeAuth, known or not, learns nothing more.
  if (!state.authenticated && (row == nullptr || (row->flags & kBeforeAuth) == 0)) {
    return {Reply::error("NOAUTH Authentication required."), false};
  }
  if (state.in_multi) {
    if (auto queued = queue_in_multi(ctx, state, row, req)) return {std::move(*queued), false};
  }
  if (row == nullptr) return {Reply::error("ERR unknown command '" + utf8::lossy(req[0]) + "'"), false};
  const auto argc = static_cast<int64_t>(req.size());
  if (argc < row->min_args || (row->max_args != kAny && argc > row->max_args)) {
    return {wrong_args(req[0]), false};
  }
  Reply reply = row->handler(ctx, state, req);
  return {std::move(reply), (row->flags & kCloses) != 0 || state.closing};
}

}  // namespace vellum::server
