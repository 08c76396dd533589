// A host that throws, in every service path: the exception reaches the caller and every
// lock state is what it was before the call. And the service view of a register, which
// reads the hardware without handing it to the application.
#include "HostDoubles.h"
#include "TestRegisters.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>

using namespace ZEVTEST;
using Texts = std::list<std::string>;

namespace
{
struct HostFault : ::testing::Test
{
    SHost H;
    CTestDevice D{&H.Bus, &H.Utility, &H.Status};
    std::string strError;
    Texts Values;

    std::vector<unsigned> States(const CRegisterBase& a_rRegister) const
    {
        std::vector<unsigned> Result{a_rRegister.GetLockState()};
        for (const CSignalBase* pSignal : a_rRegister.GetSignals())
            Result.push_back(pSignal->GetLockState());
        return Result;
    }
};
} // namespace

TEST_F(HostFault, AThrowingBusLeavesTheLockStatesOfEveryServicePath)
{
    auto& R = D.DIN_MS_DET_LOW;  // read directly, so the bus's exception passes through
    auto& Ram = D.SWP_CODE_RAM;
    R.ROUND_MODE.Lock();
    const std::vector<unsigned> Before = States(R);
    ASSERT_EQ(Before, (std::vector<unsigned>{UNLOCKED, UNLOCKED, LOCKED, UNLOCKED}));
    // The exception passes through every path; a signal write leaves neither SERVICE_ACCESS nor LOCKED.
    const std::pair<const char*, std::function<void()>> aCalls[] = {
        {"signal read", [&] { R.ServiceRead("MS_DET_LOW", Values, strError, 0, 1); }},
        {"enumerated signal read, locked before", [&] { R.ServiceRead("ROUND_MODE", Values, strError, 0, 1); }},
        {"whole-register read", [&] { R.ServiceRead("", Values, strError, 0, 1); }},
        {"signal write", [&] { R.ServiceWrite("MS_DET_LOW", {"5/d"}, strError, 0); }},
        {"whole-register write", [&] { R.ServiceWrite("", {"5/d"}, strError, 0); }},
        {"memory write", [&] { Ram.ServiceWrite("", {"1/d"}, strError, 3); }},
        {"memory read", [&] { Ram.ServiceRead("", Values, strError, 0, 2); }}};
    for (const auto& Call : aCalls)
    {
        SCOPED_TRACE(Call.first);
        H.Bus.m_iThrowOnRead = H.Bus.m_iThrowOnWrite = 1;
        EXPECT_THROW(Call.second(), std::runtime_error);
        H.Bus.m_iThrowOnRead = H.Bus.m_iThrowOnWrite = 0;
        EXPECT_EQ(States(R), Before);
        EXPECT_EQ(Ram.GetLockState(), UNLOCKED);
    }
}

TEST_F(HostFault, AThrowingUtilityLeavesTheLockStateOfARefusedWrite)
{
    auto& Sel = D.AUD_CNTRL0.TRIG_SEL;
    H.Utility.m_bThrowOnReport = true;
    EXPECT_THROW(D.AUD_CNTRL0.ServiceWrite("TRIG_SEL", {"NOPE"}, strError, 0), std::runtime_error);
    EXPECT_EQ(Sel.GetLockState(), UNLOCKED);
    Sel.Lock();
    EXPECT_THROW(D.AUD_CNTRL0.ServiceWrite("MULT_HP", {"99/d"}, strError, 0), std::runtime_error);
    EXPECT_EQ(D.AUD_CNTRL0.MULT_HP.GetLockState(), UNLOCKED);
    EXPECT_EQ(Sel.GetLockState(), LOCKED);
    EXPECT_EQ(H.Utility.m_Reports.size(), 2u);
}

