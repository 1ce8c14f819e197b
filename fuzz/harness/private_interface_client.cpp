#include "fuzz/harness/private_interface_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

namespace {

// The private interface's codes, so that most requests reach a handler; the input may give any
// other code, of any transfer method, too.
constexpr DWORD kCodes[] = {0x222000, 0x222004, 0x222008, 0x22200C, 0x222010, 0x222018, 0x22201C,
                            0x222020, 0x222024, 0x222028, 0x22202C, 0x222030, 0x222034, 0x222038};
constexpr DWORD kClaim = 0x222018;
constexpr DWORD kOpenStream = 0x22201C;
constexpr DWORD kStartStream = 0x222020;
constexpr size_t kMostHandles = 4;
constexpr size_t kMostPending = 16;
constexpr DWORD kLongestBuffer = 8192;
// The names a create may carry after the device path: the private interface's, the same in other
// case, and names of neither kind (PortCls's to refuse).
const char16_t* const kNames[] = {u"\\asio", u"\\ASIO", u"\\asio\\", u"", u"\\wave", u"\\asi"};
// A request still pending this long after every handle closed never completes.
constexpr DWORD kCompletionTimeoutMs = 2000;

enum Op : uint8_t { kOpen, kClose, kControl, kRead, kWrite, kCancel, kWait, kStreamStart, kOps };

}  // namespace

PrivateInterfaceClient::~PrivateInterfaceClient() { Finish(); }

bool PrivateInterfaceClient::Step(FuzzedDataProvider& input)
{
    if (input.remaining_bytes() == 0) {
        return false;
    }
    switch (input.ConsumeIntegral<uint8_t>() % kOps) {
    case kOpen:
        Open(input);
        break;
    case kClose:
        Close(input);
        break;
    case kControl:
        Control(input);
        break;
    case kRead:
        Transfer(input, true);
        break;
    case kWrite:
        Transfer(input, false);
        break;
    case kCancel:
        CancelIo(PickHandle(input));
        break;
    case kWait:
        Reap(input.ConsumeIntegralInRange<DWORD>(0, 30));
        break;
    case kStreamStart:
        StartStream(input);
        break;
    }
    Reap(0);
    return true;
}

HANDLE PrivateInterfaceClient::PickHandle(FuzzedDataProvider& input)
{
    if (handles_.empty()) {
        return INVALID_HANDLE_VALUE;
    }
    return handles_[input.ConsumeIntegralInRange<size_t>(0, handles_.size() - 1)];
}

void PrivateInterfaceClient::Open(FuzzedDataProvider& input)
{
    if (handles_.size() == kMostHandles) {
        return;
    }
    std::u16string path = controlPath_;
    const size_t cut = path.rfind(u'\\');
    if (cut != std::u16string::npos && input.ConsumeBool()) {
        path = path.substr(0, cut) + input.PickValueInArray(kNames);
    }
    const HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        handles_.push_back(handle);
    }
}

void PrivateInterfaceClient::Close(FuzzedDataProvider& input)
{
    if (handles_.empty()) {
        return;
    }
    const size_t index = input.ConsumeIntegralInRange<size_t>(0, handles_.size() - 1);
    CloseHandle(handles_[index]);
    handles_.erase(handles_.begin() + long(index));
}

void PrivateInterfaceClient::Control(FuzzedDataProvider& input)
{
    const HANDLE handle = PickHandle(input);
    const DWORD code = input.ConsumeBool() ? input.PickValueInArray(kCodes) : input.ConsumeIntegral<DWORD>();
    const DWORD inLength = input.ConsumeBool() ? input.ConsumeIntegralInRange<DWORD>(0, 24)
                                               : input.ConsumeIntegralInRange<DWORD>(0, kLongestBuffer);
    const DWORD outLength = input.ConsumeBool() ? input.ConsumeIntegralInRange<DWORD>(0, 24)
                                                : input.ConsumeIntegralInRange<DWORD>(0, kLongestBuffer);
    std::vector<UCHAR> in = input.ConsumeBytes<UCHAR>(inLength);
    in.resize(inLength);
    Issue(handle, code, std::move(in), outLength);
}

