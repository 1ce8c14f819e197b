#include "sim/io/io_manager.h"

#include <memory>
#include <sstream>

#include "sim/kernel/machine.h"

namespace sim::io {

IoManager& IoManager::Current() { return Machine::Current().Component<IoManager>(); }

IrpRecord* IoManager::FindIrpLocked(const IRP* irp)
{
    auto found = irps.find(irp);
    return found == irps.end() ? nullptr : &found->second;
}

std::u16string UpcaseName(const std::u16string& name)
{
    std::u16string upper(name);
    for (char16_t& c : upper) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return upper;
}

std::u16string NameOf(PCUNICODE_STRING name)
{
    if (name == nullptr || name->Buffer == nullptr) {
        return {};
    }
    return std::u16string(name->Buffer, name->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string& text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow += c < 0x80 ? char(c) : '?';
    }
    return narrow;
}

std::string Describe(const void* pointer)
{
    std::ostringstream text;
    text << pointer;
    return text.str();
}

void Report(const std::string& rule, const std::string& detail) { Machine::Current().Verify().Report(rule, detail); }

CalleeFrame::CalleeFrame(const char* calleeKind) : thread(RequireCurrentThread(calleeKind)), what(calleeKind)
{
    irql = thread->irql;
    spinLocks = thread->spinLocksHeld;
}

void CalleeFrame::Check(const void* routine) const
{
    if (thread->irql != irql || thread->spinLocksHeld != spinLocks) {
        std::ostringstream detail;
        detail << what << " " << routine << " returned at IRQL " << int(thread->irql) << " holding "
               << thread->spinLocksHeld << " spin lock(s); it was called at IRQL " << int(irql) << " holding "
               << spinLocks;
        Report("IRQL not restored", detail.str());
        thread->spinLocksHeld = spinLocks;
        SetThreadIrql(thread, irql);
    }
}

}  // namespace sim::io
