// Events and mutexes, named or not, in the machine's object namespace. Names are case-sensitive;
// "Global\" names live in \BaseNamedObjects, other names in the session's namespace, so processes
// of one session share unprefixed names. A named object lives while a handle refers to it.
#include <cstring>

#include "sim/user/user_machine.h"

namespace sim::user {

namespace {

constexpr ACCESS_MASK kEventQueryState = 0x0001;

class EventObject final : public UserObject {
public:
    EventObject(bool manualReset, bool initialState)
    {
        KeInitializeEvent(&event, manualReset ? NotificationEvent : SynchronizationEvent, initialState);
    }
    const char* TypeName() const override { return "Event"; }
    DISPATCHER_HEADER* Waitable() override { return &event.Header; }
    ACCESS_MASK AllAccess() const override { return EVENT_ALL_ACCESS; }
    KEVENT event;
};

// A user-mode mutant: recursive, owned by a thread, abandoned when its owner ends.
class MutexObject final : public UserObject {
public:
    MutexObject()
    {
        KeInitializeMutex(&mutant, 0);
        mutant.ApcDisable = 0;
    }
    const char* TypeName() const override { return "Mutant"; }
    DISPATCHER_HEADER* Waitable() override { return &mutant.Header; }
    ACCESS_MASK AllAccess() const override { return MUTEX_ALL_ACCESS; }
    KMUTANT mutant;
};

// The object's full name, or false with the last error set.
bool ObjectPath(LPCWSTR name, std::u16string& path)
{
    std::u16string text(name);
    const std::u16string global = u"Global\\";
    const std::u16string local = u"Local\\";
    std::u16string directory;
    const ULONG session = CurrentProcess("named object").Session();
    const std::u16string sessionDirectory =
        session == 0 ? u"\\BaseNamedObjects" : u"\\Sessions\\" + Utf8ToUtf16(std::to_string(session)) + u"\\BaseNamedObjects";
    if (text.compare(0, global.size(), global) == 0) {
        directory = u"\\BaseNamedObjects";
        text.erase(0, global.size());
    } else if (text.compare(0, local.size(), local) == 0) {
        directory = sessionDirectory;
        text.erase(0, local.size());
    } else {
        directory = sessionDirectory;
    }
    if (text.size() > MAX_PATH) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (text.empty() || text.find(u'\\') != std::u16string::npos) {
        ::SetLastError(text.empty() ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND);
        return false;
    }
    path = directory + u"\\" + text;
    return true;
}

ObjectRef FindNamedLocked(UserMachine& users, const std::u16string& path)
{
    auto found = users.namedObjects.find(path);
    if (found == users.namedObjects.end()) {
        return nullptr;
    }
    ObjectRef object = found->second.lock();
    if (object == nullptr) {
        users.namedObjects.erase(found);
    }
    return object;
}

// Create-or-open: a new object from `make`, or the existing one of the same type with
// ERROR_ALREADY_EXISTS; another type's object with that name is ERROR_INVALID_HANDLE.
template <class T, class Make> HANDLE CreateNamed(LPCWSTR name, Make make, bool& created)
{
    created = false;
    if (name == nullptr || name[0] == 0) {
        std::shared_ptr<T> object = make();
        created = true;
        ::SetLastError(ERROR_SUCCESS);
        return InsertHandle(object, object->AllAccess());
    }
    std::u16string path;
    if (!ObjectPath(name, path)) {
        return nullptr;
    }
    UserMachine& users = Users();
    std::lock_guard<std::mutex> held(users.namespaceLock);
    ObjectRef existing = FindNamedLocked(users, path);
    if (existing != nullptr) {
        if (std::dynamic_pointer_cast<T>(existing) == nullptr) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        const HANDLE handle = InsertHandle(existing, existing->AllAccess());
        ::SetLastError(ERROR_ALREADY_EXISTS);
        return handle;
    }
    std::shared_ptr<T> object = make();
    users.namedObjects[path] = object;
    created = true;
    ::SetLastError(ERROR_SUCCESS);
    return InsertHandle(object, object->AllAccess());
}

template <class T> HANDLE OpenNamed(DWORD desiredAccess, LPCWSTR name, ACCESS_MASK read, ACCESS_MASK write)
{
    if (name == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string path;
    if (!ObjectPath(name, path)) {
        return nullptr;
    }
    UserMachine& users = Users();
    std::lock_guard<std::mutex> held(users.namespaceLock);
    ObjectRef existing = FindNamedLocked(users, path);
    if (existing == nullptr) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (std::dynamic_pointer_cast<T>(existing) == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const ACCESS_MASK all = existing->AllAccess();
    return InsertHandle(existing, MapGenericAccess(desiredAccess, read, write, all) & all);
}

}  // namespace

}  // namespace sim::user

using sim::user::EventObject;
using sim::user::MutexObject;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    bool created = false;
    return sim::user::CreateNamed<EventObject>(
        lpName, [&] { return std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE); }, created);
}

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    return sim::user::OpenNamed<EventObject>(dwDesiredAccess, lpName, STANDARD_RIGHTS_READ | sim::user::kEventQueryState,
                                             STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE);
}

BOOL SetEvent(HANDLE hEvent)
{
    auto event = sim::user::ReferenceHandleAs<EventObject>(hEvent, EVENT_MODIFY_STATE, __func__);
    if (event == nullptr) {
        return FALSE;
    }
    KeSetEvent(&event->event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    auto event = sim::user::ReferenceHandleAs<EventObject>(hEvent, EVENT_MODIFY_STATE, __func__);
    if (event == nullptr) {
        return FALSE;
    }
    KeResetEvent(&event->event);
    return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    bool created = false;
    HANDLE handle =
        sim::user::CreateNamed<MutexObject>(lpName, [] { return std::make_shared<MutexObject>(); }, created);
    // The initial owner is ignored when the mutex existed before.
    if (handle != nullptr && created && bInitialOwner) {
        const DWORD error = GetLastError();
        WaitForSingleObject(handle, 0);
        SetLastError(error);
    }
    return handle;
}

HANDLE OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    return sim::user::OpenNamed<MutexObject>(dwDesiredAccess, lpName, STANDARD_RIGHTS_READ | MUTANT_QUERY_STATE,
                                             STANDARD_RIGHTS_WRITE);
}

BOOL ReleaseMutex(HANDLE hMutex)
{
    auto mutex = sim::user::ReferenceHandleAs<MutexObject>(hMutex, SYNCHRONIZE, __func__);
    if (mutex == nullptr) {
        return FALSE;
    }
    sim::Scheduler& scheduler = sim::Machine::Current().Dispatcher();
    LONG previous = 0;
    NTSTATUS status;
    {
        auto held = scheduler.Lock();
        status = scheduler.ReleaseMutantLocked(&mutex->mutant, sim::CurrentSimThread(), &previous);
    }
    if (!NT_SUCCESS(status)) {
        sim::user::SetLastErrorFromStatus(status);
        return FALSE;
    }
    return TRUE;
}
