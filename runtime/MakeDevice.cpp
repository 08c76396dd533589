// The one unit of the runtime that knows the whole device: the rest works on its bases and
// compiles without the 441 register classes.
#include "DeviceRuntime.h"

#include "ZEV.h"

namespace rlzev
{
CZEV* MakeDevice(CHWAccess& a_rBus, CUtility_Interface& a_rUtility, CIStatusRegister& a_rStatus)
{
    return new CZEV(&a_rBus, &a_rUtility, &a_rStatus);
}

void DropDevice(CZEV* a_pDevice)
{
    delete a_pDevice;
}

CHWDeviceBase& BaseOf(CZEV& a_rDevice)
{
    return a_rDevice;
}
} // namespace rlzev
