// Memory registers: block access, range and null checks, whole-memory locking, text service.
#include "HostDoubles.h"
#include "TestRegisters.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace ZEVTEST;
using Texts = std::list<std::string>;

namespace
{
struct RamTest : ::testing::Test
{
    SHost H;
    CTestDevice D{&H.Bus, &H.Utility, &H.Status};
    std::vector<unsigned> Words = std::vector<unsigned>(7);
    RamTest() { std::iota(Words.begin(), Words.end(), 1u); }
};
const char* const kFrontiers = ", memory error, RAM frontiers have been hurt.";
} // namespace

TEST_F(RamTest, RangeAndNullChecks)
{
    const unsigned udwNine = 9;
    unsigned udwOut = 0;
    EXPECT_FALSE(D.ENT_H1.Set(&udwNine, 7, 0, false)) << "an empty block at the end is in range";
    EXPECT_FALSE(D.ENT_H1.Get(&udwOut, 7, 0, false));
    EXPECT_TRUE(H.Log.empty()) << "neither is refused";

    EXPECT_FALSE(D.ENT_H1.Set(Words.data(), 5, 3, false));
    EXPECT_FALSE(D.ENT_H1.Set(Words.data(), 0xFFFFFFFF, 2, false)) << "no wrap-around";
    EXPECT_FALSE(D.ENT_H1.Set(nullptr, 0, 1, false));
    unsigned audwOut[7] = {};
    EXPECT_FALSE(D.ENT_H1.Get(audwOut, 1, 7, true));
    EXPECT_FALSE(D.ENT_H1.Get(nullptr, 0, 1, true));
    const auto Report = [](const std::string& a_strFunction, const std::string& a_strMessage) {
        return "ReportError zev\\ent\\register_ent_h1 | ZEV::CRegister_ENT_H1::" + a_strFunction + " | " + a_strMessage;
    };
    EXPECT_EQ(H.Log, (CallLog{Report("Set", kFrontiers), Report("Set", kFrontiers),
                              Report("Set", ",submitted parameter a_udwpValue == NULL."), Report("Get", kFrontiers),
                              Report("Get", ", submitted parameter a_udwpValue == NULL.")}));
    std::vector<unsigned> All(7);
    EXPECT_FALSE(D.ENT_H1.Get(All.data(), 0, 7, false));
    EXPECT_EQ(All, std::vector<unsigned>(7, 0)) << "refused calls changed nothing";
}

TEST_F(RamTest, LockingIgnoresTheApplicationUntilUnlock)
{
    std::string strName;
    ASSERT_TRUE(D.ENT_H1.Set(Words.data(), 0, 7, false));
    EXPECT_FALSE(D.ENT_H1.Set(Words.data(), 0, 7, false)) << "written whole: the image holds the words";
    D.ENT_H1.Lock(strName);
    const std::vector<unsigned> Other(7, 0xAA);
    EXPECT_FALSE(D.ENT_H1.Set(Other.data(), 0, 7, false));
    std::vector<unsigned> Out(7);
    D.ENT_H1.Get(Out.data(), 0, 7, false);
    EXPECT_EQ(Out, Words) << "application buffer unchanged";

    // The service writes the hardware; unlocking puts the application's words back, whole.
    std::string strError;
    EXPECT_TRUE(D.ServiceWrite("ENT_H1", "IGNORED", {"5/d", "6/h"}, strError, 2));
    EXPECT_EQ(H.Log.back(), "Write 0x20F 8: 0x5 0x6");
    D.ENT_H1.Unlock(strName);
    EXPECT_EQ(H.Log.back(), "Write 0x20D 28: 0x1 0x2 0x3 0x4 0x5 0x6 0x7");
    EXPECT_TRUE(D.ENT_H1.Set(Other.data(), 0, 7, false));
    D.ENT_H1.LockAll();
    EXPECT_FALSE(D.ENT_H1.Set(Words.data(), 0, 7, false));
    D.ENT_H1.UnlockAll();
    EXPECT_TRUE(D.ENT_H1.Set(Words.data(), 0, 7, false));

    // A service write locks an unlocked memory; an untyped read of an unlocked one becomes the
    // application's words.
    EXPECT_TRUE(D.ServiceWrite("ENT_H1", "", {"8/d"}, strError, 0));
    EXPECT_EQ(D.ENT_H1.GetLockState(), static_cast<unsigned>(LOCKED));
    D.ENT_H1.UnlockAll();
    H.Bus.m_Words[0x20D] = 0x77;
    D.ENT_H1.GetNotTypedValue(0, 1);
    EXPECT_EQ(D.ENT_H1.GetAppImage()[0], 0x77u);
}

