// A handle on the driver's private interface, held the way the driver's user-mode parts hold one:
// opened by the file name "\asio" on the device, and at the end of its scope cleaned up and closed
// as when its last user handle goes (before the bench unplugs the device).
#pragma once

#include "tests/adapter/adapter_bench.h"

namespace adaptertest {

// The interface's control codes: buffered, any access, on FILE_DEVICE_UNKNOWN.
namespace code {
constexpr ULONG kRateRange = 0x222000;
constexpr ULONG kRateFormats = 0x222004;
constexpr ULONG kRate = 0x222008;
constexpr ULONG kSetRate = 0x22200C;
constexpr ULONG kDsdSupport = 0x222010;
constexpr ULONG kClaim = 0x222018;
constexpr ULONG kOpenStream = 0x22201C;
constexpr ULONG kStartStream = 0x222020;
constexpr ULONG kStopStream = 0x222024;
constexpr ULONG kCloseStream = 0x222028;
constexpr ULONG kRelease = 0x22202C;
constexpr ULONG kCaptureLength = 0x222030;
constexpr ULONG kStoredCaptureLength = 0x222034;
constexpr ULONG kStoreCaptureLength = 0x222038;
static_assert(kRateRange == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(kStoreCaptureLength == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80E, METHOD_BUFFERED, FILE_ANY_ACCESS));
}  // namespace code

class AsioClient {
public:
    explicit AsioClient(AdapterBench& bench, const char16_t* name = u"\\asio") : bench_(bench)
    {
        openStatus_ = bench_.Open(name, file_);
    }
    ~AsioClient()
    {
        if (NT_SUCCESS(openStatus_) && !closed_) {
            Cleanup();
            EXPECT_EQ(Close(), STATUS_SUCCESS);
        }
    }
    AsioClient(const AsioClient&) = delete;
    AsioClient& operator=(const AsioClient&) = delete;

    NTSTATUS OpenStatus() const { return openStatus_; }
    FILE_OBJECT& File() { return file_; }

    // Input from and output into `buffer`; `bytes` is the byte count returned.
    NTSTATUS Control(ULONG controlCode, ULONG inLength = 0, ULONG outLength = 0)
    {
        bytes = 0;
        return bench_.Control(file_, controlCode, buffer, inLength, outLength, &bytes);
    }
    NTSTATUS Control(ULONG controlCode, ULONG inLength, ULONG outLength, ULONG input)
    {
        buffer[0] = input;
        return Control(controlCode, inLength, outLength);
    }
    NTSTATUS Claim() { return Control(code::kClaim); }
    NTSTATUS Send(UCHAR major) { return bench_.Send(major, file_); }
    NTSTATUS Cleanup() { return Send(IRP_MJ_CLEANUP); }
    NTSTATUS Close()
    {
        closed_ = true;
        return Send(IRP_MJ_CLOSE);
    }

    ULONG buffer[8] = {};
    ULONG_PTR bytes = 0;

private:
    AdapterBench& bench_;
    FILE_OBJECT file_{};
    NTSTATUS openStatus_;
    bool closed_ = false;
};

}  // namespace adaptertest
