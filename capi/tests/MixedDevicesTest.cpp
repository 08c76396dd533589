// C devices and devices of the C++ runtime in one process: the library's one shared report
// holder would hand a C device's reports to whichever router was installed last. Where
// rl_zev_c has a library and a holder of its own, each device keeps its own reports,
// whichever of them is made or destroyed. And one C device on two threads at once, and a
// C++ host's log callback that throws.
#include "DeviceRuntime.h"
#include "ZEV.h"
#include "ZevSimulator.h"
#include "rl_zev_c.h"

#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
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
    EXPECT_EQ(zev_service_write(a_pDevice, a_pcName, "X", "1/d", 0), ZEV_NOT_FOUND);
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

// A typed set and get on one thread, the text service on the same signal on another: every
// call is whole (the service read's temporary lock state never meets the typed set, which
// would keep the application's value from changing).
TEST(CDeviceThreads, TypedAndByNameCallsOnOneDeviceAreSerialised)
{
    zev_device* pDevice = nullptr;
    ASSERT_EQ(zev_create_simulated(&pDevice), ZEV_OK);
    ASSERT_EQ(zev_set_to_default(pDevice), ZEV_OK);
    zev_signal* pTrigSel = nullptr;
    ASSERT_EQ(zev_signal_lookup(pDevice, "AUD_CNTRL0", "TRIG_SEL", &pTrigSel), ZEV_OK);
    const int kRounds = 100000;
    int iTypedWrong = 0, iByNameWrong = 0;
    std::atomic<bool> bStarted{false}, bDone{false};
    std::thread ByName([&] {
        char acText[64];
        bStarted = true;
        for (int i = 0; i < kRounds; ++i)
            if (zev_service_read(pDevice, "AUD_CNTRL0", "TRIG_SEL", 0, 1, acText, sizeof acText, nullptr,
                                 nullptr) != ZEV_OK)
                ++iByNameWrong;
        bDone = true;
    });
    while (!bStarted)
        std::this_thread::yield();
    for (int i = 0; i < kRounds || !bDone; ++i)  // as long as the other thread works
    {
        const uint32_t udwValue = static_cast<uint32_t>(i) & 7u;
        uint32_t udwBack = 99;
        int32_t iWritten = 0;
        if (zev_signal_set(pTrigSel, udwValue, ZEV_WRITE_IMMEDIATE, &iWritten) != ZEV_OK || iWritten != 1 ||
            zev_signal_get(pTrigSel, 0, &udwBack) != ZEV_OK || udwBack != udwValue)
            ++iTypedWrong;
    }
    ByName.join();
    EXPECT_EQ(iTypedWrong, 0);
    EXPECT_EQ(iByNameWrong, 0);
    EXPECT_EQ(zev_destroy(pDevice), ZEV_OK);
}

namespace
{
int32_t ZEV_CALL ThrowingLog(void*, const char*)
{
    throw std::runtime_error("the log is full");
}

int32_t ZEV_CALL CollectLog(void* a_pContext, const char* a_pcLine)
{
    static_cast<std::vector<std::string>*>(a_pContext)->push_back(a_pcLine);
    return 0;
}
} // namespace

// The exception fails the call that logged, and logging goes on (the log stream stays good).
TEST(CHost, AThrowingLogCallbackFailsItsCallOnly)
{
    zev_device* pDevice = nullptr;
    ASSERT_EQ(zev_create_simulated(&pDevice), ZEV_OK);
    zev_signal* pTrigSel = nullptr;
    ASSERT_EQ(zev_signal_lookup(pDevice, "AUD_CNTRL0", "TRIG_SEL", &pTrigSel), ZEV_OK);
    ASSERT_EQ(zev_logging(pDevice, "AUD_CNTRL0", "TRIG_SEL", 1), ZEV_OK);
    ASSERT_EQ(zev_set_log_callback(pDevice, ThrowingLog, nullptr), ZEV_OK);
    EXPECT_EQ(zev_signal_set(pTrigSel, 1, ZEV_WRITE_IMMEDIATE, nullptr), ZEV_HOST_FAULT);
    char acError[128];
    ASSERT_EQ(zev_last_error(pDevice, acError, sizeof acError, nullptr), ZEV_OK);
    EXPECT_STREQ(acError, "host fault: the log callback threw: the log is full");
    std::vector<std::string> Lines;
    ASSERT_EQ(zev_set_log_callback(pDevice, CollectLog, &Lines), ZEV_OK);
    EXPECT_EQ(zev_signal_set(pTrigSel, 2, ZEV_WRITE_IMMEDIATE, nullptr), ZEV_OK);
    EXPECT_EQ(Lines, std::vector<std::string>{
                         "Register: AUD_CNTRL0 Signal: TRIG_SEL Changed from value: MARKER_SIG_1 to value: 2"});
    EXPECT_EQ(zev_destroy(pDevice), ZEV_OK);
}
