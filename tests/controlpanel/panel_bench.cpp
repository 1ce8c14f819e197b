#include "tests/controlpanel/panel_bench.h"

#include <algorithm>
#include <cstring>

#include "common/change_events.h"
#include "common/settings_store.h"
#include "controlpanel/control_panel_app.h"
#include "controlpanel/resource_ids.h"
#include "sim/pnp/device_tree.h"
#include "sim/pnp/driver_store.h"
#include "sim/registry/machine_registry.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
extern const char kPanelResourceScript[];

namespace paneltest {

const std::u16string kPanelImage = u"C:\\Program Files\\TAVO\\R9 Driver\\tvr9audiocp.exe";

namespace {

const std::u16string kR9HardwareId = u"USB\\VID_3A5C&PID_0009";
const WCHAR kTitle[] = W("TAVO R9 Control Panel");

int PanelMain(int, WCHAR**) { return CAsioControlPanelApp(GetModuleHandleW(nullptr)).Run(); }

std::u16string ItemText(HWND control, UINT lengthMessage, UINT textMessage, WPARAM index)
{
    const LRESULT length = SendMessageW(control, lengthMessage, index, 0);
    if (length < 0) {
        return {};
    }
    std::u16string text(size_t(length) + 1, u'\0');
    SendMessageW(control, textMessage, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(size_t(length));
    return text;
}

}  // namespace

void InstallControlPanel(const std::u16string& image)
{
    sim::user::RegisterProgram(image, &PanelMain);
    sim::user::RegisterProgramResources(image, kPanelResourceScript);
}

void Settle() { Sleep(200); }

PanelMachine::PanelMachine()
{
    EXPECT_EQ(sim::pnp::InstallDriver({u"TVR9AUDIO", &DriverEntry, {kR9HardwareId}}), STATUS_SUCCESS);
    InstallControlPanel();
    shell_ = std::make_unique<sim::user::ProcessScope>(u"C:\\Windows\\explorer.exe");
}

PanelMachine::~PanelMachine()
{
    shell_.reset();
    while (!order_.empty()) {
        UnplugR9(order_.back());
    }
}

sim::devices::R9Device& PanelMachine::PlugR9(const std::u16string& serialNumber,
                                             const std::function<void(sim::devices::R9Device&)>& beforePlug)
{
    auto model = std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::HighSpeedUac2, serialNumber);
    sim::devices::R9Device& r9 = *model;
    if (beforePlug) {
        beforePlug(r9);
    }
    sim::pnp::PlugResult result = sim::pnp::PlugDevice(usb_, std::move(model));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    devices_[serialNumber] = {&result.device, result.node};
    order_.push_back(serialNumber);
    return r9;
}

void PanelMachine::UnplugR9(const std::u16string& serialNumber)
{
    auto found = devices_.find(serialNumber);
    ASSERT_NE(found, devices_.end());
    EXPECT_EQ(sim::pnp::UnplugDevice(usb_, *found->second.device), STATUS_SUCCESS);
    devices_.erase(found);
    order_.erase(std::find(order_.begin(), order_.end(), serialNumber));
}

std::u16string PanelMachine::InstanceId(const std::u16string& serialNumber) const
{
    return devices_.at(serialNumber).node->InstancePath();
}

void PanelMachine::SetDescription(const std::u16string& serialNumber, const std::u16string& description)
{
    sim::registry::MachineRegistry().SetString(devices_.at(serialNumber).node->EnumKeyPath(), u"DeviceDesc",
                                               description);
}

bool PanelMachine::DeviceSetting(const std::u16string& serialNumber, const std::u16string& name, DWORD& value) const
{
    sim::registry::Value stored;
    if (!sim::registry::MachineRegistry().GetValue(devices_.at(serialNumber).node->EnumKeyPath() + u"\\Device Parameters",
                                                   name, stored) ||
        stored.data.size() != sizeof value) {
        return false;
    }
    std::memcpy(&value, stored.data.data(), sizeof value);
    return true;
}

HWND FindPanelWindow(DWORD processId)
{
    struct Search {
        DWORD processId;
        HWND found;
    } search = {processId, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* wanted = reinterpret_cast<Search*>(parameter);
            WCHAR title[64] = {};
            DWORD owner = 0;
            GetWindowTextW(window, title, 64);
            GetWindowThreadProcessId(window, &owner);
            if (owner == wanted->processId && lstrcmpW(title, kTitle) == 0) {
                wanted->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

PanelProcess::PanelProcess(const std::u16string& image)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information = {};
    EXPECT_TRUE(CreateProcessW(image.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &information));
    CloseHandle(information.hThread);
    process_ = information.hProcess;
    processId_ = information.dwProcessId;
    for (int tries = 0; tries < 100 && window_ == nullptr; ++tries) {
        Sleep(10);
        window_ = FindPanelWindow(processId_);
        if (window_ != nullptr && !IsWindowVisible(window_)) {
            window_ = nullptr;  // still in WM_INITDIALOG
        }
    }
    Settle();
}

PanelProcess::~PanelProcess()
{
    if (process_ != nullptr) {
        Close();
    }
}

DWORD PanelProcess::Close()
{
    // A message box left open would keep the dialog from closing.
    while (sim::user::AnswerMessageBox(IDOK)) {
        Settle();
    }
    if (window_ != nullptr && IsWindow(window_)) {
        PostMessageW(window_, WM_CLOSE, 0, 0);
    }
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(WaitForExit(10000)) << "the control panel did not end";
    GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    process_ = nullptr;
    return code;
}

bool PanelProcess::WaitForExit(DWORD milliseconds) { return WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0; }

std::u16string PanelProcess::Text(int id) const
{
    WCHAR text[512] = {};
    GetWindowTextW(Item(id), text, 512);
    return text;
}

std::vector<std::u16string> PanelProcess::ListItems() const
{
    std::vector<std::u16string> items;
    const LRESULT count = SendMessageW(Item(kDeviceListBox), LB_GETCOUNT, 0, 0);
    for (LRESULT index = 0; index < count; ++index) {
        items.push_back(ItemText(Item(kDeviceListBox), LB_GETTEXTLEN, LB_GETTEXT, WPARAM(index)));
    }
    return items;
}

int PanelProcess::ListSelection() const { return int(SendMessageW(Item(kDeviceListBox), LB_GETCURSEL, 0, 0)); }

std::vector<sim::user::DrawnText> PanelProcess::DrawnListItems() const
{
    return sim::user::TextsDrawnIn(Item(kDeviceListBox));
}

std::vector<int> PanelProcess::BoldItems() const
{
    std::vector<int> bold;
    const std::vector<sim::user::DrawnText> drawn = DrawnListItems();
    for (size_t index = 0; index < drawn.size(); ++index) {
        if (drawn[index].weight == FW_HEAVY) {
            bold.push_back(int(index));
        }
    }
    return bold;
}

std::vector<std::u16string> PanelProcess::ComboEntries() const
{
    std::vector<std::u16string> entries;
    const LRESULT count = SendMessageW(Item(kRateCombo), CB_GETCOUNT, 0, 0);
    for (LRESULT index = 0; index < count; ++index) {
        entries.push_back(ItemText(Item(kRateCombo), CB_GETLBTEXTLEN, CB_GETLBTEXT, WPARAM(index)));
    }
    return entries;
}

int PanelProcess::ComboSelection() const { return int(SendMessageW(Item(kRateCombo), CB_GETCURSEL, 0, 0)); }

LONG PanelProcess::TrackbarMinimum() const { return LONG(SendMessageW(Item(kBufferTrackbar), TBM_GETRANGEMIN, 0, 0)); }

LONG PanelProcess::TrackbarMaximum() const { return LONG(SendMessageW(Item(kBufferTrackbar), TBM_GETRANGEMAX, 0, 0)); }

LONG PanelProcess::TrackbarPosition() const { return LONG(SendMessageW(Item(kBufferTrackbar), TBM_GETPOS, 0, 0)); }

void PanelProcess::ClickDevice(int index)
{
    sim::user::ClickListBoxItem(Item(kDeviceListBox), index);
    Settle();
}

void PanelProcess::ChooseRate(int entry)
{
    sim::user::ChooseComboBoxEntry(Item(kRateCombo), entry);
    Settle();
}

void PanelProcess::DragTrackbarTo(int position)
{
    sim::user::DragTrackbarThumb(Item(kBufferTrackbar), position);
    Settle();
}

// Writes a setting as its owner would, the key created with its defaults first when absent.
void StoreBytes(int identifier, const void* data, DWORD size)
{
    CSettingsStore store;
    DWORD unused = 0;
    store.ReadSetting(kSettingBufferSizeIndex, &unused, sizeof unused);
    EXPECT_EQ(store.WriteSetting(identifier, data, size), kSettingsOk);
}

void StoreDword(int identifier, DWORD value) { StoreBytes(identifier, &value, sizeof value); }

bool ReadDword(int identifier, DWORD& value) { return CSettingsStore().ReadSetting(identifier, &value, sizeof value) == kSettingsOk; }

void StoreSelected(const std::u16string& instanceId)
{
    StoreBytes(kSettingSelected, instanceId.c_str(), DWORD(instanceId.size() * sizeof(char16_t)));
}

std::u16string ReadSelected()
{
    WCHAR selected[65] = {};
    if (CSettingsStore().ReadSetting(kSettingSelected, selected, 128) != kSettingsOk) {
        return {};
    }
    return selected;
}

StreamingEvent::StreamingEvent() : event_(CreateEventW(nullptr, TRUE, TRUE, kStreamingEventName))
{
    SetEvent(event_);
}

// The host stops streaming: the event is reset, as the ASIO driver resets it.
StreamingEvent::~StreamingEvent()
{
    ResetEvent(event_);
    CloseHandle(event_);
}

}  // namespace paneltest
