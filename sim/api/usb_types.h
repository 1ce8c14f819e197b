// Everything the driver uses from the Windows USB driver interface headers (usb.h, usbdi.h,
// usb100.h, usb200.h, usbioctl.h, usbuser.h, usbbusif.h, usbdlib.h), for the host build.
#pragma once

#include "sim/api/usb_descriptors.h"
#include "sim/api/usb_urb.h"
#include "sim/api/usb_ioctl.h"
#include "sim/api/usb_busif.h"
#include "sim/api/usbdlib.h"
