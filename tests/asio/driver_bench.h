// The ASIO driver on the simulated machine: the R9 in loopback with the kernel driver started
// (tests/asio_kernel/asio_bench.h), the host process with COM, and a driver object made as its
// class factory makes it. TestHost is the test ASIO host's engine answering the callbacks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "asio/asio_driver.h"
#include "tests/asio_kernel/asio_bench.h"
#include "tools/asiohost/host_engine.h"
#include "tools/asiohost/host_session.h"

namespace asiotest {

// One driver object, released at the end of the scope unless released before.
class DriverRef {
public:
    DriverRef();
    ~DriverRef() { Release(); }
    DriverRef(const DriverRef&) = delete;
    DriverRef& operator=(const DriverRef&) = delete;

    IASIO* operator->() const { return asio_; }
    IASIO* Get() const { return asio_; }
    void Release();

private:
    IASIO* asio_ = nullptr;
};

// The error text the driver gives the host.
std::string ErrorText(IASIO* driver);

// The test program's host: the test ASIO host's engine (tools/asiohost), which writes the
// frame-counter signal, checks the inputs and answers the driver's messages, with a record of
// what the tests look at on top. One host of a process is the active one: make one at a time.
class TestHost : public asiohost::HostEngine {
public:
    TestHost();

    // Milliseconds the next buffer switch takes before it returns (a host that hangs).
    DWORD hangOnceMs = 0;

    std::vector<LONG> halves;         // the half index of each switch
    std::vector<ULONG> positions;     // the time info's sample position (low word) at each
    std::vector<LONG> otherMessages;  // selectors the host was not expected to get
    DWORD resetThread = 0;            // the thread the latest reset request came on

    void BufferSwitch(LONG index, const ASIOTime* time) override;
    void SampleRateDidChange(ASIOSampleRate rate) override;
    LONG AsioMessage(LONG selector, LONG value, void* message, double* opt) override;
};

// The driver as a host program meets it: tvr9asio.dll installed, this thread in COM's
// single-threaded apartment, and the test ASIO host's session with the driver it finds under
// HKEY_LOCAL_MACHINE\SOFTWARE\ASIO. Needs the bench's host process.
struct InstalledAsioHost {
    InstalledAsioHost();

    asiohost::ComApartment apartment;
    TestHost engine;
    asiohost::HostSession session;
};

asiokerneltest::AsioBenchOptions AtRate(ULONG rate);
// Switches the driver to native DSD; the test fails when it refuses.
void UseDsdFormat(IASIO* driver);
// Lets simulated time pass, 10 ms at a time, until `done` holds or a second has gone.
template <class Done> void WaitUntil(Done done)
{
    for (int tries = 0; tries < 100 && !done(); ++tries) {
        Sleep(10);
    }
}

// Starts a registered program and waits for it; its exit code.
DWORD RunProgram(const WCHAR* image);

// Per-user settings as the control panel writes them.
void WriteSetting(int identifier, DWORD value);
void WriteByteSetting(int identifier, BYTE value);
DWORD ReadDwordSetting(int identifier);

}  // namespace asiotest
