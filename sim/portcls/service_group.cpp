// PcNewServiceGroup: a service group calls RequestService on each of its members from a DPC, at
// DISPATCH_LEVEL, once per request that was not already pending; delayed service does the same
// from a timer. Each queued DPC holds a reference on the group, and the members are held while
// they are called, so a member removed or a group released meanwhile stays valid.
#include "sim/portcls/adapter_device.h"
#include "sim/portcls/kernel_unknown.h"

namespace {

using sim::portcls::AnswerQuery;
using sim::portcls::KernelReferences;

constexpr ULONG kMaximumMembers = 16;

class ServiceGroup final : public IServiceGroup, public KernelReferences, public PoolAllocated {
public:
    ServiceGroup()
    {
        KeInitializeSpinLock(&lock_);
        KeInitializeDpc(&dpc_, &ServiceGroup::Run, this);
        KeInitializeDpc(&timerDpc_, &ServiceGroup::Run, this);
        KeInitializeTimer(&timer_);
    }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* object) override
    {
        return AnswerQuery(interfaceId, object, static_cast<IServiceGroup*>(this),
                           {&IID_IServiceSink, &IID_IServiceGroup});
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddReference(); }
    STDMETHODIMP_(ULONG) Release() override { return DropReference(); }

    STDMETHODIMP_(void) RequestService() override
    {
        AddRef();
        if (!KeInsertQueueDpc(&dpc_, nullptr, nullptr)) {
            Release();
        }
    }

    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK sink) override
    {
        if (sink == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        KIRQL irql;
        KeAcquireSpinLock(&lock_, &irql);
        if (count_ == kMaximumMembers) {
            KeReleaseSpinLock(&lock_, irql);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        sink->AddRef();
        members_[count_++] = sink;
        KeReleaseSpinLock(&lock_, irql);
        return STATUS_SUCCESS;
    }

    STDMETHODIMP_(void) RemoveMember(PSERVICESINK sink) override
    {
        PSERVICESINK removed = nullptr;
        KIRQL irql;
        KeAcquireSpinLock(&lock_, &irql);
        for (ULONG i = 0; i < count_; ++i) {
            if (members_[i] == sink) {
                removed = sink;
                members_[i] = members_[--count_];
                members_[count_] = nullptr;
                break;
            }
        }
        KeReleaseSpinLock(&lock_, irql);
        if (removed != nullptr) {
            removed->Release();
        }
    }

    STDMETHODIMP_(void) SupportDelayedService() override { delayedSupported_ = true; }

    // The delay is relative, in 100-nanosecond units.
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG delay) override
    {
        if (!delayedSupported_) {
            return;
        }
        LARGE_INTEGER due;
        due.QuadPart = -LONGLONG(delay);
        AddRef();
        if (KeSetTimer(&timer_, due, &timerDpc_)) {
            Release();  // it replaced a pending request that already held a reference
        }
    }

    STDMETHODIMP_(void) CancelDelayedService() override
    {
        if (delayedSupported_ && KeCancelTimer(&timer_)) {
            Release();
        }
    }

private:
    ~ServiceGroup() override
    {
        for (ULONG i = 0; i < count_; ++i) {
            members_[i]->Release();
        }
    }

    static void Run(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* group = static_cast<ServiceGroup*>(context);
        PSERVICESINK called[kMaximumMembers];
        ULONG count;
        KeAcquireSpinLockAtDpcLevel(&group->lock_);
        count = group->count_;
        for (ULONG i = 0; i < count; ++i) {
            called[i] = group->members_[i];
            called[i]->AddRef();
        }
        KeReleaseSpinLockFromDpcLevel(&group->lock_);
        for (ULONG i = 0; i < count; ++i) {
            called[i]->RequestService();
            called[i]->Release();
        }
        group->Release();
    }

    KSPIN_LOCK lock_;
    KDPC dpc_;
    KDPC timerDpc_;
    KTIMER timer_;
    bool delayedSupported_ = false;
    PSERVICESINK members_[kMaximumMembers] = {};
    ULONG count_ = 0;
};

}  // namespace

NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN)
{
    if (OutServiceGroup == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *OutServiceGroup = new (NonPagedPoolNx, sim::portcls::kPortClsTag) ServiceGroup();
    return *OutServiceGroup == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
