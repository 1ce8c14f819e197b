#include "tools/asiohost/driver_instance.h"

namespace asiohost {

std::string FieldText(const char* text, size_t capacity)
{
    size_t length = 0;
    while (length < capacity && text[length] != 0) {
        ++length;
    }
    return std::string(text, length);
}

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

// Drivers write at most 124 bytes of message and 32 of name; the buffers are a little larger for
// those that write a terminator beyond that.
std::string DriverInstance::ErrorMessage() const
{
    char text[124 + 4] = {};
    driver_->getErrorMessage(text);
    std::string message = FieldText(text, 124);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}

std::string DriverInstance::DriverName() const
{
    char name[32 + 4] = {};
    driver_->getDriverName(name);
    return FieldText(name, 32);
}

}  // namespace asiohost
