// The conversions between command replies and Lua values that scripts see, both ways.

#include "server/script_values.h"

#include <lauxlib.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace vellum::server {

void push_reply(lua_State* L, const Reply& r) {
  luaL_checkstack(L, 4, "reply nested too deeply");
  switch (r.kind) {
    case Reply::Kind::Integer:
      lua_pushnumber(L, static_cast<lua_Number>(r.integer));
      return;
    case Reply::Kind::Bulk:
    case Reply::Kind::Double:
    case Reply::Kind::Verbatim:
      lua_pushlstring(L, r.text.data(), r.text.size());
      return;
    case Reply::Kind::Simple:
    case Reply::Kind::Error:
      lua_createtable(L, 0, 1);
      lua_pushlstring(L, r.text.data(), r.text.size());
      lua_setfield(L, -2, r.kind == Reply::Kind::Simple ? "ok" : "err");
      return;
    case Reply::Kind::Null:
    case Reply::Kind::NullArray:
      lua_pushboolean(L, 0);
      return;
    case Reply::Kind::Array:
    case Reply::Kind::Map:
    case Reply::Kind::Set: {
      const int n = static_cast<int>(std::min<size_t>(r.elements.size(), std::numeric_limits<int>::max()));
      lua_createtable(L, n, 0);
      for (int i = 0; i < n; ++i) {
        push_reply(L, r.elements[static_cast<size_t>(i)]);
        lua_rawseti(L, -2, i + 1);
      }
      return;
    }
  }
  lua_pushboolean(L, 0);
}

namespace {

int64_t truncate_number(lua_Number d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

}  // namespace

std::optional<std::string> string_field(lua_State* L, const char* field) {
  lua_pushstring(L, field);
  lua_rawget(L, -2);
  std::optional<std::string> out;
  if (lua_type(L, -1) == LUA_TSTRING) {
    size_t len = 0;
    const char* s = lua_tolstring(L, -1, &len);
    out.emplace(s, len);
  }
  lua_pop(L, 1);
  return out;
}

bool to_reply(lua_State* L, int depth, Reply& out) {
  switch (lua_type(L, -1)) {
    case LUA_TSTRING: {
      size_t len = 0;
      const char* s = lua_tolstring(L, -1, &len);
      out = Reply::bulk(Bytes(s, len));
      return true;
    }
    case LUA_TNUMBER:
      out = Reply::from_int(truncate_number(lua_tonumber(L, -1)));
      return true;
    case LUA_TBOOLEAN:
      out = lua_toboolean(L, -1) ? Reply::from_int(1) : Reply::null();
      return true;
    case LUA_TTABLE: {
      if (auto err = string_field(L, "err")) {
        out = Reply::error(std::move(*err));
        return true;
      }
      if (auto status = string_field(L, "ok")) {
        out = Reply::simple(std::move(*status));
        return true;
      }
      if (depth >= kMaxReplyDepth) return false;
      luaL_checkstack(L, 2, "reply nested too deeply");
      std::vector<Reply> items;
      for (int i = 1;; ++i) {
        lua_rawgeti(L, -1, i);
        if (lua_isnil(L, -1)) {
          lua_pop(L, 1);
          break;
        }
        Reply item;
        const bool fits = to_reply(L, depth + 1, item);
        lua_pop(L, 1);
        if (!fits) return false;
        items.push_back(std::move(item));
      }
      out = Reply::array(std::move(items));
      return true;
    }
    default:
      out = Reply::null();
      return true;
  }
}

}  // namespace vellum::server
