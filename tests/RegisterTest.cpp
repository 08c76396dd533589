// Register base: locking by name, UnlockAll's single write, defaults, unused and hidden
// bits, snapshots; the compile-time check of the generated layouts.
#include "HostDoubles.h"
#include "LayoutCheck.h"
#include "TestRegisters.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace ZEVTEST;

namespace
{
const auto IMMEDIATE = CSignalBase::HW_WRITE_IMMEDIATE;
}

TEST(RegisterBase, LockAndUnlockByName)
{
    SHost H;
    CRegister_DIN_MS_DET_LOW R(&H.Bus, &H.Status);
    std::string strError = "untouched";
    EXPECT_TRUE(R.Lock("MS_DET_LOW", strError));
    EXPECT_FALSE(R.MS_DET_LOW.Set(3, IMMEDIATE));
    ASSERT_TRUE(R.ServiceWrite("MS_DET_LOW", {"7/d"}, strError, 0));
    EXPECT_TRUE(R.Unlock("MS_DET_LOW", strError));
    EXPECT_EQ(H.Log.back(), "Write 0x11A 4: 0x0") << "the application's value goes back";
    EXPECT_TRUE(R.Unlock("MS_DET_LOW", strError)) << "unlocking an unlocked signal is harmless";
    EXPECT_EQ(strError, "untouched");

    EXPECT_FALSE(R.Lock("All", strError));
    EXPECT_EQ(strError, "Invalid signal submitted! : All");
    EXPECT_FALSE(R.Unlock("ms_det_low", strError));
    EXPECT_EQ(strError, "Invalid signal submitted! : ms_det_low");

    EXPECT_TRUE(R.Lock("ALL", strError));
    EXPECT_FALSE(R.IN0_SELDIR.Set(DIN_MS_DET_LOW::CSignal_IN0_SELDIR::OFF, IMMEDIATE));
    EXPECT_FALSE(R.ROUND_MODE.Set(DIN_MS_DET_LOW::CSignal_ROUND_MODE::CUT_24_BIT, IMMEDIATE));
    EXPECT_TRUE(R.Unlock("all", strError));
    EXPECT_TRUE(R.IN0_SELDIR.Set(DIN_MS_DET_LOW::CSignal_IN0_SELDIR::OFF, IMMEDIATE));

    unsigned udwFirst = 1, udwSecond = 1;
    CRegister_AUD_CNTRL0 Aud(&H.Bus, &H.Status);
    Aud.GetAdresses(udwFirst, udwSecond);
    EXPECT_EQ(udwFirst, 3584u);
    EXPECT_EQ(udwSecond, 0u);
}

TEST(RegisterBase, UnlockAllWritesOnceAtMost)
{
    SHost H;
    CRegister_DIN_MS_DET_LOW R(&H.Bus, &H.Status);
    R.UnlockAll();
    EXPECT_TRUE(H.Log.empty()) << "all unlocked and unchanged: nothing written";

    R.LockAll();
    R.MS_DET_LOW.Set(9, IMMEDIATE);  // ignored: locked
    std::string strError;
    ASSERT_TRUE(R.ServiceWrite("MS_DET_LOW", {"17/d"}, strError, 0));
    ASSERT_TRUE(R.ServiceWrite("ROUND_MODE", {"CUT_24_BIT"}, strError, 0));
    H.Log.clear();
    R.UnlockAll();
    EXPECT_EQ(H.Log, CallLog{"Write 0x11A 4: 0x0"}) << "both application values go back in one write";
    R.MS_DET_LOW.Set(4, IMMEDIATE);
    EXPECT_EQ(H.Log.back(), "Write 0x11A 4: 0x4") << "writing is enabled again";

    // A memory locks as a whole and is written once, whole, on UnlockAll.
    CRegister_ENT_H1 Ram(&H.Bus, &H.Status);
    CRegisterBase& Base = Ram;
    Base.LockAll();
    unsigned udwWord = 5;
    EXPECT_FALSE(Ram.Set(&udwWord, 0, 1, false)) << "locked memory ignores Set";
    H.Log.clear();
    Base.UnlockAll();
    EXPECT_EQ(H.Log, CallLog{"Write 0x20D 28: 0x0 0x0 0x0 0x0 0x0 0x0 0x0"});
}

