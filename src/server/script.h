#pragma once
// Server-side scripts: what every connection of a server shares about them (the scripts
// cached by the SHA-1 of their text, the settings that bound a run, the count of runs in
// progress for SCRIPT KILL), and the entry points the scripting commands call.
//
// A script runs with the shards of its declared keys held exclusively (a store batch), so
// no other client sees a part of its effects and the log holds its writes as one record.
// It may name only its declared keys in the commands it calls. A script that has not
// written yet is stopped by SCRIPT KILL or when it runs past the time limit; once it has
// written it runs to completion, since stopping it would leave a part of its effects.
// Each connection runs its scripts in an interpreter of its own, created at its first
// script, with the compiled functions cached by SHA-1; SCRIPT FLUSH empties every cache.
//
// Thread-safety: Scripts is shared by every connection thread. Its mutex is a leaf, taken
// also under shard locks (a script runs under those of its keys).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/bytes.h"
#include "server/resp.h"

namespace vellum::server {

inline constexpr uint64_t kDefaultScriptTimeLimitMs = 5000;
inline constexpr uint64_t kDefaultScriptMemoryLimit = uint64_t{64} << 20;

class Scripts {
 public:
  explicit Scripts(uint64_t time_limit_ms = kDefaultScriptTimeLimitMs,
                   uint64_t memory_limit = kDefaultScriptMemoryLimit)
      : time_limit_ms_(time_limit_ms), memory_limit_(memory_limit) {}
  Scripts(const Scripts&) = delete;
  Scripts& operator=(const Scripts&) = delete;

  // How long a script may run before it has written, and how many bytes its interpreter
  // may hold.
  uint64_t time_limit_ms() const { return time_limit_ms_; }
  uint64_t memory_limit() const { return memory_limit_; }

  // Caches `text` under `sha` (its SHA-1 hex).
  void remember(const std::string& sha, BytesView text);
  std::optional<Bytes> find(const std::string& sha) const;
  bool contains(const std::string& sha) const;
  // Forgets every script; the interpreters drop their compiled functions at their next run.
  void flush();
  // Advances on every flush.
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

  // One run in progress, from before it waits for its shards until it returns: what SCRIPT
  // KILL looks at. RAII, used by the run's own thread.
  class Run {
   public:
    explicit Run(Scripts& scripts);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    // Called before each write: false when a SCRIPT KILL got to the run first, and the
    // write must not happen. Once it answered true, no kill stops the run.
    bool may_write();
    bool has_written() const { return written_; }
    bool killed() const { return killed_.load(std::memory_order_acquire); }

   private:
    friend class Scripts;
    Scripts& scripts_;
    bool written_ = false;  // changed under scripts_.mu_, by the run's thread only
    std::atomic<bool> killed_{false};
  };

  enum class KillOutcome : uint8_t { NotBusy, Unkillable, Killed };
  // Marks every run in progress that has not written as killed: each ends with an error.
  KillOutcome kill();

 private:
  const uint64_t time_limit_ms_;
  const uint64_t memory_limit_;
  mutable std::mutex mu_;
  std::unordered_map<std::string, Bytes> texts_;  // guarded by mu_
  std::vector<Run*> runs_;                          // guarded by mu_
  std::atomic<uint64_t> generation_{0};
};

struct ServerContext;
struct ConnectionState;

// False when the server was built without an interpreter; every scripting command then
// answers no_scripting_reply().
bool scripting_available();
Reply no_scripting_reply();

// One EVAL or EVALSHA: the script by its SHA-1 (lower-case hex) and, for EVAL, its text.
struct ScriptCall {
  std::string sha;
  std::optional<BytesView> text;
  std::span<const Bytes> keys;
  std::span<const Bytes> args;
  bool read_only = false;
};

// Runs a script on `state`'s interpreter and answers its reply converted from the
// interpreter's values, or an error. An EVALSHA whose script neither the cache nor the
// interpreter knows answers NOSCRIPT.
Reply run_script(const ServerContext& ctx, ConnectionState& state, const ScriptCall& call);
// Compiles `text` (SCRIPT LOAD) and caches it; its SHA-1 or the compile error.
Reply load_script(const ServerContext& ctx, ConnectionState& state, BytesView text);

// A connection's interpreter, created by its first script.
struct ScriptVm;

}  // namespace vellum::server
