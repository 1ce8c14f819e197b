// Hosts call the driver through the vtable by slot number, never by name: every IASIO method must
// sit in its published slot, whatever the compiler does with the C++ declaration.
#include <gtest/gtest.h>

#include "asio/asio_interface.h"

namespace {

// Records which method a call reached.
class SlotRecorder : public IASIO {
public:
    int reached = -1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return reached = 0, E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return reached = 1, 1; }
    ULONG STDMETHODCALLTYPE Release() override { return reached = 2, 1; }
    ASIOBool init(void*) override { return reached = 3, ASIOFalse; }
    void getDriverName(char*) override { reached = 4; }
    LONG getDriverVersion() override { return reached = 5, 0; }
    void getErrorMessage(char*) override { reached = 6; }
    ASIOError start() override { return reached = 7, ASE_OK; }
    ASIOError stop() override { return reached = 8, ASE_OK; }
    ASIOError getChannels(LONG*, LONG*) override { return reached = 9, ASE_OK; }
    ASIOError getLatencies(LONG*, LONG*) override { return reached = 10, ASE_OK; }
    ASIOError getBufferSize(LONG*, LONG*, LONG*, LONG*) override { return reached = 11, ASE_OK; }
    ASIOError canSampleRate(ASIOSampleRate) override { return reached = 12, ASE_OK; }
    ASIOError getSampleRate(ASIOSampleRate*) override { return reached = 13, ASE_OK; }
    ASIOError setSampleRate(ASIOSampleRate) override { return reached = 14, ASE_OK; }
    ASIOError getClockSources(ASIOClockSource*, LONG*) override { return reached = 15, ASE_OK; }
    ASIOError setClockSource(LONG) override { return reached = 16, ASE_OK; }
    ASIOError getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return reached = 17, ASE_OK; }
    ASIOError getChannelInfo(ASIOChannelInfo*) override { return reached = 18, ASE_OK; }
    ASIOError createBuffers(ASIOBufferInfo*, LONG, LONG, ASIOCallbacks*) override { return reached = 19, ASE_OK; }
    ASIOError disposeBuffers() override { return reached = 20, ASE_OK; }
    ASIOError controlPanel() override { return reached = 21, ASE_OK; }
    ASIOError future(LONG, void*) override { return reached = 22, ASE_OK; }
    ASIOError outputReady() override { return reached = 23, ASE_OK; }
};

// What a host does: read the vtable at the object pointer and call the entry of a slot. On x64
// every entry takes `this` as its first argument; the methods without arguments are enough to
// reach the slot, and the ones with arguments get harmless values of their types.
void* Slot(IASIO* object, int slot) { return (*reinterpret_cast<void***>(object))[slot]; }

void CallSlot(IASIO* object, int slot)
{
    void* entry = Slot(object, slot);
    LONG a = 0;
    LONG b = 0;
    switch (slot) {
    case 12:
    case 14:
        reinterpret_cast<ASIOError (*)(IASIO*, double)>(entry)(object, 48000.0);
        break;
    case 19:
        reinterpret_cast<ASIOError (*)(IASIO*, void*, LONG, LONG, void*)>(entry)(object, nullptr, 0, 0, nullptr);
        break;
    case 11:
        reinterpret_cast<ASIOError (*)(IASIO*, LONG*, LONG*, LONG*, LONG*)>(entry)(object, &a, &b, &a, &b);
        break;
    default:
        // Two pointer-sized arguments cover every other signature: unused ones are ignored.
        reinterpret_cast<LONG_PTR (*)(IASIO*, void*, void*)>(entry)(object, &a, &b);
        break;
    }
}

TEST(AsioInterface, EveryMethodSitsInItsPublishedSlot)
{
    SlotRecorder recorder;
    IASIO* object = &recorder;
    // Slots 0-23 in order; nothing follows the last one a host may call.
    for (int slot = 0; slot < 24; ++slot) {
        recorder.reached = -1;
        CallSlot(object, slot);
        EXPECT_EQ(recorder.reached, slot) << "vtable slot " << slot;
    }
}

}  // namespace
