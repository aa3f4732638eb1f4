#pragma once

#include "Host/Core/HostConfiguration.h"

namespace host {

// `musicshell bundle`: hands the application's manifest and the paths of this build's parts to
// the packaging script, which replaces this process and writes the .deb into `bundleDirectory`.
// Gives the exit status, after a log line, when it cannot: no manifest, no maintainer's address,
// or no script to run.
int bundleApplication(const HostConfiguration& configuration);

}  // namespace host
