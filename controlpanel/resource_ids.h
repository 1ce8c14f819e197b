// Identifiers of the control panel's resources and dialog controls, as tvr9audiocp.rc numbers
// them.
#pragma once

constexpr int kDialogTemplate = 102;
constexpr int kApplicationIcon = 128;
constexpr int kDeviceInUseMessage = 134;

constexpr int kDeviceListBox = 1000;
constexpr int kBufferTrackbar = 1001;
constexpr int kSettingGroup = 1002;
constexpr int kBufferSizeLabel = 1004;
constexpr int kBufferSizeReadout = 1005;
constexpr int kRateCombo = 1006;
constexpr int kPictureFrame = 1008;
constexpr int kInformationText = 1009;
constexpr int kRateLabel = 1010;
constexpr int kBitDepthCombo = 1014;
constexpr int kBitDepthLabel = 1015;
