#pragma once

#include "Host/Core/Bridge.h"

namespace host {

// Reports for a page that can no longer report what plays: what its
// updateStatus({state: "stopped"}) would, as that very call, so the media widget shows Stopped
// instead of a clock that runs on for ever. Safe from any thread.
void reportStoppedForPage(Bridge& bridge);

}  // namespace host
