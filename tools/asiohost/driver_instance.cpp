#include "tools/asiohost/driver_instance.h"

namespace asiohost {

namespace {

// Drivers write at most 32 bytes of name and 124 of message; a few more guard against those that
// forget the terminator at the end of a full buffer.
std::string Terminated(const char* text, size_t capacity)
{
    size_t length = 0;
    while (length < capacity && text[length] != 0) {
        ++length;
    }
    std::string result(text, length);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) {
        result.pop_back();
    }
    return result;
}

}  // namespace

HRESULT DriverInstance::Create(const CLSID& clsid)
{
    Release();
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&driver_));
}

void DriverInstance::Release()
{
    if (driver_ != nullptr) {
        driver_->Release();
        driver_ = nullptr;
    }
}

std::string DriverInstance::ErrorMessage() const
{
    char text[124 + 4] = {};
    driver_->getErrorMessage(text);
    return Terminated(text, 124);
}

std::string DriverInstance::DriverName() const
{
    char name[32 + 4] = {};
    driver_->getDriverName(name);
    return Terminated(name, 32);
}

}  // namespace asiohost