TEST(RegisterBase, DefaultsUnusedAndHiddenBits)
{
    SHost H;
    {
        SCOPED_TRACE("unused bits 23..20 cleared; bits above the width left alone");
        CRegister_AUD_CNTRL0 R(&H.Bus, &H.Status, 0xFFFFFFFF);
        EXPECT_TRUE(R.SetToDefault());
        EXPECT_EQ(H.Log, CallLog{"Write 0xE00 3: 0xFF000000"});
        EXPECT_EQ(*R.GetAppImage(), 0xFF000000u) << "the application's word alike";
    }
    {
        SCOPED_TRACE("hidden bit 16 kept in the image, forced to 1 in the application word");
        H.Log.clear();
        CRegister_PRESTAT R(&H.Bus, &H.Status);
        EXPECT_TRUE(R.SetToDefault());
        EXPECT_EQ(H.Log, CallLog{"Write 0x22 4: 0x10003"});
        EXPECT_EQ(*R.GetAppImage(), 0x10003u);
        EXPECT_EQ(R.A_MASK.Get(false), PRESTAT::CSignal_A_MASK::ENABLE);
        EXPECT_EQ(R.B_MASK.Get(false), 1u);
        H.Bus.m_Words[0x22] = 0x2;
        R.GetNotTypedValue(0, 1);
        EXPECT_EQ(*R.GetAppImage(), 0x2u) << "an untyped read of the register is the application's word too";
    }
    {
        SCOPED_TRACE("status register: the default mask covers hidden bit 31 and clears it");
        H.Log.clear();
        CRegister_STATREG R(&H.Bus, &H.Status);
        H.Bus.m_Words[0x18] = 0xFFFFFFFF;
        R.GetNotTypedValue(0, 1);
        EXPECT_TRUE(R.SetToDefault());
        EXPECT_EQ(H.Log.back(), "Write 0x18 4: 0x0");
    }
    {
        SCOPED_TRACE("a fresh register reads 0 in both words; the pending flag survives SetToDefault");
        H.Log.clear();
        CRegister_DIN_MS_DET_LOW R(&H.Bus, &H.Status);
        EXPECT_EQ(R.MS_DET_LOW.Get(false), 0u);
        R.MS_DET_LOW.Set(3, CSignalBase::HW_WRITE_DEFERRED);
        R.SetToDefault();
        EXPECT_EQ(H.Log, CallLog{"Write 0x11A 4: 0x25"});
        // The application's word took the defaults too, so an Unlock puts back 5, not the 3 set
        // before; it writes although nothing differs because the pending flag survived.
        R.MS_DET_LOW.Lock();
        EXPECT_TRUE(R.MS_DET_LOW.Unlock());
        EXPECT_EQ(H.Log.back(), "Write 0x11A 4: 0x25");
        EXPECT_EQ(R.MS_DET_LOW.Get(false), 5u);
        EXPECT_EQ(R.ROUND_MODE.Get(false), DIN_MS_DET_LOW::CSignal_ROUND_MODE::ROUND_24_BIT);
    }
}

TEST(RegisterBase, SnapshotForms)
{
    SHost H;
    H.Bus.m_Words[0x11A] = 0x40000025;
    CRegister_DIN_MS_DET_LOW R(&H.Bus, &H.Status);
    std::ostringstream Out;
    R.SnapShot(Out);
    EXPECT_EQ(Out.str(), "Register: DIN_MS_DET_LOW\n\nSnapShot of all functions of this register:\n"
                         "____________________________________\n"
                         "MS_DET_LOW = 5; % Wert =5\nROUND_MODE = 1; % Wert =ROUND_24_BIT\nIN0_SELDIR = 1; % Wert =OFF\n");
    Out.str("");
    R.SnapShot(Out, "ZEV");
    EXPECT_EQ(Out.str(), "% Register: DIN_MS_DET_LOW\n% SnapShot of all functions of this register:\n"
                         "% ____________________________________\n"
                         "ZEV.DIN_MS_DET_LOW.MS_DET_LOW = 5; % Wert =5\n"
                         "ZEV.DIN_MS_DET_LOW.ROUND_MODE = 1; % Wert =ROUND_24_BIT\n"
                         "ZEV.DIN_MS_DET_LOW.IN0_SELDIR = 1; % Wert =OFF\n");
    Out.str("");
    CRegister_ENT_H1 Ram(&H.Bus, &H.Status);
    Ram.SnapShot(Out);
    EXPECT_EQ(Out.str(), "Register: ENT_H1\n\nSnapShot of all functions of this register:\n"
                         "____________________________________\n");
}

