// Scripting commands: EVAL and EVALSHA (and their read-only forms) run a script over the
// keys it declares; SCRIPT LOAD, EXISTS, FLUSH and KILL manage the server's script cache
// and the runs in progress. The interpreter side is in script_lua.cpp.

#include "server/command_util.h"
#include "server/sha1.h"

namespace vellum::server {

namespace {

Reply run(const ServerContext& ctx, ConnectionState& state, const Request& req, bool by_sha, bool read_only) {
  if (!scripting_available()) return no_scripting_reply();
  const std::optional<int64_t> numkeys = parse_int(req[2]);
  if (!numkeys) return not_an_integer();
  if (*numkeys < 0) return Reply::error("ERR Number of keys can't be negative");
  if (static_cast<uint64_t>(*numkeys) > req.size() - 3) {
    return Reply::error("ERR Number of keys can't be greater than number of args");
  }
  ScriptCall call;
  const auto n = static_cast<size_t>(*numkeys);
  call.keys = rest(req, 3).first(n);
  call.args = rest(req, 3 + n);
  call.read_only = read_only;
  if (by_sha) {
    call.sha = ascii_lower(req[1]);
  } else {
    call.sha = sha1_hex(req[1]);
    call.text = req[1];
  }
  return run_script(ctx, state, call);
}

Reply cmd_eval(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  return run(ctx, state, req, false, false);
}
Reply cmd_evalsha(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  return run(ctx, state, req, true, false);
}
Reply cmd_eval_ro(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  return run(ctx, state, req, false, true);
}
Reply cmd_evalsha_ro(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  return run(ctx, state, req, true, true);
}

Reply cmd_script(const ServerContext& ctx, ConnectionState& state, const Request& req) {
  if (!scripting_available()) return no_scripting_reply();
  const std::string sub = ascii_upper(req[1]);
  Scripts& scripts = *ctx.scripts;
  if (sub == "LOAD" && req.size() == 3) return load_script(ctx, state, req[2]);
  if (sub == "EXISTS" && req.size() >= 3) {
    std::vector<Reply> out;
    for (size_t i = 2; i < req.size(); ++i) out.push_back(flag(scripts.contains(ascii_lower(req[i]))));
    return Reply::array(std::move(out));
  }
  if (sub == "FLUSH" && req.size() <= 3) {
    if (req.size() == 3) {
      const std::string mode = ascii_upper(req[2]);
      if (mode != "SYNC" && mode != "ASYNC") return syntax_error();
    }
    scripts.flush();
    return ok();
  }
  if (sub == "KILL" && req.size() == 2) {
    switch (scripts.kill()) {
      case Scripts::KillOutcome::NotBusy:
        return Reply::error("NOTBUSY No scripts in execution right now.");
      case Scripts::KillOutcome::Unkillable:
        return Reply::error(
            "UNKILLABLE The running script has already written: it runs to completion, since stopping it "
            "would leave a part of its effects.");
      case Scripts::KillOutcome::Killed:
        break;
    }
    return ok();
  }
  return Reply::error("ERR unknown subcommand or wrong number of arguments for '" + utf8::lossy(req[1]) +
                      "'. Try SCRIPT HELP.");
}

const CommandSpec kScriptingCommands[] = {
    CommandSpec{"EVAL", 3, kAny, cmd_eval, kWrite | kNoScript, {0, 0, 0, 2}},
    CommandSpec{"EVALSHA", 3, kAny, cmd_evalsha, kWrite | kNoScript, {0, 0, 0, 2}},
    CommandSpec{"EVAL_RO", 3, kAny, cmd_eval_ro, kReadOnly | kNoScript, {0, 0, 0, 2}},
    CommandSpec{"EVALSHA_RO", 3, kAny, cmd_evalsha_ro, kReadOnly | kNoScript, {0, 0, 0, 2}},
    CommandSpec{"SCRIPT", 2, kAny, cmd_script, kNoScript},
};

}  // namespace

std::span<const CommandSpec> scripting_commands() { return kScriptingCommands; }

}  // namespace vellum::server
