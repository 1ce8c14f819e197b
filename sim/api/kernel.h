// What kernel-mode product code sees of Windows on the host build.
#pragma once

#include "sim/api/base_types.h"
#include "sim/api/ntstatus.h"
#include "sim/api/kernel_rtl.h"
#include "sim/api/rtl_string.h"
#include "sim/api/kernel_dispatch.h"
#include "sim/api/kernel_pool.h"
#include "sim/api/kernel_objects.h"
#include "sim/api/kernel_io.h"
#include "sim/api/usb_types.h"
#include "sim/api/kernel_registry.h"
#include "sim/api/wave_format.h"
#include "sim/api/kernel_version.h"
#include "sim/api/ks.h"
#include "sim/api/ksmedia.h"
#include "sim/api/portcls.h"
