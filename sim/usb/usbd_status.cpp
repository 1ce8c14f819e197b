#include "sim/usb/usbd_status.h"

namespace sim::usb {

NTSTATUS NtStatusFromUsbd(USBD_STATUS status)
{
    if (USBD_SUCCESS(status)) {
        return STATUS_SUCCESS;
    }
    switch (status) {
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_ERROR_BUSY:
        return STATUS_DEVICE_BUSY;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return kStatusDeviceNotConnected;
    case USBD_STATUS_NOT_SUPPORTED:
        return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_TIMEOUT:
        return STATUS_IO_TIMEOUT;
    case USBD_STATUS_BUFFER_TOO_SMALL:
        return STATUS_BUFFER_TOO_SMALL;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace sim::usb
