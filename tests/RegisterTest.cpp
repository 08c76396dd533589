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

TEST(RegisterBase, LockByNameAndUnlockAllWritesOnceAtMost)
{
    SHost H;
    CRegister_DIN_MS_DET_LOW R(&H.Bus, &H.Status);
    R.UnlockAll();
    EXPECT_TRUE(H.Log.empty()) << "all unlocked and unchanged: nothing written";

    std::string strError;
    EXPECT_FALSE(R.Lock("All", strError));
    EXPECT_EQ(strError, "Invalid signal submitted! : All");
    EXPECT_FALSE(R.Unlock("ms_det_low", strError));
    EXPECT_EQ(strError, "Invalid signal submitted! : ms_det_low");
    EXPECT_TRUE(R.Lock("ALL", strError));
    EXPECT_FALSE(R.MS_DET_LOW.Set(9, IMMEDIATE));  // ignored: locked
    ASSERT_TRUE(R.ServiceWrite("MS_DET_LOW", {"17/d"}, strError, 0));
    ASSERT_TRUE(R.ServiceWrite("ROUND_MODE", {"CUT_24_BIT"}, strError, 0));
    H.Log.clear();
    EXPECT_TRUE(R.Unlock("all", strError));
    EXPECT_EQ(H.Log, CallLog{"Write 0x11A 4: 0x0"}) << "both application values go back in one write";
    R.MS_DET_LOW.Set(4, IMMEDIATE);
    EXPECT_EQ(H.Log.back(), "Write 0x11A 4: 0x4") << "writing is enabled again";

    unsigned udwFirst = 1, udwSecond = 1;
    R.GetAdresses(udwFirst, udwSecond);
    EXPECT_EQ(udwFirst, 0x11Au);
    EXPECT_EQ(udwSecond, 0u);
}

TEST(RegisterBase, DefaultsUnusedAndHiddenBits)
{
    SHost H;
    CRegister_AUD_CNTRL0 Aud(&H.Bus, &H.Status, 0xFFFFFFFF);
    EXPECT_TRUE(Aud.SetToDefault());
    EXPECT_EQ(*Aud.GetAppImage(), 0xFF000000u) << "unused bits 23..20 cleared in the application's word too";

    // An untyped read of the register is the application's word too.
    CRegister_PRESTAT Pre(&H.Bus, &H.Status);
    H.Bus.m_Words[0x22] = 0x2;
    Pre.GetNotTypedValue(0, 1);
    EXPECT_EQ(*Pre.GetAppImage(), 0x2u);

    // The application's word takes the defaults too, so an Unlock puts back 5, not the 3 set
    // before; it writes although nothing differs because the pending flag survived.
    CRegister_DIN_MS_DET_LOW R(&H.Bus, &H.Status);
    R.MS_DET_LOW.Set(3, CSignalBase::HW_WRITE_DEFERRED);
    H.Log.clear();
    R.SetToDefault();
    R.MS_DET_LOW.Lock();
    EXPECT_TRUE(R.MS_DET_LOW.Unlock());
    EXPECT_EQ(H.Log, (CallLog{"Write 0x11A 4: 0x25", "Write 0x11A 4: 0x25"}));
    EXPECT_EQ(R.MS_DET_LOW.Get(false), 5u);
}

TEST(RegisterBase, SnapshotOfARegisterOnItsOwn)
{
    SHost H;
    H.Bus.m_Words[0x11A] = 0x40000025;
    CRegister_DIN_MS_DET_LOW R(&H.Bus, &H.Status);
    std::ostringstream Out;
    R.SnapShot(Out);
    EXPECT_EQ(Out.str(), "Register: DIN_MS_DET_LOW\n\nSnapShot of all functions of this register:\n"
                         "____________________________________\n"
                         "MS_DET_LOW = 5; % Wert =5\nROUND_MODE = 1; % Wert =ROUND_24_BIT\nIN0_SELDIR = 1; % Wert =OFF\n");
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
