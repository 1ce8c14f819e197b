#include "fuzz/harness/audio_class_workout.h"

#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/audio_terminal.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/feature_unit.h"
#include "driver/usbaudio/usb_audio_cl.h"
#include "fuzz/harness/format_bounds.h"

namespace fuzz {

namespace {

using namespace usbaudio;

// Transfers are not started here; the check passes the status on.
class WorkoutDriver : public CUSBAudioCL {
public:
    WorkoutDriver() : CUSBAudioCL(NonPagedPoolNx) {}
    NTSTATUS CheckTransfer(NTSTATUS status, PURB, TransferContext*) override { return status; }
};

constexpr USHORT kPcm = 1;
constexpr ULONG kNoLimit = 0xFFFFFFFF;
// Rates the audio stack and the private interface ask about, and ones that no table knows.
constexpr ULONG kRates[] = {44100, 48000, 96000, 192000, 22050, 12345};
// More alternates than any real interface has are not worth a selection each.
constexpr ULONG kAlternatesSelected = 8;

void AskAboutClocks(CUSBAudioCL& driver)
{
    for (CUSBAudioEntity* entity = driver.GetModel().GetFirstEntity(); entity != nullptr;
         entity = entity->GetNext()) {
        if (CUSBAudioClockEntity* clock = CUSBAudioClockEntity::FromEntity(entity)) {
            ULONG low = 0;
            ULONG high = 0;
            ULONG rate = 0;
            clock->GetSampleRateRange(&low, &high, 0, kNoLimit);
            clock->GetSampleRate(&rate);
            clock->IsValid();
        } else if (CUSBAudioTerminal* terminal = CUSBAudioTerminal::FromEntity(entity)) {
            terminal->IsConnected();
        } else if (entity->GetSubtype() == kAcFeatureUnit) {
            auto* unit = static_cast<CUSBAudioFeatureUnit*>(entity);
            SHORT minimum = 0;
            SHORT maximum = 0;
            SHORT resolution = 0;
            SHORT level = 0;
            UCHAR mute = 0;
            driver.GetVolumeRange(unit, 0, &minimum, &maximum, &resolution);
            driver.GetVolume(unit, 1, &level);
            driver.SetVolume(unit, 1, minimum);
            driver.GetMute(unit, 0, &mute);
            driver.SetMute(unit, 0, 1);
        }
    }
}

// The stream engine's selections: the alternate's own format at `rate`, in the form the engine
// would use and in the other one, then back to zero bandwidth.
void SelectEachAlternate(CUSBAudioCL& driver, ULONG direction, ULONG rate)
{
    StreamingInterface* record = driver.GetStreamingInterface(direction);
    const bool v20 = driver.IsAudioClass20();
    for (ULONG alternate = 1; alternate < record->AlternateCount && alternate <= kAlternatesSelected; ++alternate) {
        const AlternateSetting& setting = record->Alternates[alternate];
        const ULONG channels = GetChannelCount(setting, v20);
        const ULONG bits = GetBitResolution(setting, v20);
        ULONG channelsOut = 0;
        ULONG bitsOut = 0;
        ULONG nominal = 0;
        ULONG maximum = 0;
        LONG below = 0;
        LONG above = 0;
        if (!NT_SUCCESS(driver.CheckStreamFormat(direction, kPcm, channels, bits, rate, &channelsOut, &bitsOut))) {
            continue;
        }
        driver.SelectStreamingFormat(direction, kPcm, channels, bits, rate, 8, &channelsOut, &bitsOut, &maximum);
        driver.GetNominalFeedback(direction);
        driver.IsClockStable(direction);
        driver.PacketsToBusIntervals(direction, 8);
        if (direction == kDirectionOut) {
            driver.GetRenderBytes(8, driver.GetNominalFeedback(direction));
            driver.GetFeedbackBufferSize();
        }
        driver.SelectStreamingFormat(direction, kPcm, channels, bits, rate, 1, &channelsOut, &bitsOut, &nominal,
                                     &below, &above, &maximum);
        driver.SelectStreamingFormat(direction, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr);
    }
}

void AskAboutDirection(CUSBAudioCL& driver, ULONG direction)
{
    if (driver.GetStreamingInterface(direction) == nullptr) {
        return;
    }
    FormatBounds capabilities;
    driver.GetFormatCapabilities(direction, &capabilities.channels, &capabilities.minBits, &capabilities.maxBits,
                                 &capabilities.minRate, &capabilities.maxRate);
    for (ULONG rate : kRates) {
        ULONG channels = 0;
        ULONG bits = 0;
        driver.GetStreamFormat(direction, kPcm, rate, &channels, &bits);
    }
    SelectEachAlternate(driver, direction, driver.GetCurrentRate());
    FormatBounds wanted;
    driver.MatchDataRange(direction, &wanted.channels, &wanted.minBits, &wanted.maxBits, &wanted.minRate,
                          &wanted.maxRate);
}

}  // namespace

void WorkOutAudioClass(sim::usb::BusDevice& device)
{
    auto* driver = new (NonPagedPoolNx, kDefaultPoolTag) WorkoutDriver();
    if (driver == nullptr) {
        return;
    }
    if (NT_SUCCESS(driver->Init(device.Pdo(), 16)) && NT_SUCCESS(driver->ConfigureDevice())) {
        for (ULONG rate : kRates) {
            if (NT_SUCCESS(driver->IsSampleRateSupported(rate))) {
                driver->SetSampleRate(rate);
                break;
            }
        }
        AskAboutClocks(*driver);
        driver->SetStreamingMode(0);
        driver->RestoreStreamingMode();
        AskAboutDirection(*driver, kDirectionOut);
        AskAboutDirection(*driver, kDirectionIn);
        PCFILTER_DESCRIPTOR filter = {};
        if (NT_SUCCESS(driver->BuildFilter(&filter))) {
            driver->FreeFilter(&filter);
        }
    }
    // A completion routine may still be returning its IRP after the last request reported.
    KeFlushQueuedDpcs();
    delete driver;
}

}  // namespace fuzz