TEST_F(HostFault, AnUnlockWhoseWriteThrowsStaysLocked)
{
    auto& R = D.DIN_MS_DET_LOW;
    ASSERT_TRUE(R.ServiceWrite("MS_DET_LOW", {"5/d"}, strError, 0));
    ASSERT_TRUE(R.ServiceWrite("IN0_SELDIR", {"OFF"}, strError, 0));
    H.Bus.m_iThrowOnWrite = 1;
    EXPECT_THROW(R.MS_DET_LOW.Unlock(), std::runtime_error);
    EXPECT_EQ(R.MS_DET_LOW.GetLockState(), LOCKED) << "the service's value is still on the hardware";

    // UnlockAll writes once at the end: should that throw, every state comes back and
    // writing is enabled again.
    const std::vector<unsigned> Before = States(R);
    H.Bus.m_iThrowOnWrite = 1;
    EXPECT_THROW(R.UnlockAll(), std::runtime_error);
    EXPECT_EQ(States(R), Before);
    H.Log.clear();
    R.UnlockAll();
    EXPECT_EQ(H.Log, CallLog{"Write 0x11A 4: 0x0"}) << "the application's word goes out, once";
    EXPECT_EQ(States(R), (std::vector<unsigned>{UNLOCKED, UNLOCKED, UNLOCKED, UNLOCKED}));
    // A read for the change log that throws while UnlockAll holds the signals' writes back.
    std::ostringstream Log;
    R.MS_DET_LOW.Logging(&Log, true);
    H.Bus.m_iThrowOnRead = 1;
    EXPECT_THROW(R.UnlockAll(), std::runtime_error);
    H.Log.clear();
    R.ROUND_MODE.Set(DIN_MS_DET_LOW::CSignal_ROUND_MODE::CUT_24_BIT, CSignalBase::HW_WRITE_IMMEDIATE);
    EXPECT_EQ(H.Log, CallLog{"Write 0x11A 4: 0x40"}) << "writing is enabled again";

    auto& Ram = D.ENT_H1;
    std::string strName;
    Ram.Lock(strName);
    H.Bus.m_iThrowOnWrite = 1;
    EXPECT_THROW(Ram.Unlock(strName), std::runtime_error);
    EXPECT_EQ(Ram.GetLockState(), LOCKED);
    H.Bus.m_iThrowOnWrite = 1;
    EXPECT_THROW(D.UnlockAll(), std::runtime_error) << "the device's unlock stops at the first fault";
}

TEST_F(HostFault, TheServiceViewReadsTheHardwareAndLeavesTheApplication)
{
    auto& R = D.DIN_MS_DET_LOW;
    R.ROUND_MODE.Lock();
    H.Bus.m_Words[0x11A] = 0x4000001F;  // the device changed by itself
    const unsigned udwApp = R.GetAppImage()[0];
    {
        CRegisterBase::CServiceAccess View(R);
        EXPECT_EQ(States(R), (std::vector<unsigned>(4, SERVICE_ACCESS)));
        EXPECT_EQ(R.GetValueByString("MS_DET_LOW"), Texts{"31"});
        EXPECT_EQ(R.GetValueByString("IN0_SELDIR"), Texts{"OFF"});
    }
    EXPECT_EQ(R.GetAppImage()[0], udwApp) << "the application's word is untouched";
    EXPECT_EQ(R.GetHwImage()[0], 0x4000001Fu);
    EXPECT_EQ(States(R), (std::vector<unsigned>{UNLOCKED, UNLOCKED, LOCKED, UNLOCKED}));

    // A memory's block read: only the block moves, the application's words stay.
    auto& Ram = D.SWP_CODE_RAM;
    for (unsigned i = 0; i < 4; ++i)
        H.Bus.m_Words[0x2000 + 100 + i] = 0xA0 + i;
    H.Log.clear();
    unsigned audwOut[4] = {};
    {
        CRegisterBase::CServiceAccess View(Ram);
        EXPECT_TRUE(Ram.Get(audwOut, 100, 4, true));
    }
    EXPECT_EQ(H.Log, CallLog{"Read 0x2064 16"});
    EXPECT_EQ(Ram.GetHwImage()[101], 0xA1u);
    EXPECT_EQ(Ram.GetAppImage()[101], 0u);
    EXPECT_EQ(Ram.GetLockState(), UNLOCKED);

    // Also when the host throws inside the view.
    H.Bus.m_iThrowOnRead = 1;
    EXPECT_THROW(
        {
            CRegisterBase::CServiceAccess View(R);
            R.GetValueByString("MS_DET_LOW");
        },
        std::runtime_error);
    EXPECT_EQ(States(R), (std::vector<unsigned>{UNLOCKED, UNLOCKED, LOCKED, UNLOCKED}));
}
