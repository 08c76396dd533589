// C devices and devices of the C++ runtime in one process: the library's one shared report
// holder would hand a C device's reports to whichever router was installed last. Where
// rl_zev_c has a library and a holder of its own, each device keeps its own reports,
// whichever of them is made or destroyed.
#include "DeviceRuntime.h"
#include "ZEV.h"
#include "ZevSimulator.h"
#include "rl_zev_c.h"

#include <gtest/gtest.h>

#include <list>
#include <sstream>
#include <string>
#include <vector>

namespace
{
void ZEV_CALL Collect(void* a_pContext, const char*, int32_t, const char* a_pcFunction, const char* a_pcMessage)
{
    static_cast<std::vector<std::string>*>(a_pContext)->push_back(std::string(a_pcFunction) + ": " + a_pcMessage);
}

zev_device* MakeCDevice(std::vector<std::string>& a_rReports)
{
    zev_device* pDevice = nullptr;
    EXPECT_EQ(zev_create_simulated(&pDevice), ZEV_OK);
    EXPECT_EQ(zev_set_report_callbacks(pDevice, Collect, Collect, &a_rReports), ZEV_OK);
    return pDevice;
}

// A report made through the library's shared holder, by the runtime's device.
void ReportThroughRuntime(rlzev::CDeviceRuntime& a_rRuntime, const std::string& a_strName)
{
    a_rRuntime.Run([&](CZEV& a_rDevice) {
        std::list<std::string> Values;
        std::string strError;
        return a_rDevice.ServiceRead(a_strName, "", Values, strError, 0, 1);
    });
}

void ReportThroughC(zev_device* a_pDevice, const char* a_pcName)
{
    EXPECT_EQ(zev_service_write(a_pDevice, a_pcName, "X", "1/d", 0), ZEV_REFUSED);
}

std::string Line(const char* a_pcName)
{
    return std::string("CHWDeviceBase::ServiceWrite: Invalid register submitted: ") + a_pcName;
}
} // namespace

TEST(CAndRuntimeDevices, EachKeepsItsOwnReportsWhateverTheOtherDoes)
{
    std::vector<std::string> FirstReports, SecondReports;
    std::ostringstream RuntimeReports;
    SSimulatedHost Host(RuntimeReports);
    zev_device* pFirst = MakeCDevice(FirstReports);
    {
        // A runtime device made after the C device installs its router.
        rlzev::CDeviceRuntime Runtime(Host.Bus, Host.Utility, Host.Status);
        ReportThroughC(pFirst, "FIRST");
        ReportThroughRuntime(Runtime, "RUNTIME");
        EXPECT_EQ(FirstReports, std::vector<std::string>{Line("FIRST")});
        EXPECT_NE(RuntimeReports.str().find("Invalid register submitted: RUNTIME"), std::string::npos);
        EXPECT_EQ(RuntimeReports.str().find("FIRST"), std::string::npos);

        // A C device made and destroyed while the runtime's lives.
        zev_device* pSecond = MakeCDevice(SecondReports);
        ReportThroughC(pSecond, "SECOND");
        EXPECT_EQ(zev_destroy(pSecond), ZEV_OK);
        ReportThroughRuntime(Runtime, "AFTER_SECOND");
        ReportThroughC(pFirst, "FIRST_AGAIN");
        EXPECT_EQ(SecondReports, std::vector<std::string>{Line("SECOND")});
        EXPECT_NE(RuntimeReports.str().find("Invalid register submitted: AFTER_SECOND"), std::string::npos);
    }
    // The runtime's device is gone: the C device still hears its own.
    ReportThroughC(pFirst, "FIRST_LAST");
    EXPECT_EQ(FirstReports, (std::vector<std::string>{Line("FIRST"), Line("FIRST_AGAIN"), Line("FIRST_LAST")}));
    EXPECT_EQ(RuntimeReports.str().find("FIRST"), std::string::npos);
    EXPECT_EQ(zev_destroy(pFirst), ZEV_OK);
}
