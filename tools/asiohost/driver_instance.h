// One ASIO driver object as hosts create it: CoCreateInstance of the driver's class for in-process
// use, asking for the class ID itself as the interface (IASIO has no interface ID of its own). The
// calling thread must have entered a single-threaded apartment (ComApartment).
#pragma once

#include <string>

#include "asio/asio_interface.h"

namespace asiohost {

class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(result_)) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT Result() const { return result_; }

private:
    HRESULT result_;
};

// The text of a fixed-size field a driver fills (a name, a message), which it may fill to the last
// byte without a terminator.
std::string FieldText(const char* text, size_t capacity);

class DriverInstance {
public:
    DriverInstance() = default;
    ~DriverInstance() { Release(); }
    DriverInstance(const DriverInstance&) = delete;
    DriverInstance& operator=(const DriverInstance&) = delete;

    // Releases any driver held, then creates one; the COM result.
    HRESULT Create(const CLSID& clsid);
    // The last Release ends the driver (it stops and disposes of its buffers itself).
    void Release();

    IASIO* Get() const { return driver_; }
    IASIO* operator->() const { return driver_; }
    explicit operator bool() const { return driver_ != nullptr; }

    // getErrorMessage, without the line feed drivers end it with.
    std::string ErrorMessage() const;
    std::string DriverName() const;

private:
    IASIO* driver_ = nullptr;
};

}  // namespace asiohost
