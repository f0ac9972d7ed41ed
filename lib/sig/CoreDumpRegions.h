// Memory that the core-dump child unmaps before it dumps, so that secrets
// (keys, tokens) or huge caches stay out of core files.
//
// Thread safety: changes take the lock "coreDumpRegions". The dumping child
// reads the table without it: it is a fresh copy of the process in which no
// other thread exists any more, so a lock held at fork time would never be
// released.
#pragma once

#include <cstddef>

// Sig_Init creates the table unless "signal.dontUnmap" is set; Sig_Exit
// frees it. Without a table, exclusions are refused.
void CoreDumpRegions_Create();
void CoreDumpRegions_Destroy();

// Regions are page ranges; false when there is no table, the range is
// empty or already registered, or (Remove) not registered.
bool CoreDumpRegions_Add(void* start, size_t length);
bool CoreDumpRegions_Remove(void* start);

// In the dumping child only: unmaps every registered region.
void CoreDumpRegions_ApplyInChild();
