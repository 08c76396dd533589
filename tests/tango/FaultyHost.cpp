// A host serving its own device through Tango, whose bus fails every read: what a lab's
// receiver does when its bus link is gone.
#include "DeviceRuntime.h"
#include "ZEV.h"
#include "ZevSimulator.h"
#include "ZevTango.h"

#include <iostream>

int main(int argc, char** argv)
{
    SSimulatedHost Host(std::cerr);
    rlzev::CDeviceRuntime Runtime(Host.Bus, Host.Utility, Host.Status);
    Runtime.Run([](CZEV& a_rDevice) { a_rDevice.SetToDefault(); });
    Host.Bus.m_iThrowOnRead = -1;
    return rlzev::ServeTango(Runtime, argc, argv);
}
