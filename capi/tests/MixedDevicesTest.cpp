// C devices beside devices of the C++ runtime in one process: the library's one shared report
// holder would hand a C device's reports to whichever router was installed last, so each
// device must keep its own. One C device on two threads; a C++ host's throwing callback.
#include "DeviceRuntime.h"
#include "ZEV.h"
#include "ZevSimulator.h"
#include "rl_zev_c.h"

#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{
using TLines = std::vector<std::string>;

void ZEV_CALL Collect(void* a_pContext, const char*, int32_t, const char* a_pcFunction, const char* a_pcMessage)
{
    static_cast<TLines*>(a_pContext)->push_back(std::string(a_pcFunction) + ": " + a_pcMessage);
}

zev_device* MakeCDevice(TLines& a_rReports)
{
    zev_device* pDevice = nullptr;
    EXPECT_EQ(zev_create_simulated(&pDevice), ZEV_OK);
    EXPECT_EQ(zev_set_report_callbacks(pDevice, Collect, Collect, &a_rReports), ZEV_OK);
    return pDevice;
}

// A report of an unknown register, made by the runtime's device or by a C device.
void ReportThroughRuntime(rlzev::CDeviceRuntime& a_rRuntime, const std::string& a_strName)
{
    a_rRuntime.Run([&](CZEV& a_rDevice) {
        std::list<std::string> Values;
        std::string strError;
        return a_rDevice.ServiceRead(a_strName, "", Values, strError, 0, 1);
    });
}

std::string ReportThroughC(zev_device* a_pDevice, const char* a_pcName)
{
    EXPECT_EQ(zev_service_write(a_pDevice, a_pcName, "X", "1/d", 0), ZEV_NOT_FOUND);
    return std::string("CHWDeviceBase::ServiceWrite: Invalid register submitted: ") + a_pcName;
}
} // namespace

TEST(CAndRuntimeDevices, EachKeepsItsOwnReportsWhateverTheOtherDoes)
{
    TLines FirstReports, SecondReports, FirstExpected;
    std::ostringstream RuntimeReports;
    SSimulatedHost Host(RuntimeReports);
    zev_device* pFirst = MakeCDevice(FirstReports);
    {
        // A runtime device made after the C device installs its router; a second C device
        // comes and goes while it lives.
        rlzev::CDeviceRuntime Runtime(Host.Bus, Host.Utility, Host.Status);
        FirstExpected.push_back(ReportThroughC(pFirst, "FIRST"));
        ReportThroughRuntime(Runtime, "RUNTIME");
        zev_device* pSecond = MakeCDevice(SecondReports);
        const std::string strSecond = ReportThroughC(pSecond, "SECOND");
        EXPECT_EQ(zev_destroy(pSecond), ZEV_OK);
        ReportThroughRuntime(Runtime, "AFTER_SECOND");
        FirstExpected.push_back(ReportThroughC(pFirst, "FIRST_AGAIN"));
        EXPECT_EQ(SecondReports, TLines{strSecond});
        EXPECT_NE(RuntimeReports.str().find("Invalid register submitted: RUNTIME"), std::string::npos);
        EXPECT_NE(RuntimeReports.str().find("Invalid register submitted: AFTER_SECOND"), std::string::npos);
    }
    // The runtime's device is gone: the C device still hears its own, and only its own.
    FirstExpected.push_back(ReportThroughC(pFirst, "FIRST_LAST"));
    EXPECT_EQ(FirstReports, FirstExpected);
    EXPECT_EQ(RuntimeReports.str().find("FIRST"), std::string::npos);
    EXPECT_EQ(RuntimeReports.str().find("submitted: SECOND"), std::string::npos);
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

// A C++ host's log callback that throws, a standard exception or any other, fails the call
// that logged (that logging goes on is capi_callback_host's).
TEST(CHost, AThrowingLogCallbackFailsItsCall)
{
    zev_device* pDevice = nullptr;
    ASSERT_EQ(zev_create_simulated(&pDevice), ZEV_OK);
    zev_signal* pTrigSel = nullptr;
    ASSERT_EQ(zev_signal_lookup(pDevice, "AUD_CNTRL0", "TRIG_SEL", &pTrigSel), ZEV_OK);
    ASSERT_EQ(zev_logging(pDevice, "AUD_CNTRL0", "TRIG_SEL", 1), ZEV_OK);
    const std::pair<zev_log_fn, const char*> Throwing[] = {
        {[](void*, const char*) -> int32_t { throw std::runtime_error("the log is full"); },
         "host fault: the log callback threw: the log is full"},
        {[](void*, const char*) -> int32_t { throw 7; }, "host fault: the log callback threw"}};
    uint32_t udwValue = 1;
    for (const auto& rCase : Throwing)
    {
        ASSERT_EQ(zev_set_log_callback(pDevice, rCase.first, nullptr), ZEV_OK);
        EXPECT_EQ(zev_signal_set(pTrigSel, ++udwValue, ZEV_WRITE_IMMEDIATE, nullptr), ZEV_HOST_FAULT);
        char acError[128];
        ASSERT_EQ(zev_last_error(pDevice, acError, sizeof acError, nullptr), ZEV_OK);
        EXPECT_STREQ(acError, rCase.second);
    }
    EXPECT_EQ(zev_destroy(pDevice), ZEV_OK);
}
