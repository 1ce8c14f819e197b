// The control panel on a simulated machine: the R9's driver installed, R9 devices plugged into
// its USB ports, the control panel installed as a program with the resources of its script, and
// a running control panel driven as a user drives it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/user/processes.h"
#include "sim/user/window_inspection.h"

namespace paneltest {

extern const std::u16string kPanelImage;

// Makes `image` the control panel program of the current machine, with its resources.
void InstallControlPanel(const std::u16string& image = kPanelImage);

// Lets the simulated machine run until every thread waits again: the control panel has handled
// the input and messages it had.
void Settle();

// A machine with the R9's driver installed, R9 devices plugged in on request, and a user's
// process (the shell) for the test thread. Without devices nothing is plugged.
class PanelMachine {
public:
    PanelMachine();
    ~PanelMachine();

    sim::devices::R9Device& PlugR9(const std::u16string& serialNumber,
                                   const std::function<void(sim::devices::R9Device&)>& beforePlug = nullptr);
    void UnplugR9(const std::u16string& serialNumber);
    // The device instance ID of a plugged R9, as the settings name it.
    std::u16string InstanceId(const std::u16string& serialNumber) const;
    // What an installation names the device (its device description).
    void SetDescription(const std::u16string& serialNumber, const std::u16string& description);
    // A REG_DWORD of the device's hardware key ("Device Parameters"); false when absent.
    bool DeviceSetting(const std::u16string& serialNumber, const std::u16string& name, DWORD& value) const;

private:
    struct Plugged {
        sim::usb::BusDevice* device;
        sim::pnp::DeviceNode* node;
    };
    sim::Machine machine_;
    sim::usb::HostController usb_;
    std::unique_ptr<sim::user::ProcessScope> shell_;
    std::map<std::u16string, Plugged> devices_;
    std::vector<std::u16string> order_;
};

// A control panel started as the user starts it; closed (as with the close box) at the end.
class PanelProcess {
public:
    explicit PanelProcess(const std::u16string& image = kPanelImage);
    ~PanelProcess();
    PanelProcess(const PanelProcess&) = delete;
    PanelProcess& operator=(const PanelProcess&) = delete;

    HWND Window() const { return window_; }
    HWND Item(int id) const { return GetDlgItem(window_, id); }
    DWORD ProcessId() const { return processId_; }
    // Closes the dialog and waits for the program to end; its exit code.
    DWORD Close();
    // Waits for the program to end by itself (without a window); false when it runs on.
    bool WaitForExit(DWORD milliseconds);

    std::u16string Text(int id) const;
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool Visible(int id) const { return IsWindowVisible(Item(id)) != FALSE; }

    std::vector<std::u16string> ListItems() const;
    int ListSelection() const;
    // The list items as last drawn, and which of them were drawn bold (weight 900).
    std::vector<sim::user::DrawnText> DrawnListItems() const;
    std::vector<int> BoldItems() const;

    std::vector<std::u16string> ComboEntries() const;
    int ComboSelection() const;

    LONG TrackbarMinimum() const;
    LONG TrackbarMaximum() const;
    LONG TrackbarPosition() const;

    void ClickDevice(int index);
    void ChooseRate(int entry);
    void DragTrackbarTo(int position);

private:
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    HWND window_ = nullptr;
};

// The control panel window (by its title) of a process; null when it has none.
HWND FindPanelWindow(DWORD processId);

// Per-user settings as the ASIO driver and the control panel keep them.
void StoreDword(int identifier, DWORD value);
bool ReadDword(int identifier, DWORD& value);
void StoreSelected(const std::u16string& instanceId);
std::u16string ReadSelected();

// A stand-in for an ASIO host that streams: the named streaming event, set.
class StreamingEvent {
public:
    StreamingEvent();
    ~StreamingEvent();

private:
    HANDLE event_;
};

}  // namespace paneltest
