#include "controlpanel/processor_count.h"

#include <vector>

namespace {

using GetInformation = BOOL(WINAPI*)(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION, PDWORD);

UINT CountBits(ULONG_PTR mask)
{
    UINT count = 0;
    for (; mask != 0; mask &= mask - 1) {
        ++count;
    }
    return count;
}

}  // namespace

UINT CountLogicalProcessors()
{
    HMODULE kernel = GetModuleHandleW(W("kernel32"));
    // Through void (*)(void), the type that stands for any function, as an export's type is ours to know.
    auto query = kernel != nullptr ? reinterpret_cast<GetInformation>(reinterpret_cast<void (*)()>(
                                         GetProcAddress(kernel, "GetLogicalProcessorInformation")))
                                   : nullptr;
    if (query == nullptr) {
        return 0;
    }
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries(1);
    DWORD length = DWORD(sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    while (!query(entries.data(), &length)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return 0;
        }
        entries.resize(length / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) + 1);
        length = DWORD(entries.size() * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    }
    entries.resize(length / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    UINT logical = 0, cores = 0, nodes = 0, packages = 0, caches[3] = {};
    for (const SYSTEM_LOGICAL_PROCESSOR_INFORMATION& entry : entries) {
        switch (entry.Relationship) {
        case RelationProcessorCore:
            ++cores;
            logical += CountBits(entry.ProcessorMask);
            break;
        case RelationNumaNode:
            ++nodes;
            break;
        case RelationProcessorPackage:
            ++packages;
            break;
        case RelationCache:
            if (entry.Cache.Level >= 1 && entry.Cache.Level <= 3) {
                ++caches[entry.Cache.Level - 1];
            }
            break;
        default:
            break;
        }
    }
    WCHAR summary[160];
    swprintf_s(summary, ARRAYSIZE(summary),
               W("NUMA nodes: %u, packages: %u, cores: %u, logical processors: %u, caches L1/L2/L3: %u/%u/%u\n"),
               nodes, packages, cores, logical, caches[0], caches[1], caches[2]);
    OutputDebugStringW(summary);
    return logical;
}
