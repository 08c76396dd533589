// Device base: identity, register list order, device-wide operations by name, the script
// snapshot, and the process-wide utility holder shared by devices.
#include "HostDoubles.h"
#include "TestRegisters.h"
#include "ZEVUtilities.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

using namespace ZEVTEST;
using Texts = std::list<std::string>;

namespace
{
const char* const kHeading = "function [device,ZEV] = ZEV_DUMP()\ndevice= 'ZEV';\n% Hardware: ZEV\n"
                             "% SnapShot of all Registers:\n% ____________________________________\n";
}

TEST(DeviceBase, IdentityDefaultsAndSnapshotInListOrder)
{
    SHost H;
    CTestDevice D(&H.Bus, &H.Utility, &H.Status);
    EXPECT_TRUE(H.Log.empty()) << "construction touches no hardware";
    EXPECT_EQ(D.GetName(), "ZEV");
    EXPECT_EQ(D.GetXMLVersion(), "PD_ZEV.xml@@/main/kem_main/1");
    EXPECT_EQ(D.GetCodeGeneratorVersion(), "1.1.0.0");

    EXPECT_TRUE(D.SetToDefault());
    // Every register in list order; the fresh memories differ from nothing and stay quiet.
    EXPECT_EQ(H.Log, (CallLog{"Write 0xE00 3: 0x0", "Write 0x18 4: 0x0", "Write 0x22 4: 0x10003",
                              "Write 0x1201 2: 0x0",
                              "ReportAccessDenied ParallelRead | CParallelRead::Write | ,No write access allowed!",
                              "Write 0x11A 4: 0x25"}));

    H.Bus.m_bRecordPolls = false;
    std::ostringstream Out;
    D.SnapShot(Out);
    const std::string strOut = Out.str();
    ASSERT_EQ(strOut.compare(0, std::string(kHeading).size(), kHeading), 0) << strOut;
    const char* const apcOrder[] = {"AUD_CNTRL0", "STATREG", "PRESTAT", "DET_RESET", "PRI_SERVAL", "DIN_MS_DET_LOW",
                                    "ENT_H1", "SWP_CODE_RAM"};
    std::size_t uAt = 0;
    for (const char* pcName : apcOrder)
    {
        const std::size_t uNext = strOut.find(std::string("% Register: ") + pcName + "\n", uAt);
        ASSERT_NE(uNext, std::string::npos) << pcName;
        uAt = uNext;
    }
    EXPECT_NE(strOut.find("ZEV.PRESTAT.A_MASK = 1; % Wert =ENABLE\n"), std::string::npos);
    EXPECT_EQ(strOut.substr(strOut.size() - 39), "% ____________________________________\n") << "a memory ends the script";
}

TEST(DeviceBase, LockUnlockAndLoggingByName)
{
    SHost H;
    CTestDevice D(&H.Bus, &H.Utility, &H.Status);
    std::string strError = "untouched";
    EXPECT_TRUE(D.Lock("ALL", "ALL", strError));
    EXPECT_EQ(strError, "untouched");
    EXPECT_FALSE(D.AUD_CNTRL0.MULT_HP.Set(1, CSignalBase::HW_WRITE_IMMEDIATE));
    std::vector<unsigned> One{1};
    EXPECT_FALSE(D.ENT_H1.Set(One.data(), 0, 1, false)) << "memories lock as a whole";
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
    EXPECT_FALSE(D.ENT_H1.Set(One.data(), 0, 1, false));
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
    Texts Values;
    EXPECT_FALSE(D.ServiceWrite("NOPE", "X", {"1/d"}, strError, 0));
    EXPECT_EQ(strError, "Invalid register submitted: NOPE");
    EXPECT_FALSE(D.ServiceRead("ALL", "X", Values, strError, 0, 1));
    EXPECT_EQ(strError, "Invalid register submitted: ALL");
    EXPECT_EQ(H.Log, (CallLog{"ReportError HWDeviceBase | CHWDeviceBase::ServiceWrite | Invalid register submitted: NOPE",
                              "ReportError HWDeviceBase | CHWDeviceBase::ServiceRead | Invalid register submitted: ALL"}));
    EXPECT_EQ(D.GetValueByString("NOPE", "X"), Texts{"Register not found!"});

    H.Log.clear();
    EXPECT_TRUE(D.ServiceWrite("AUD_CNTRL0", "TRIG_SEL", {"MARKER_SIG_7"}, strError, 0));
    EXPECT_EQ(H.Log, CallLog{"Write 0xE00 3: 0x7"});
    EXPECT_EQ(D.GetValueByString("AUD_CNTRL0", "TRIG_SEL"), Texts{"MARKER_SIG_7"});
    H.Bus.m_Words[0x11A] = 0xFFFFFFFF;
    EXPECT_EQ(D.GetValueByString("DIN_MS_DET_LOW", "MS_DET_LOW"), Texts{"31"});
    EXPECT_TRUE(D.ServiceRead("DIN_MS_DET_LOW", "", Values, strError, 0, 1));
    EXPECT_EQ(Values, Texts{"FFFFFFFF/h"});
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
