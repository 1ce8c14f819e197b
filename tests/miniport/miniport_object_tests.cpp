// The miniport as a COM object and as PortCls binds it: its interfaces and references, creation,
// Init and its unwinding, the filter description, power, modes, and what it does without streams.
#include <string>
#include <vector>

#include "tests/miniport/miniport_test_support.h"

namespace miniport_test {
namespace {

using Strings = std::vector<std::string>;

enum class Answer { Primary, Miniport, Power, Modes, Refused };

// {5DADB7DC-A2CB-4540-A4A8-425EE4AE9051}
constexpr GUID kRefusedProbe = {0x5DADB7DC, 0xA2CB, 0x4540, {0xA4, 0xA8, 0x42, 0x5E, 0xE4, 0xAE, 0x90, 0x51}};

struct QueryCase {
    const char* name;
    GUID id;
    Answer answer;
};

const QueryCase kQueryCases[] = {
    {"IUnknown", IID_IUnknown, Answer::Primary},
    {"IEngineCallback", IID_IEngineCallback, Answer::Primary},
    {"IMiniport", IID_IMiniport, Answer::Miniport},
    {"IMiniportWaveCyclic", IID_IMiniportWaveCyclic, Answer::Miniport},
    {"IPowerNotify", IID_IPowerNotify, Answer::Power},
    {"IUsbWaveModes", IID_IUsbWaveModes, Answer::Modes},
    {"{5DADB7DC-A2CB-4540-A4A8-425EE4AE9051}", kRefusedProbe, Answer::Refused},
    {"IMiniportWaveCyclicStream", IID_IMiniportWaveCyclicStream, Answer::Refused},
    {"IDmaChannel", IID_IDmaChannel, Answer::Refused},
    {"IUsbAudioAdapter", IID_IUsbAudioAdapter, Answer::Refused},
    {"IPortWaveCyclic", IID_IPortWaveCyclic, Answer::Refused},
};

// The interface an answer stands for, as an IUnknown reached through that interface's table.
IUnknown* Interface(UsbWaveMiniport* object, Answer answer)
{
    switch (answer) {
    case Answer::Primary:
        return static_cast<IEngineCallback*>(object);
    case Answer::Miniport:
        return static_cast<IMiniportWaveCyclic*>(object);
    case Answer::Power:
        return static_cast<IPowerNotify*>(object);
    case Answer::Modes:
        return static_cast<IUsbWaveModes*>(object);
    case Answer::Refused:
        break;
    }
    return nullptr;
}

TEST_F(MiniportTest, QueryInterfaceAnswersEachIdentifierWithItsInterfaceAndAReference)
{
    for (const QueryCase& c : kQueryCases) {
        SCOPED_TRACE(c.name);
        PVOID answer = &adapter_;  // anything but null, to see the refusal clear it
        const NTSTATUS status = miniport_->QueryInterface(c.id, &answer);
        if (c.answer == Answer::Refused) {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(answer, nullptr);
            EXPECT_EQ(References(miniport_), 1u);
            continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        IUnknown* expected = Interface(Object(), c.answer);
        // The pointer handed out must be that interface's table, not just the same object.
        EXPECT_EQ(answer, static_cast<PVOID>(expected));
        EXPECT_EQ(References(miniport_), 2u);
        EXPECT_EQ(expected->Release(), 1u);
    }
    EXPECT_EQ(miniport_->QueryInterface(IID_IUnknown, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(MiniportTest, EveryInterfaceCountsOnTheOneObjectAndTheLastReleaseFreesIt)
{
    auto live = machine_.Pools().LiveAllocations(kObjectPoolTag);
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].type, NonPagedPoolNx);

    IPowerNotify* power = nullptr;
    IUsbWaveModes* modes = nullptr;
    IEngineCallback* callback = nullptr;
    ASSERT_EQ(miniport_->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&power)), STATUS_SUCCESS);
    ASSERT_EQ(miniport_->QueryInterface(IID_IUsbWaveModes, reinterpret_cast<PVOID*>(&modes)), STATUS_SUCCESS);
    ASSERT_EQ(power->QueryInterface(IID_IEngineCallback, reinterpret_cast<PVOID*>(&callback)), STATUS_SUCCESS);
    EXPECT_EQ(callback->AddRef(), 5u);
    EXPECT_EQ(modes->Release(), 4u);
    EXPECT_EQ(callback->Release(), 3u);
    EXPECT_EQ(callback->Release(), 2u);
    EXPECT_EQ(miniport_->Release(), 1u);
    miniport_ = nullptr;
    EXPECT_EQ(machine_.Pools().LiveAllocations(kObjectPoolTag).size(), 1u);
    EXPECT_EQ(power->Release(), 0u);
    EXPECT_TRUE(machine_.Pools().LiveAllocations(kObjectPoolTag).empty());
}

TEST_F(MiniportTest, CreationTakesThePoolTypeItIsGivenAndFailsCleanlyWithoutMemory)
{
    PMINIPORTWAVECYCLIC other = nullptr;
    ASSERT_EQ(CreateUsbWaveMiniport(NonPagedPool, &other), STATUS_SUCCESS);
    const auto live = machine_.Pools().LiveAllocations(kObjectPoolTag);
    ASSERT_EQ(live.size(), 2u);
    const PVOID address = static_cast<UsbWaveMiniport*>(other);
    const auto& allocation = live[0].address == address ? live[0] : live[1];
    EXPECT_EQ(allocation.address, address);
    EXPECT_EQ(allocation.type, NonPagedPool);
    other->Release();

    const uint64_t failedBefore = machine_.Pools().FailedCount();
    machine_.Pools().InjectFailure(1, kObjectPoolTag);
    other = miniport_;
    EXPECT_EQ(CreateUsbWaveMiniport(NonPagedPoolNx, &other), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(machine_.Pools().FailedCount(), failedBefore + 1);
    EXPECT_EQ(machine_.Pools().LiveAllocations(kObjectPoolTag).size(), 1u);
}

TEST_F(MiniportTest, InitBindsPortAndAdapterRebuildsTheFilterAndRegistersTheEngineCallback)
{
    ASSERT_EQ(InitMiniport(), STATUS_SUCCESS);
    EXPECT_EQ(adapter_.calls, (Strings{"QueryInterface IUsbAudioAdapter", "RebuildFilterDescriptor",
                                       "SetEngineCallback"}));
    EXPECT_EQ(adapter_.engineCallback, static_cast<IEngineCallback*>(Object()));
    EXPECT_EQ(adapter_.references, 2);
    EXPECT_EQ(References(port_), 2u);
    EXPECT_EQ(Object()->PowerState(), ULONG(PowerDeviceD0));
    EXPECT_EQ(InitMiniport(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(adapter_.references, 2);
    EXPECT_EQ(References(port_), 2u);

    PPCFILTER_DESCRIPTOR description = nullptr;
    EXPECT_EQ(miniport_->GetDescription(&description), STATUS_SUCCESS);
    EXPECT_EQ(description, &adapter_.filter);
    EXPECT_EQ(adapter_.calls.back(), "GetFilterDescriptor");
}

struct InitFailure {
    const char* name;
    bool offersInterface;
    NTSTATUS rebuildStatus;
    NTSTATUS engineCallbackStatus;
    NTSTATUS expected;
    Strings calls;
};

TEST_F(MiniportTest, InitFailureReturnsTheStatusAndReleasesAdapterAndPort)
{
    const InitFailure cases[] = {
        {"adapter without the interface", false, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INVALID_PARAMETER,
         {"QueryInterface IUsbAudioAdapter"}},
        {"filter rebuild fails", true, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES,
         {"QueryInterface IUsbAudioAdapter", "RebuildFilterDescriptor"}},
        {"engine callback refused", true, STATUS_SUCCESS, STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY,
         {"QueryInterface IUsbAudioAdapter", "RebuildFilterDescriptor", "SetEngineCallback"}},
    };
    for (const InitFailure& c : cases) {
        SCOPED_TRACE(c.name);
        PMINIPORTWAVECYCLIC miniport = nullptr;
        ASSERT_EQ(CreateUsbWaveMiniport(NonPagedPoolNx, &miniport), STATUS_SUCCESS);
        adapter_.calls.clear();
        adapter_.offersInterface = c.offersInterface;
        adapter_.rebuildStatus = c.rebuildStatus;
        adapter_.engineCallbackStatus = c.engineCallbackStatus;

        EXPECT_EQ(miniport->Init(&adapter_, nullptr, port_), c.expected);
        EXPECT_EQ(adapter_.calls, c.calls);
        EXPECT_EQ(adapter_.references, 1);
        EXPECT_EQ(References(port_), 1u);
        PPCFILTER_DESCRIPTOR description = &adapter_.filter;
        EXPECT_EQ(miniport->GetDescription(&description), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(description, nullptr);

        // Nothing of the failed attempt is left behind: the port can bind the miniport again.
        adapter_.offersInterface = true;
        adapter_.rebuildStatus = STATUS_SUCCESS;
        adapter_.engineCallbackStatus = STATUS_SUCCESS;
        EXPECT_EQ(miniport->Init(&adapter_, nullptr, port_), STATUS_SUCCESS);
        EXPECT_EQ(adapter_.references, 2);
        EXPECT_EQ(References(port_), 2u);
        EXPECT_EQ(miniport->Release(), 0u);
        EXPECT_EQ(adapter_.references, 1);
        EXPECT_EQ(References(port_), 1u);
    }
}

TEST_F(MiniportTest, PowerChangeNotifyStoresDeviceStatesAndTracesAnythingElse)
{
    ASSERT_EQ(InitMiniport(), STATUS_SUCCESS);
    IPowerNotify* power = nullptr;
    ASSERT_EQ(miniport_->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&power)), STATUS_SUCCESS);
    struct Step {
        ULONG state;
        ULONG stored;
        bool traced;
    };
    const Step steps[] = {
        {PowerDeviceD0, PowerDeviceD0, false}, {PowerDeviceD3, PowerDeviceD3, false},
        {PowerDeviceD3, PowerDeviceD3, false}, {PowerDeviceD1, PowerDeviceD1, false},
        {PowerDeviceD2, PowerDeviceD2, false}, {PowerDeviceUnspecified, PowerDeviceD2, true},
        {PowerDeviceMaximum, PowerDeviceD2, true}, {PowerDeviceD0, PowerDeviceD0, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE("state " + std::to_string(step.state));
        const size_t traceBefore = machine_.TraceOutput().size();
        POWER_STATE state;
        state.DeviceState = DEVICE_POWER_STATE(step.state);
        power->PowerChangeNotify(state);
        EXPECT_EQ(Object()->PowerState(), step.stored);
        EXPECT_EQ(machine_.TraceOutput().size() > traceBefore, step.traced);
    }
    power->Release();
}

TEST_F(MiniportTest, GetModesHandsTheAdaptersAnswerBack)
{
    ASSERT_EQ(InitMiniport(), STATUS_SUCCESS);
    IUsbWaveModes* modes = nullptr;
    ASSERT_EQ(miniport_->QueryInterface(IID_IUsbWaveModes, reinterpret_cast<PVOID*>(&modes)), STATUS_SUCCESS);
    adapter_.modesStatus = STATUS_BUFFER_TOO_SMALL;
    adapter_.modesCount = 1;
    GUID mode{};
    ULONG count = 0;
    EXPECT_EQ(modes->GetModes(3, &mode, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(adapter_.modesPin, 3u);
    EXPECT_EQ(adapter_.modesOutput, &mode);
    EXPECT_EQ(adapter_.modesCountPointer, &count);

    adapter_.modesStatus = STATUS_SUCCESS;
    EXPECT_EQ(modes->GetModes(0, nullptr, &count), STATUS_SUCCESS);
    EXPECT_EQ(adapter_.modesOutput, nullptr);
    modes->Release();
}

// The engine reports from its DPCs; with no stream in any direction every report is dropped.
TEST_F(MiniportTest, EngineCallbacksFindNoStreamAndTouchNothing)
{
    ASSERT_EQ(InitMiniport(), STATUS_SUCCESS);
    adapter_.calls.clear();
    IEngineCallback* engine = adapter_.engineCallback;
    UCHAR buffer[16] = {1, 2, 3};
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (StreamDirection direction : {kDirectionOut, kDirectionIn, StreamDirection(2)}) {
        engine->NotifyPort(direction);
        engine->SilenceRegion(direction, buffer, sizeof(buffer));
        engine->AdvanceClock(direction, 192, 1);
        engine->RestartClock(direction);
        EXPECT_FALSE(engine->AcquireStream(direction));
        engine->ReleaseStream(direction);
        engine->ReportRenderBytes(direction, 192, 1);
        engine->RequeueCapture(direction);
    }
    engine->ResetRenderClock(0);
    engine->ResetRenderClock(1);
    KeLowerIrql(irql);
    EXPECT_TRUE(adapter_.calls.empty());
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(References(miniport_), 1u);
    EXPECT_EQ(adapter_.references, 2);
}

}  // namespace
}  // namespace miniport_test
