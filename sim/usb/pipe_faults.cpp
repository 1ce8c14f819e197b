#include "sim/usb/pipe_faults.h"

namespace sim::usb {

void FaultQueue::Add(const PipeFault& fault)
{
    if (fault.count == 0) {
        return;
    }
    switch (fault.kind) {
    case PipeFault::Kind::PacketError:
    case PipeFault::Kind::ShortPacket:
        packetFaults_.push_back(fault);
        break;
    case PipeFault::Kind::Stall:
        stalls_ += fault.count;
        break;
    case PipeFault::Kind::LateCompletion:
        completionDelays_.push_back(fault);
        break;
    }
}

const PipeFault* FaultQueue::TakePacketFault()
{
    if (packetFaults_.empty()) {
        return nullptr;
    }
    taken_ = packetFaults_.front();
    if (--packetFaults_.front().count == 0) {
        packetFaults_.pop_front();
    }
    return &taken_;
}

bool FaultQueue::TakeStall()
{
    if (stalls_ == 0) {
        return false;
    }
    --stalls_;
    return true;
}

int64_t FaultQueue::TakeCompletionDelay()
{
    if (completionDelays_.empty()) {
        return 0;
    }
    const int64_t delay = completionDelays_.front().delayNs;
    if (--completionDelays_.front().count == 0) {
        completionDelays_.pop_front();
    }
    return delay;
}

}  // namespace sim::usb
