// Stop requests from the platform: the service manager's stop control, or
// SIGTERM and SIGINT here.
#pragma once

#include <chrono>

namespace kvn_platform {

// Keeps stop requests queued for waitForStopRequest. Call at the top of
// main, before any thread exists, so that every thread inherits it.
void holdStopRequests();

// Lets stop requests end the process the ordinary way again (used by the
// one-shot modes, which have no event loop to stop).
void releaseStopRequests();

// Waits up to timeout for a stop request; true when one arrived.
bool waitForStopRequest(std::chrono::milliseconds timeout);

}  // namespace kvn_platform
