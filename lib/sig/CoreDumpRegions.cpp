#include "lib/sig/CoreDumpRegions.h"

#include <sys/mman.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

constexpr size_t kBuckets = 4096;

struct RegionTable {
    std::mutex coreDumpRegions;
    std::unordered_map<uintptr_t, size_t> regions{kBuckets};
};

std::unique_ptr<RegionTable> gTable;

}  // namespace

void CoreDumpRegions_Create() {
    if (!gTable) {
        gTable = std::make_unique<RegionTable>();
    }
}

void CoreDumpRegions_Destroy() {
    gTable.reset();
}

bool CoreDumpRegions_Add(void* start, size_t length) {
    if (!gTable || length == 0) {
        return false;
    }
    std::lock_guard lock(gTable->coreDumpRegions);
    return gTable->regions.emplace(reinterpret_cast<uintptr_t>(start), length).second;
}

bool CoreDumpRegions_Remove(void* start) {
    if (!gTable) {
        return false;
    }
    std::lock_guard lock(gTable->coreDumpRegions);
    return gTable->regions.erase(reinterpret_cast<uintptr_t>(start)) == 1;
}

void CoreDumpRegions_ApplyInChild() {
    if (!gTable) {
        return;
    }
    for (const auto& [start, length] : gTable->regions) {
        munmap(reinterpret_cast<void*>(start), length);
    }
}