void PrivateInterfaceClient::Issue(HANDLE handle, DWORD code, std::vector<UCHAR> in, DWORD outLength)
{
    auto request = std::make_unique<Request>();
    request->handle = handle;
    request->in = std::move(in);
    request->out.resize(outLength);
    request->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const BOOL done = DeviceIoControl(handle, code, request->in.empty() ? nullptr : request->in.data(),
                                      DWORD(request->in.size()), request->out.empty() ? nullptr : request->out.data(),
                                      outLength, nullptr, &request->overlapped);
    Keep(std::move(request), done);
}

void PrivateInterfaceClient::Transfer(FuzzedDataProvider& input, bool read)
{
    if (pending_.size() == kMostPending) {
        return;
    }
    auto request = std::make_unique<Request>();
    request->handle = PickHandle(input);
    const DWORD length = input.ConsumeBool() ? 256 * 4 * input.ConsumeIntegralInRange<DWORD>(1, 4)
                                             : input.ConsumeIntegralInRange<DWORD>(0, kLongestBuffer);
    request->out = input.ConsumeBytes<UCHAR>(length);
    request->out.resize(length);
    request->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UCHAR* buffer = request->out.empty() ? nullptr : request->out.data();
    const BOOL done = read ? ReadFile(request->handle, buffer, length, nullptr, &request->overlapped)
                           : WriteFile(request->handle, buffer, length, nullptr, &request->overlapped);
    Keep(std::move(request), done);
}

// The ASIO driver's way into streaming, on one handle: claim, open with the input's record, start.
void PrivateInterfaceClient::StartStream(FuzzedDataProvider& input)
{
    const HANDLE handle = PickHandle(input);
    Issue(handle, kClaim, {}, 0);
    UCHAR record[18] = {};
    const ULONG fields[4] = {input.ConsumeIntegralInRange<ULONG>(0, 2048), input.ConsumeIntegralInRange<ULONG>(0, 2),
                             input.ConsumeIntegralInRange<ULONG>(0, 2), input.ConsumeIntegralInRange<ULONG>(0, 120)};
    const USHORT mode = input.ConsumeIntegralInRange<USHORT>(0, 2);
    std::memcpy(record, fields, sizeof fields);
    std::memcpy(record + sizeof fields, &mode, sizeof mode);
    Issue(handle, kOpenStream, std::vector<UCHAR>(record, record + sizeof record), 0);
    Issue(handle, kStartStream, {}, 0);
}

void PrivateInterfaceClient::Keep(std::unique_ptr<Request> request, BOOL done)
{
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        pending_.push_back(std::move(request));
        return;
    }
    CloseHandle(request->overlapped.hEvent);
}

bool PrivateInterfaceClient::Reaped(Request& request, DWORD waitMs)
{
    if (WaitForSingleObject(request.overlapped.hEvent, waitMs) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD bytes = 0;
    GetOverlappedResult(request.handle, &request.overlapped, &bytes, FALSE);
    if (bytes > request.out.size()) {
        std::fprintf(stderr, "a request returned %u bytes into a buffer of %zu\n", unsigned(bytes), request.out.size());
        std::abort();
    }
    CloseHandle(request.overlapped.hEvent);
    return true;
}

// Lets `waitMs` of time pass (the device streams meanwhile) and forgets the requests that completed.
void PrivateInterfaceClient::Reap(DWORD waitMs)
{
    if (waitMs != 0) {
        Sleep(waitMs);
    }
    for (size_t i = 0; i < pending_.size();) {
        if (Reaped(*pending_[i], 0)) {
            pending_.erase(pending_.begin() + long(i));
        } else {
            ++i;
        }
    }
}

void PrivateInterfaceClient::Finish()
{
    for (HANDLE handle : handles_) {
        CloseHandle(handle);
    }
    handles_.clear();
    for (const auto& request : pending_) {
        if (!Reaped(*request, kCompletionTimeoutMs)) {
            std::fprintf(stderr, "a request was still pending %u ms after its handle closed\n",
                         unsigned(kCompletionTimeoutMs));
            std::abort();
        }
    }
    pending_.clear();
}

}  // namespace fuzz
