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

// For a service that runs for months with threads that come and go: every
// thread allocates from one pool (arena), whose free memory, its top
// included, releaseFreeMemory gives back; side pools would each keep the
// high-water mark of the threads they served. Call once, early in main,
// before threads start.
void limitAllocatorPools();

// Gives the pages of freed memory back to the system. The allocator keeps
// what a burst of work freed (within the limits above) for the next burst;
// a service that runs for months calls this when its work has ended, so
// that what it holds while idle does not grow with the bursts it has seen.
void releaseFreeMemory();

}  // namespace kvn_platform
