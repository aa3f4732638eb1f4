#pragma once

#include "Fakes/FakeServices.h"

// The fakes installed as the process's shared services for the whole test run, which is what
// `MediaManager::shared()` and anything made without a bridge reach.
FakeServices& sharedFakes();
