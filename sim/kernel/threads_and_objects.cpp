// System threads, handles and object references, work items, bug checks and debugger output.
#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <sstream>

#include "sim/api/kernel.h"
#include "sim/kernel/machine.h"

namespace {
using sim::Machine;
using sim::SimThread;
}  // namespace

struct _OBJECT_TYPE {
    const char* name;
};

namespace {
_OBJECT_TYPE g_threadType{"Thread"};
_OBJECT_TYPE g_eventType{"Event"};
POBJECT_TYPE g_threadTypePointer = &g_threadType;
POBJECT_TYPE g_eventTypePointer = &g_eventType;

struct SystemThreadStart {
    PKSTART_ROUTINE routine;
    PVOID context;
};

void RunSystemThread(void* parameter)
{
    SystemThreadStart start = *static_cast<SystemThreadStart*>(parameter);
    delete static_cast<SystemThreadStart*>(parameter);
    start.routine(start.context);
    sim::VerifyThreadExit(sim::CurrentSimThread());
}
}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;

namespace sim {
void VerifyThreadExit(SimThread* thread)
{
    if (thread->irql != PASSIVE_LEVEL || thread->spinLocksHeld != 0) {
        Machine::Current().Verify().Report("thread ended above PASSIVE_LEVEL",
                                           "'" + thread->name + "' at IRQL " + std::to_string(thread->irql));
        // Its processor would hold off its DPCs for good.
        thread->spinLocksHeld = 0;
        SetThreadIrql(thread, PASSIVE_LEVEL);
    }
}
}  // namespace sim

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext)
{
    PAGED_CODE();
    Machine& machine = Machine::Current();
    std::ostringstream name;
    name << "system thread " << reinterpret_cast<const void*>(StartRoutine);
    auto* start = new SystemThreadStart{StartRoutine, StartContext};
    SimThread* thread = machine.CreateThread(name.str(), &RunSystemThread, start);
    *ThreadHandle = machine.Objects().CreateHandle(thread);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = *ThreadHandle;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    sim::VerifyThreadExit(self);
    self->exitStatus = ExitStatus;
    {
        auto held = Machine::Current().Dispatcher().Lock();
        Machine::Current().Dispatcher().DetachCurrentThreadLocked(held);
    }
    pthread_exit(nullptr);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation)
{
    sim::KernelObject* object = Machine::Current().Objects().ReferenceByHandle(Handle);
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (ObjectType != nullptr && std::string(ObjectType->name) != object->TypeName()) {
        Machine::Current().Objects().Release(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Object = object->Body();
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    long count = Machine::Current().Objects().ReferenceBody(Object);
    if (count < 0) {
        Machine::Current().Verify().Report("reference to an unknown object", "ObReferenceObject");
    }
    return count;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    long count = Machine::Current().Objects().DereferenceBody(Object);
    if (count < 0) {
        Machine::Current().Verify().Report("object used after free",
                                           "ObDereferenceObject of an object that no longer exists");
    }
    return count;
}

NTSTATUS ZwClose(HANDLE Handle)
{
    NTSTATUS status = Machine::Current().Objects().CloseHandle(Handle);
    if (status == STATUS_INVALID_HANDLE) {
        // Windows bug-checks (INVALID_KERNEL_HANDLE) on a bad kernel handle.
        std::ostringstream detail;
        detail << "ZwClose(" << Handle << ")";
        Machine::Current().Verify().Report("invalid handle closed", detail.str());
    }
    return status;
}

void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) { Machine::Current().QueueWorkItem(WorkItem); }

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR Parameter1, ULONG_PTR Parameter2, ULONG_PTR Parameter3,
                  ULONG_PTR Parameter4)
{
    std::fprintf(stderr, "\n*** simulated machine bug check 0x%08X (%llx, %llx, %llx, %llx)\n", BugCheckCode,
                 (unsigned long long)Parameter1, (unsigned long long)Parameter2, (unsigned long long)Parameter3,
                 (unsigned long long)Parameter4);
    std::abort();
}

namespace {
// What a debugger with the default filter shows: DbgPrint, and DbgPrintEx at the error level.
// More verbose levels are kept apart, as trace output a test may read but need not see.
ULONG AppendDebuggerText(bool shownByDefault, PCSTR format, va_list arguments)
{
    char text[512];
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    if (length < 0) {
        return ULONG(STATUS_INVALID_PARAMETER);
    }
    if (shownByDefault) {
        Machine::Current().AppendDebuggerOutput(text);
    } else {
        Machine::Current().AppendTraceOutput(text);
    }
    return STATUS_SUCCESS;
}
}  // namespace

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    ULONG result = AppendDebuggerText(true, Format, arguments);
    va_end(arguments);
    return result;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    ULONG result = AppendDebuggerText(Level == DPFLTR_ERROR_LEVEL, Format, arguments);
    va_end(arguments);
    return result;
}
