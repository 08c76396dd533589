// Everything a host needs: the device CZEV with all its register and signal classes, the
// framework bases and the host interfaces.
#pragma once

#include "HWDeviceBase.h"
#include "HostInterfaces.h"
#include "ZEVUtilities.h"
#include "zev/zev_device.h"
