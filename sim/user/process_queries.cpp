// What one process learns about others and about the machine (kernel32, psapi): OpenProcess by
// id, the image file name in its native form ("\Device\HarddiskVolume1\..."), kernel32's exports
// by name, and the processor topology of GetLogicalProcessorInformation: one core per simulated
// processor, each with its own level 1 and 2 caches, one shared level 3 cache, one package and
// one NUMA node.
#include <cstring>

#include "sim/user/user_machine.h"
#include "sim/user/window_records.h"

namespace sim::user {
namespace {

const HMODULE kKernel32 = reinterpret_cast<HMODULE>(ULONG_PTR(0x7FFA00000000));

BOOL LogicalProcessorInformation(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION Buffer, PDWORD ReturnedLength)
{
    if (ReturnedLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ULONG processors = Machine::Current().ProcessorCount();
    const ULONG_PTR all = processors >= 64 ? ~ULONG_PTR(0) : (ULONG_PTR(1) << processors) - 1;
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries;
    auto cache = [&](ULONG_PTR mask, BYTE level, DWORD size, PROCESSOR_CACHE_TYPE type) {
        SYSTEM_LOGICAL_PROCESSOR_INFORMATION entry = {};
        entry.ProcessorMask = mask;
        entry.Relationship = RelationCache;
        entry.Cache = {level, 8, 64, size, type};
        entries.push_back(entry);
    };
    for (ULONG processor = 0; processor < processors; ++processor) {
        SYSTEM_LOGICAL_PROCESSOR_INFORMATION core = {};
        core.ProcessorMask = ULONG_PTR(1) << processor;
        core.Relationship = RelationProcessorCore;
        entries.push_back(core);
        cache(core.ProcessorMask, 1, 32 * 1024, CacheData);
        cache(core.ProcessorMask, 1, 32 * 1024, CacheInstruction);
        cache(core.ProcessorMask, 2, 256 * 1024, CacheUnified);
    }
    SYSTEM_LOGICAL_PROCESSOR_INFORMATION package = {};
    package.ProcessorMask = all;
    package.Relationship = RelationProcessorPackage;
    entries.push_back(package);
    cache(all, 3, 8 * 1024 * 1024, CacheUnified);
    SYSTEM_LOGICAL_PROCESSOR_INFORMATION node = {};
    node.ProcessorMask = all;
    node.Relationship = RelationNumaNode;
    entries.push_back(node);
    const DWORD needed = DWORD(entries.size() * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    if (Buffer == nullptr || *ReturnedLength < needed) {
        *ReturnedLength = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(Buffer, entries.data(), needed);
    *ReturnedLength = needed;
    return TRUE;
}

}  // namespace

bool IsKernel32(LPCWSTR name)
{
    std::u16string file(name);
    file = file.substr(file.rfind(u'\\') == std::u16string::npos ? 0 : file.rfind(u'\\') + 1);
    return ClassKey(file.c_str()) == u"KERNEL32" || ClassKey(file.c_str()) == u"KERNEL32.DLL";
}

HMODULE Kernel32Module() { return kKernel32; }

}  // namespace sim::user

// Opening another process needs only that it exists; every simulated process runs as the same
// user, so the access asked for is granted.
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId)
{
    for (const sim::user::ProcessRef& process : sim::user::Users().ProcessesSnapshot()) {
        if (process->Id() == dwProcessId && !process->Ended()) {
            return sim::user::InsertHandle(process, dwDesiredAccess);
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

// The image path in the object manager's form: the drive letter becomes the volume's device.
DWORD K32GetProcessImageFileNameW(HANDLE hProcess, LPWSTR lpImageFileName, DWORD nSize)
{
    auto process = sim::user::ReferenceHandleAs<sim::user::Process>(hProcess, PROCESS_QUERY_INFORMATION, __func__);
    if (process == nullptr || lpImageFileName == nullptr) {
        return 0;
    }
    std::u16string path = process->ImagePath();
    if (path.size() >= 2 && path[1] == u':') {
        path = u"\\Device\\HarddiskVolume1" + path.substr(2);
    }
    if (path.size() >= nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    path.copy(lpImageFileName, path.size());
    lpImageFileName[path.size()] = 0;
    return DWORD(path.size());
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (hModule == sim::user::Kernel32Module() && lpProcName != nullptr &&
        std::strcmp(lpProcName, "GetLogicalProcessorInformation") == 0) {
        return reinterpret_cast<FARPROC>(&sim::user::LogicalProcessorInformation);
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}
