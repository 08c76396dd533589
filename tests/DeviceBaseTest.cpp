// Device base: device-wide operations by name, and the process-wide utility holder shared by
// devices. (Defaults and the snapshot script in list order: the generated device's tests.)
#include "HostDoubles.h"
#include "TestRegisters.h"
#include "ZEVUtilities.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

using namespace ZEVTEST;
using Texts = std::list<std::string>;

TEST(DeviceBase, LockUnlockAndLoggingByName)
{
    SHost H;
    CTestDevice D(&H.Bus, &H.Utility, &H.Status);
    std::string strError;
    EXPECT_TRUE(D.Lock("ALL", "ALL", strError));
    EXPECT_FALSE(D.AUD_CNTRL0.MULT_HP.Set(1, CSignalBase::HW_WRITE_IMMEDIATE));
    EXPECT_TRUE(D.Unlock("all", "all", strError));
    EXPECT_TRUE(D.AUD_CNTRL0.MULT_HP.Set(1, CSignalBase::HW_WRITE_IMMEDIATE));

    EXPECT_FALSE(D.Lock("AUD_CNTRL0", "NOPE", strError));
    EXPECT_EQ(strError, "Invalid register submitted! : AUD_CNTRL0");
    EXPECT_FALSE(D.Unlock("All", "ALL", strError));
    EXPECT_EQ(strError, "Invalid register submitted! : All");
    // Stops at the first register without the signal, after serving the ones before it.
    EXPECT_FALSE(D.Lock("ALL", "MULT_HP", strError));
    EXPECT_EQ(strError, "Invalid register submitted! : ALL");
    EXPECT_FALSE(D.AUD_CNTRL0.MULT_HP.Set(2, CSignalBase::HW_WRITE_IMMEDIATE));
    EXPECT_TRUE(D.Unlock("AUD_CNTRL0", "MULT_HP", strError));
    D.LockAll();
    EXPECT_FALSE(D.AUD_CNTRL0.MULT_HP.Set(3, CSignalBase::HW_WRITE_IMMEDIATE));
    std::vector<unsigned> One{1};
    EXPECT_FALSE(D.ENT_H1.Set(One.data(), 0, 1, false)) << "memories lock as a whole";
    D.UnlockAll();
    EXPECT_TRUE(D.AUD_CNTRL0.MULT_HP.Set(3, CSignalBase::HW_WRITE_IMMEDIATE));
    EXPECT_TRUE(D.ENT_H1.Set(One.data(), 0, 1, false));

    std::ostringstream Log;
    EXPECT_TRUE(D.Logging("NOPE", "ALL", &Log, false));
    EXPECT_TRUE(D.Logging("PRESTAT", "NOPE", &Log, true)) << "an unknown signal changes nothing and is no failure";
    EXPECT_FALSE(D.Logging("ALL", "ALL", &Log, false));
    EXPECT_TRUE(D.Logging("ALL", "ALL", &Log, true));
    EXPECT_TRUE(D.Logging("PRESTAT", "B_MASK", &Log, true));
    EXPECT_FALSE(D.Logging("PRESTAT", "B_MASK", &Log, false));
}

TEST(DeviceBase, TextServiceByRegisterName)
{
    SHost H;
    CTestDevice D(&H.Bus, &H.Utility, &H.Status);
    std::string strError;
    EXPECT_FALSE(D.ServiceWrite("NOPE", "X", {"1/d"}, strError, 0));
    EXPECT_EQ(strError, "Invalid register submitted: NOPE");
    EXPECT_EQ(H.Log, CallLog{"ReportError HWDeviceBase | CHWDeviceBase::ServiceWrite | Invalid register submitted: NOPE"});
    EXPECT_EQ(D.GetValueByString("NOPE", "X"), Texts{"Register not found!"});
}

TEST(UtilityHolder, FirstDeviceDecidesAndAnyDestructionSilences)
{
    CZEVUtilities& Holder = CZEVUtilities::GetInstance();
    EXPECT_TRUE(Holder.StopWaiting()) << "nobody to ask";
    Holder.ReportError("f", 1, "g", "dropped");

    SHost First, Second;
    auto pFirst = std::make_unique<CEmptyDevice>(&First.Utility);
    auto pSecond = std::make_unique<CEmptyDevice>(&Second.Utility);
    std::string strError;
    Texts Values;
    pSecond->ServiceRead("X", "", Values, strError, 0, 0);
    EXPECT_EQ(First.Utility.m_Reports.size(), 1u) << "reports go to the first device's utility";
    EXPECT_TRUE(Second.Utility.m_Reports.empty());
    First.Utility.m_iStopAtCall = 2;
    EXPECT_FALSE(Holder.StopWaiting());
    EXPECT_TRUE(Holder.StopWaiting());

    pSecond.reset();
    pFirst->ServiceRead("X", "", Values, strError, 0, 0);
    EXPECT_EQ(First.Utility.m_Reports.size(), 1u) << "silent after any device is destroyed";
    auto pThird = std::make_unique<CEmptyDevice>(&Second.Utility);
    pFirst->ServiceRead("X", "", Values, strError, 0, 0);
    EXPECT_EQ(Second.Utility.m_Reports.size(), 1u) << "the next device constructed decides again";
}
