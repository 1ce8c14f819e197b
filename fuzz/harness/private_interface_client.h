// A program on the simulated machine that talks to the driver's private interface as the input
// says, through the Win32 calls the ASIO driver and the device access library use: handles opened
// and closed, device controls of any code with buffers of any length and content, overlapped reads
// and writes of any length, cancellations, and time passing while the device streams. Requests
// that pend are kept with their buffers until they complete; at the end every handle is closed and
// every request must have completed (a request that never completes aborts the run).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/user.h"

namespace fuzz {

class PrivateInterfaceClient {
public:
    explicit PrivateInterfaceClient(std::u16string controlPath) : controlPath_(std::move(controlPath)) {}
    ~PrivateInterfaceClient();
    PrivateInterfaceClient(const PrivateInterfaceClient&) = delete;
    PrivateInterfaceClient& operator=(const PrivateInterfaceClient&) = delete;

    // Runs one step the input chooses; false once the input is used up.
    bool Step(FuzzedDataProvider& input);
    // Closes every handle and waits for every request.
    void Finish();

private:
    // A request's buffers stay put until it completes: the driver may write into them until then.
    struct Request {
        HANDLE handle = INVALID_HANDLE_VALUE;
        OVERLAPPED overlapped = {};
        std::vector<UCHAR> in;
        std::vector<UCHAR> out;
    };

    HANDLE PickHandle(FuzzedDataProvider& input);
    void Open(FuzzedDataProvider& input);
    void Close(FuzzedDataProvider& input);
    void Control(FuzzedDataProvider& input);
    void Transfer(FuzzedDataProvider& input, bool read);
    void StartStream(FuzzedDataProvider& input);
    void Issue(HANDLE handle, DWORD code, std::vector<UCHAR> in, DWORD outLength);
    void Keep(std::unique_ptr<Request> request, BOOL done);
    bool Reaped(Request& request, DWORD waitMs);
    void Reap(DWORD waitMs);

    std::u16string controlPath_;
    std::vector<HANDLE> handles_;
    std::vector<std::unique_ptr<Request>> pending_;
};

}  // namespace fuzz