TEST(RegisterBase, InspectionShowsStateWithoutTransfers)
{
    SHost H;
    CRegister_DIN_MS_DET_LOW R(&H.Bus, &H.Status);
    R.MS_DET_LOW.Set(3, CSignalBase::HW_WRITE_DEFERRED);
    std::string strError;
    R.Lock("IN0_SELDIR", strError);
    H.Log.clear();
    EXPECT_EQ(*R.GetHwImage(), 3u);
    EXPECT_EQ(*R.GetAppImage(), 3u);
    EXPECT_TRUE(R.IsWritePending());
    EXPECT_EQ(R.GetWidth(), 32u);
    EXPECT_EQ(R.GetWordCount(), 1u);
    ASSERT_EQ(R.GetSignals().size(), 3u);
    EXPECT_EQ(R.GetSignals().back()->GetLockState(), static_cast<unsigned>(LOCKED));
    EXPECT_EQ(R.GetSignals().front()->GetMaxValue(), 31u);
    EXPECT_EQ(R.ROUND_MODE.GetMask(), 0x60u);
    EXPECT_EQ(R.ROUND_MODE.GetLow(), 5u);
    CRegister_ENT_H1 Ram(&H.Bus, &H.Status);
    const unsigned audwWords[2] = {8, 9};
    Ram.Set(audwWords, 5, 2, false);
    EXPECT_EQ(Ram.GetHwImage()[6], 9u);
    EXPECT_EQ(Ram.GetAppImage()[5], 8u);
    EXPECT_EQ(Ram.GetLockState(), static_cast<unsigned>(UNLOCKED));
    EXPECT_EQ(H.Log.size(), 1u) << "only the Set's write";
}

// Every generated register meets this check at compile time, so only inconsistent layouts
// show that it refuses what it must.
TEST(LayoutCheck, RefusesEachKindOfInconsistency)
{
    using rlzev::LayoutAgrees;
    static const SEnumerator aEnums[] = {{0, "OFF"}, {3, "MAX"}}, aTooBig[] = {{4, "OVER"}, {0, "OFF"}};
    // 16 bits: A at 1..0 (enumerated), B at 11..4, bit 15 hidden and forced to one.
    const SSignalInfo A{"A", 0, 2, 1, aEnums, 2}, B{"B", 4, 8, 0x12, nullptr, 0};
    const SRegisterLayout Good{"R", 0, 16, 0x700C, 0x700C, 0x8000, 0x8FF3, 0x8121, false};
    ASSERT_TRUE(LayoutAgrees(Good, {&A, &B}));

    const SSignalInfo Empty{"E", 12, 0, 0, nullptr, 0}, BadEnum{"A", 0, 2, 1, aTooBig, 2};
    EXPECT_FALSE(LayoutAgrees(Good, {&A, &B, &Empty})) << "a field of no bits";
    EXPECT_FALSE(LayoutAgrees(Good, {&A, &A, &B})) << "overlapping fields";
    EXPECT_FALSE(LayoutAgrees(Good, {&BadEnum, &B})) << "an enumerator beyond the field";
    SRegisterLayout Unused = Good;
    Unused.m_udwHwUnusedMask |= 0x1;
    EXPECT_FALSE(LayoutAgrees(Unused, {&A, &B})) << "a field's bit called unused";
    // Wider than the register yet cut to 16 bits by the mask: only the width test sees it.
    const SSignalInfo Wide{"W", 16, 32, 0, nullptr, 0};
    EXPECT_FALSE(LayoutAgrees({"R", 0, 32, 0xFFFF, 0xFFFF, 0, 0xFFFF0000, 0, false}, {&Wide}));
}
