// What every end-to-end run must show whatever was done to it: each call answered
// once, and nothing on standard output but answers and the host's own lines.
#pragma once

#include <set>
#include <string>

#include "host_process.h"

namespace e2e {

// Every call sent has exactly one answer line and no line answers an id never sent.
// The console itself refuses a second answer and settles a dropped result, and says
// so on standard error: neither may have happened.
void expectEachCallAnsweredOnce(HostProcess& host);

// Every diagnostic line is one the host writes of its own or one of the |printed|
// messages sent with "print".
void expectOwnDiagnostics(HostProcess& host, const std::set<std::string>& printed = {});

// Standard error holds nothing but the console's note that input ended.
void expectQuietStandardError(HostProcess& host);

}  // namespace e2e