// A read of the hardware hands the device's own changes to the application.
TEST_F(RamTest, GetFromTheHardware)
{
    H.Bus.m_Words[0x2000 + 12] = 0x99;
    unsigned audwOut[3] = {};
    EXPECT_TRUE(D.SWP_CODE_RAM.Get(audwOut, 11, 3, true));
    EXPECT_EQ(H.Log, CallLog{"Read 0x200B 12"});
    EXPECT_EQ(std::vector<unsigned>(audwOut, audwOut + 3), (std::vector<unsigned>{0, 0x99, 0}));
}

TEST_F(RamTest, TextServiceByWordRange)
{
    for (unsigned i = 0; i < 4096; ++i)
        H.Bus.m_Words[0x2000 + i] = i;
    std::string strError = "untouched";
    Texts Values;
    EXPECT_TRUE(D.ServiceRead("SWP_CODE_RAM", "ANY", Values, strError, 4094, 2));
    EXPECT_EQ(Values, (Texts{"00000FFE/h", "00000FFF/h"}));
    EXPECT_EQ(H.Log, CallLog{"Read 0x2000 16384"}) << "the whole memory in one transfer";

    // A service read leaves the application's words alone: unlocking puts them back, not the
    // words the read found.
    std::string strName;
    ASSERT_TRUE(D.ENT_H1.Set(Words.data(), 0, 7, false));
    H.Bus.m_Words[0x20F] = 0x55;
    EXPECT_TRUE(D.ServiceRead("ENT_H1", "", Values, strError, 2, 1));
    EXPECT_EQ(Values.back(), "00000055/h");
    EXPECT_EQ(D.ENT_H1.GetLockState(), static_cast<unsigned>(UNLOCKED)) << "and leaves it unlocked";
    D.ENT_H1.Lock(strName);
    D.ENT_H1.Unlock(strName);
    EXPECT_EQ(H.Log.back(), "Write 0x20D 28: 0x1 0x2 0x3 0x4 0x5 0x6 0x7");

    // A range beyond the end is refused whole; nothing outside the memory is read.
    H.Log.clear();
    Values.clear();
    EXPECT_FALSE(D.ServiceRead("SWP_CODE_RAM", "", Values, strError, 4095, 2));
    EXPECT_FALSE(D.ServiceRead("SWP_CODE_RAM", "", Values, strError, 0xFFFFFFFF, 2));
    EXPECT_TRUE(Values.empty());
    EXPECT_EQ(strError, kFrontiers);
    EXPECT_EQ(H.Utility.m_Reports, (std::vector<std::string>(2, std::string("CRegisterBase::ServiceReadRAM|") + kFrontiers)));
    EXPECT_EQ(D.SWP_CODE_RAM.GetNotTypedValue(4095, 5), std::vector<unsigned>{4095}) << "only existing words";
    EXPECT_TRUE(D.SWP_CODE_RAM.GetNotTypedValue(5000, 5).empty());

    // The memory refuses a write range beyond its end itself; the service call still succeeds.
    H.Utility.m_Reports.clear();
    EXPECT_TRUE(D.ServiceWrite("ENT_H1", "", {"1/d", "2/d"}, strError, 6));
    EXPECT_EQ(H.Utility.m_Reports,
              std::vector<std::string>{std::string("ZEV::CRegister_ENT_H1::Set|") + kFrontiers});
}
