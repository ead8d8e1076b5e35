// Process-wide preparations the agent makes before it starts working.
#pragma once

namespace kvn_platform {

// Starts the socket library; returns 0 or the library's error code.
int startSockets();
void stopSockets();

// Gives the process the right to read and write every file regardless of
// its permissions, where the platform has such a notion. Logs whatever the
// user should know when the process runs without it.
void enableBackupPrivileges();

// Process-wide security for the component object model, where there is one.
void initComSecurity();

// Keeps the allocator from mapping and unmapping fresh pages for every
// packet-sized buffer (packets reach 10 MiB). Call once, early in main.
void tuneMemoryAllocator();

}  // namespace kvn_platform
