// The fixture of the miniport's tests: a machine, a fake adapter, a miniport and a simulated
// WaveCyclic port to bind it to. Everything is released at the end and the machine's leak check
// runs, so a reference the miniport forgets to drop fails the test.
#pragma once

#include <gtest/gtest.h>

#include "driver/miniport/usb_wave_miniport.h"
#include "sim/kernel/machine.h"
#include "tests/miniport/fake_adapter.h"

namespace miniport_test {

// The count an object's references stand at, seen through any of its interfaces.
inline ULONG References(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

class MiniportTest : public ::testing::Test {
protected:
    MiniportTest()
    {
        EXPECT_EQ(CreateUsbWaveMiniport(NonPagedPoolNx, &miniport_), STATUS_SUCCESS);
        PPORT port = nullptr;
        EXPECT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        EXPECT_EQ(port->QueryInterface(IID_IPortWaveCyclic, reinterpret_cast<PVOID*>(&port_)), STATUS_SUCCESS);
        port->Release();
    }

    ~MiniportTest() override
    {
        if (miniport_ != nullptr) {
            miniport_->Release();
        }
        EXPECT_EQ(adapter_.references, 1) << "the miniport kept an adapter reference";
        EXPECT_EQ(References(port_), 1u) << "the miniport kept a port reference";
        port_->Release();
        machine_.VerifyNothingLeaked();
    }

    NTSTATUS InitMiniport() { return miniport_->Init(&adapter_, nullptr, port_); }
    UsbWaveMiniport* Object() const { return static_cast<UsbWaveMiniport*>(miniport_); }

    sim::Machine machine_;
    FakeAdapter adapter_;
    PMINIPORTWAVECYCLIC miniport_ = nullptr;
    PPORTWAVECYCLIC port_ = nullptr;
};

}  // namespace miniport_test
