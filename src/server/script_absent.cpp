// The scripting entry points of a build without an interpreter: every scripting command
// answers that the build has none and how to get one.

#include "server/script.h"

namespace vellum::server {

bool scripting_available() { return false; }

Reply run_script(const ServerContext&, ConnectionState&, const ScriptCall&) { return no_scripting_reply(); }

Reply load_script(const ServerContext&, ConnectionState&, BytesView) { return no_scripting_reply(); }

}  // namespace vellum::server
