#pragma once
// The conversions between command replies and Lua values, as scripts see them. Built only
// with the interpreter.
//
//   reply -> Lua: integer -> number, bulk (and double, verbatim) -> string, null -> false,
//   array (map, set) -> table, status -> {ok = text}, error -> {err = text}.
//   Lua -> reply: string -> bulk, number -> integer (truncated, saturating), true -> 1,
//   false and nil -> null, {err = text} -> error, {ok = text} -> status, table -> array up
//   to its first nil.

#include <lua.h>

#include <optional>
#include <string>

#include "server/resp.h"

namespace vellum::server {

// The deepest nesting a script's reply may have.
inline constexpr int kMaxReplyDepth = 64;

// Pushes `reply` onto the stack; raises a Lua error when the stack cannot grow.
void push_reply(lua_State* L, const Reply& reply);

// The string under `field` of the table at the top, if it holds one.
std::optional<std::string> string_field(lua_State* L, const char* field);

// Converts the value at the top of the stack into `out`, leaving the stack as it was;
// false when it nests deeper than kMaxReplyDepth.
bool to_reply(lua_State* L, int depth, Reply& out);

}  // namespace vellum::server
