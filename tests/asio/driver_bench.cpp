#include "tests/asio/driver_bench.h"

#include "common/settings_store.h"
#include "tools/asiohost/installed_drivers.h"
#include "tools/r9sim/asio_driver_install.h"

namespace asiotest {

DriverRef::DriverRef()
{
    auto* object = new CQyxAsioDriver(nullptr);
    void* asio = nullptr;
    EXPECT_EQ(object->NonDelegatingQueryInterface(CLSID_QyxAsioDriver, &asio), S_OK);
    asio_ = static_cast<IASIO*>(asio);
}

void DriverRef::Release()
{
    if (asio_ != nullptr) {
        asio_->Release();
        asio_ = nullptr;
    }
}

std::string ErrorText(IASIO* driver)
{
    char text[124] = {};
    driver->getErrorMessage(text);
    return text;
}

TestHost::TestHost() { EXPECT_TRUE(Active()) << "another test host is active in this process"; }

void TestHost::BufferSwitch(LONG index, const ASIOTime* time)
{
    if (time != nullptr) {
        positions.push_back(time->timeInfo.samplePosition.lo);
    }
    halves.push_back(index);
    HostEngine::BufferSwitch(index, time);
    if (hangOnceMs != 0) {
        const DWORD hang = hangOnceMs;
        hangOnceMs = 0;
        Sleep(hang);
    }
}

void TestHost::SampleRateDidChange(ASIOSampleRate rate)
{
    otherMessages.push_back(-1);
    HostEngine::SampleRateDidChange(rate);
}

LONG TestHost::AsioMessage(LONG selector, LONG value, void* message, double* opt)
{
    if (selector == kAsioResetRequest) {
        resetThread = GetCurrentThreadId();
    } else if (selector != kAsioEngineVersion && selector != kAsioSupportsTimeInfo) {
        otherMessages.push_back(selector);
    }
    return HostEngine::AsioMessage(selector, value, message, opt);
}

namespace {

CLSID InstallAndFindTheDriver()
{
    EXPECT_EQ(r9sim::InstallAsioDriver(), S_OK);
    const std::vector<asiohost::InstalledDriver> drivers = asiohost::ListInstalledDrivers();
    const asiohost::InstalledDriver* driver = asiohost::FindDriver(drivers, "TAVO R9 ASIO Driver");
    EXPECT_TRUE(driver != nullptr && driver->usable);
    return driver != nullptr ? driver->clsid : CLSID{};
}

}  // namespace

InstalledAsioHost::InstalledAsioHost() : session(InstallAndFindTheDriver(), engine) {}

asiokerneltest::AsioBenchOptions AtRate(ULONG rate)
{
    asiokerneltest::AsioBenchOptions options;
    options.rate = rate;
    return options;
}

void UseDsdFormat(IASIO* driver)
{
    ASIOIoFormat format = {};
    format.FormatType = kASIODSDFormat;
    ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
}

DWORD RunProgram(const WCHAR* image)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(image, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

void WriteSetting(int identifier, DWORD value)
{
    CSettingsStore store;
    DWORD unused = 0;
    store.ReadSetting(kSettingBufferSizeIndex, &unused, sizeof unused);  // creates the key when absent
    EXPECT_EQ(store.WriteSetting(identifier, &value, sizeof value), kSettingsOk);
}

void WriteByteSetting(int identifier, BYTE value)
{
    CSettingsStore store;
    DWORD unused = 0;
    store.ReadSetting(kSettingBufferSizeIndex, &unused, sizeof unused);
    EXPECT_EQ(store.WriteSetting(identifier, &value, sizeof value), kSettingsOk);
}

DWORD ReadDwordSetting(int identifier)
{
    DWORD value = 0;
    EXPECT_EQ(CSettingsStore().ReadSetting(identifier, &value, sizeof value), kSettingsOk);
    return value;
}

}  // namespace asiotest
