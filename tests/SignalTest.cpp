// Typed signal semantics: write modes, reads adopting the device's changes, logging, the status variant.
#include "HostDoubles.h"
#include "TestRegisters.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ZEVTEST;

namespace
{
const auto IMMEDIATE = CSignalBase::HW_WRITE_IMMEDIATE;
const auto DEFERRED = CSignalBase::HW_WRITE_DEFERRED;
const auto IF_CHANGED = CSignalBase::HW_WRITE_IF_CHANGED;

// Direct bus for a register that normally reads back sequentially would hide the
// read-back path, so these tests use a register read directly where reads matter.
struct SignalTest : ::testing::Test
{
    SHost H;
    CRegister_AUD_CNTRL0 Aud{&H.Bus, &H.Status};
    CRegister_DIN_MS_DET_LOW Din{&H.Bus, &H.Status};
};
} // namespace

TEST_F(SignalTest, AWriteClearsThePendingFlagAndAnUnknownModeDefers)
{
    EXPECT_FALSE(Aud.SHIFT_HP.Set(3, DEFERRED));
    EXPECT_TRUE(Aud.SHIFT_DE.Set(0, IF_CHANGED)) << "pending from the deferred change";
    EXPECT_FALSE(Aud.SHIFT_DE.Set(0, IF_CHANGED)) << "pending was cleared by the write";

    H.Log.clear();
    EXPECT_FALSE(Aud.SHIFT_DE.Set(2, static_cast<CSignalBase::ESignalHwWrite>(7)));
    EXPECT_TRUE(H.Log.empty());
    EXPECT_EQ(Aud.SHIFT_DE.Get(false), 2u);
}

TEST_F(SignalTest, ATypedReadAdoptsWhatTheDeviceChanged)
{
    Aud.SHIFT_HP.Set(1, IMMEDIATE);
    H.Bus.m_Words[0xE00] = 2 << 9;  // the device changes the field
    EXPECT_EQ(Aud.SHIFT_HP.Get(true), 2u);
    H.Log.clear();
    EXPECT_FALSE(Aud.MULT_HP.Set(0, IF_CHANGED)) << "nothing differs: the read became the application's value";
    Aud.SHIFT_HP.Lock();
    EXPECT_FALSE(Aud.SHIFT_HP.Unlock());
    EXPECT_TRUE(H.Log.empty()) << "no write of the old value";

    // An untyped read alike.
    H.Bus.m_Words[0xE00] = 5 << 9;
    EXPECT_EQ(Aud.SHIFT_HP.GetValueByString(), std::list<std::string>{"5"});
    H.Log.clear();
    Aud.SHIFT_HP.Lock();
    EXPECT_FALSE(Aud.SHIFT_HP.Unlock());
    EXPECT_TRUE(H.Log.empty());
}

TEST_F(SignalTest, ChangeLogLinesOfLocksAndOfValuesWithoutAName)
{
    // A locked signal still logs the attempted change; numbers log in decimal.
    std::ostringstream Log;
    Aud.MULT_HP.Logging(&Log, true);
    H.Bus.m_Words[0xE00] = 9 << 3;
    Aud.MULT_HP.Lock();
    EXPECT_FALSE(Aud.MULT_HP.Set(40, IMMEDIATE));
    Aud.MULT_HP.Unlock();
    EXPECT_EQ(Log.str(), "Signal: MULT_HP locked!\n"
                         "Register: AUD_CNTRL0 Signal: MULT_HP Changed from value: 0 to value: 40\n"
                         "Register: AUD_CNTRL0 Signal: MULT_HP unlocked.\n"
                         "Register: AUD_CNTRL0 Signal: MULT_HP Changed from value: 9 to value: 0\n");

    // An enumerated old value comes from the hardware field; without a name it is logged as its number.
    Log.str("");
    Din.IN0_SELDIR.Logging(&Log, true);
    Din.ROUND_MODE.Logging(&Log, true);
    H.Bus.m_Words[0x11A] = 0x40000060;
    Din.IN0_SELDIR.Set(DIN_MS_DET_LOW::CSignal_IN0_SELDIR::ON, DEFERRED);
    Din.ROUND_MODE.Set(DIN_MS_DET_LOW::CSignal_ROUND_MODE::CUT_24_BIT, DEFERRED);
    EXPECT_EQ(Log.str(), "Register: DIN_MS_DET_LOW Signal: IN0_SELDIR Changed from value: OFF to value: 0\n"
                         "Register: DIN_MS_DET_LOW Signal: ROUND_MODE Changed from value: 3 to value: 2\n");

    // Switched off, a stream given earlier hears nothing more.
    Log.str("");
    Aud.MULT_HP.Logging(&Log, false);
    Aud.MULT_HP.Lock();
    Aud.MULT_HP.Unlock();
    EXPECT_EQ(Log.str(), "");
}

TEST_F(SignalTest, StatusSignalsCarryOnlyTheirOwnBitsThroughTheHost)
{
    CRegister_STATREG Stat(&H.Bus, &H.Status);
    using Sig = STATREG::CSignal_A_READY;
    EXPECT_FALSE(Stat.B_READY.Set(STATREG::CSignal_B_READY::OFF, DEFERRED));
    EXPECT_TRUE(H.Log.empty());
    EXPECT_TRUE(Stat.C_READY.Set(STATREG::CSignal_C_READY::OFF, IF_CHANGED));
    EXPECT_EQ(H.Log, (CallLog{"PrepareReset 0x6", "Write 0x18 4: 0x6"}));
    EXPECT_EQ(Stat.A_READY.Get(false), Sig::OFF) << "the image holds only the bits of the last write";
    H.Log.clear();
    EXPECT_TRUE(Stat.A_READY.Set(Sig::ON, IMMEDIATE));
    EXPECT_EQ(H.Log, (CallLog{"PrepareSet 0x1", "Write 0x18 4: 0x1"})) << "nothing stays pending after a write";

    H.Log.clear();
    Stat.A_READY.Lock();
    EXPECT_FALSE(Stat.A_READY.Set(Sig::ON, IMMEDIATE));
    EXPECT_FALSE(Stat.A_READY.Unlock()) << "status signals write nothing on unlock";
    EXPECT_TRUE(H.Log.empty());

    EXPECT_TRUE(Stat.ResetAllStatusBits());
    EXPECT_EQ(H.Log, (CallLog{"PrepareResetAll 0x1", "Write 0x18 4: 0xFFFFFFFF"}));
}
