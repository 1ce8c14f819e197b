#include "driver/trace_dump.h"

#include "driver/trace.h"

namespace {

constexpr ULONG kBytesPerEvent = 16;

}  // namespace

void TraceHexDump(const char* source, const char* what, const UCHAR* data, ULONG bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    for (ULONG offset = 0; offset < bytes; offset += kBytesPerEvent) {
        char line[3 * kBytesPerEvent + 1];
        ULONG used = 0;
        for (ULONG i = offset; i < bytes && i < offset + kBytesPerEvent; ++i) {
            line[used++] = kHex[data[i] >> 4];
            line[used++] = kHex[data[i] & 0xF];
            line[used++] = ' ';
        }
        line[used] = '\0';
        R9_TRACE("%s: %s +%u: %s\n", source, what, unsigned(offset), line);
    }
}
