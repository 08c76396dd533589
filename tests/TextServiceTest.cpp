// Text service of signals and registers: value texts, range checks, lock states, every
// error text and report.
#include "HostDoubles.h"
#include "TestRegisters.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ZEVTEST;
using Texts = std::list<std::string>;

namespace
{
struct TextService : ::testing::Test
{
    SHost H;
    CTestDevice D{&H.Bus, &H.Utility, &H.Status};
    std::string strError = "untouched";

    bool Write(CRegisterBase& a_rRegister, const std::string& a_strSignal, const Texts& a_rValues)
    {
        return a_rRegister.ServiceWrite(a_strSignal, a_rValues, strError, 0);
    }
};

// A host that looks at a signal's lock state, as the number it holds, whenever a word goes out.
struct CWatchingBus : CFakeBus
{
    using CFakeBus::CFakeBus;
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        m_Seen.push_back(m_pWatched->GetLockState());
        CFakeBus::Write(a_udwAddress, a_udwpData, a_udwByteCount);
    }
    const CSignalBase* m_pWatched = nullptr;
    std::vector<unsigned> m_Seen;
};
} // namespace

TEST_F(TextService, NumericWriteChangesTheHardwareOnlyAndLocks)
{
    auto& Shift = D.AUD_CNTRL0.SHIFT_HP;  // 3 bits at 11..9
    Shift.Set(2, CSignalBase::HW_WRITE_IMMEDIATE);
    H.Log.clear();
    EXPECT_TRUE(Write(D.AUD_CNTRL0, "SHIFT_HP", {"5/d"}));
    EXPECT_EQ(H.Log, CallLog{"Write 0xE00 3: 0xA00"});
    EXPECT_EQ(strError, "untouched");
    EXPECT_EQ(Shift.Get(false), 2u) << "application value kept, signal locked";
    EXPECT_FALSE(Shift.Set(1, CSignalBase::HW_WRITE_IMMEDIATE));
    EXPECT_TRUE(Shift.Unlock());
    EXPECT_EQ(H.Log.back(), "Write 0xE00 3: 0x400") << "unlock puts the application's value back";

    CWatchingBus Bus(H.Log);
    CRegister_AUD_CNTRL0 R(&Bus, &H.Status);
    Bus.m_pWatched = &R.SHIFT_HP;
    EXPECT_TRUE(R.ServiceWrite("SHIFT_HP", {"5/d"}, strError, 0));
    EXPECT_EQ(Bus.m_Seen, std::vector<unsigned>{2}) << "SERVICE_ACCESS is 2 to a host while the service writes";
    EXPECT_EQ(R.SHIFT_HP.GetLockState(), 1u) << "and LOCKED 1 after";
}

TEST_F(TextService, ValueTextForms)
{
    auto& Ms = D.DIN_MS_DET_LOW.MS_DET_LOW;  // 5 bits, max 31
    for (const char* pcText : {"0x1F/h", "0X1F/h", "1f/H", "1F/h", " 31/d", "\t31/d", "\n31/d", "\v31/d", "\f31/d",
                               "\r31/d", "+31/D", "3/d1", "31a/d", "/h1f", "31/d/h"})
    {
        SCOPED_TRACE(pcText);
        H.Log.clear();
        Ms.Unlock();
        ASSERT_TRUE(Write(D.DIN_MS_DET_LOW, "MS_DET_LOW", {pcText}));
        EXPECT_EQ(H.Log.back(), "Write 0x11A 4: 0x1F");
    }
    // Every hexadecimal digit in lower case: "1a/h" to "1f/h" are 26 to 31.
    for (char c = 'a'; c <= 'f'; ++c)
    {
        Ms.Unlock();
        ASSERT_TRUE(Write(D.DIN_MS_DET_LOW, "MS_DET_LOW", {std::string("1") + c + "/h"}));
        EXPECT_EQ(H.Log.back(), "Write 0x11A 4: 0x1" + std::string(1, static_cast<char>(c - 'a' + 'A')));
    }
    Texts Values;
    EXPECT_TRUE(D.DIN_MS_DET_LOW.ServiceRead("MS_DET_LOW", Values, strError, 0, 1));
    EXPECT_EQ(Values, Texts{"0000001F/h"});
    EXPECT_TRUE(Write(D.DIN_MS_DET_LOW, "MS_DET_LOW", Values)) << "a read's text writes back unchanged";
    Ms.Unlock();
    EXPECT_TRUE(Write(D.DIN_MS_DET_LOW, "MS_DET_LOW", {"x", "3/d"})) << "the last number's marker decides";
    EXPECT_EQ(H.Log.back(), "Write 0x11A 4: 0x3");

    EXPECT_TRUE(Write(D.PRI_SERVAL, "SERVAL", {"-1/d"}));
    EXPECT_EQ(D.PRI_SERVAL.GetValueByString("SERVAL"), Texts{"0"}) << "read-only: the fake never saw the write";
    EXPECT_TRUE(Write(D.PRI_SERVAL, "SERVAL", {"FFFFFFFF/h"}));
    EXPECT_TRUE(Write(D.PRI_SERVAL, "SERVAL", {"-2147483648/d"})) << "the smallest 32-bit number";
    EXPECT_FALSE(Write(D.PRI_SERVAL, "SERVAL", {"100000000/h"}));
    EXPECT_EQ(strError, "Value limit exceeded: 100000000/h,");
    // Beyond 32 bits is refused however far beyond: no wrap-around, no saturation to FFFFFFFF.
    for (const std::string strText : {"4294967296/d", "4294967297/d", "18446744073709551616/d", "100000001/h",
                                      "10000000000000000/h", "-2147483649/d"})
    {
        EXPECT_FALSE(Write(D.PRI_SERVAL, "SERVAL", {strText}));
        EXPECT_EQ(strError, "Value limit exceeded: " + strText + ",");
    }
    EXPECT_FALSE(Write(D.DIN_MS_DET_LOW, "MS_DET_LOW", {"-1/d"}));
    EXPECT_EQ(strError, "Value limit exceeded: -1/d,");
}

TEST_F(TextService, RefusedWritesChangeNothingAndReport)
{
    auto& Shift = D.AUD_CNTRL0.SHIFT_HP;
    H.Log.clear();
    EXPECT_FALSE(Write(D.AUD_CNTRL0, "SHIFT_HP", {"8/d"}));
    EXPECT_EQ(strError, "Value limit exceeded: 8/d,");
    EXPECT_FALSE(Write(D.AUD_CNTRL0, "SHIFT_HP", {"31"}));
    EXPECT_EQ(strError, "Invalid value(s) submitted: 31,Wrong format specified (use /d for decimal or /h for hex values)");
    EXPECT_FALSE(Write(D.AUD_CNTRL0, "TRIG_SEL", {"3/d"}));
    EXPECT_EQ(strError, "Invalid value(s) submitted: 3/d,");
    EXPECT_FALSE(Write(D.AUD_CNTRL0, "TRIG_SEL", {"marker_sig_3"}));
    EXPECT_EQ(strError, "Invalid value(s) submitted: marker_sig_3,") << "names are case-sensitive";
    EXPECT_FALSE(Write(D.AUD_CNTRL0, "NOPE", {"1/d"}));
    EXPECT_EQ(strError, "Invalid signal submitted: NOPE");
    EXPECT_EQ(H.Utility.m_Reports,
              (std::vector<std::string>{
                  "CSignalBase::ServiceWrite|Value limit exceeded: 8/d,",
                  "CSignalBase::ServiceWrite|Invalid value(s) submitted: 31,Wrong format specified (use /d for decimal "
                  "or /h for hex values)",
                  "CSignalBase::ServiceWrite|Invalid value(s) submitted: 3/d,",
                  "CSignalBase::ServiceWrite|Invalid value(s) submitted: marker_sig_3,",
                  "CRegisterBase::ServiceWrite|Invalid signal submitted: NOPE"}));
    EXPECT_EQ(H.Log.front(), "ReportError SignalBase | CSignalBase::ServiceWrite | Value limit exceeded: 8/d,");
    EXPECT_EQ(std::count_if(H.Log.begin(), H.Log.end(), [](const std::string& s) { return s.rfind("Write", 0) == 0; }),
              0) << "nothing written";
    EXPECT_EQ(Shift.GetLockState(), static_cast<unsigned>(UNLOCKED)) << "lock state unchanged";

    // No value at all is refused too, leaving the signal as it was.
    EXPECT_FALSE(Write(D.AUD_CNTRL0, "SHIFT_HP", {}));
    EXPECT_EQ(strError, "Invalid value(s) submitted: ");
    EXPECT_TRUE(Shift.Set(2, CSignalBase::HW_WRITE_IMMEDIATE));
}

TEST_F(TextService, EnumeratedSignals)
{
    H.Bus.m_Words[0xE00] = 0;
    EXPECT_TRUE(Write(D.AUD_CNTRL0, "TRIG_SEL", {"MARKER_SIG_3"}));
    EXPECT_EQ(H.Log.back(), "Write 0xE00 3: 0x3");
    // Texts after the first name are numbers: tested, not used.
    D.AUD_CNTRL0.TRIG_SEL.Unlock();
    EXPECT_FALSE(Write(D.AUD_CNTRL0, "TRIG_SEL", {"MARKER_SIG_1", "9"}));
    EXPECT_EQ(strError, "Invalid value(s) submitted: MARKER_SIG_1,9,Wrong format specified (use /d for decimal or /h "
                        "for hex values)");
    EXPECT_TRUE(Write(D.AUD_CNTRL0, "TRIG_SEL", {"nonsense", "MARKER_SIG_5", "1/d"}));
    EXPECT_EQ(H.Log.back(), "Write 0xE00 3: 0x5");

    Texts Values{"kept?"};
    H.Bus.m_Words[0xE00] = 6;
    EXPECT_TRUE(D.AUD_CNTRL0.ServiceRead("TRIG_SEL", Values, strError, 0, 1));
    EXPECT_EQ(Values, Texts{"MARKER_SIG_6"}) << "replaced by the hardware field's name";
    EXPECT_EQ(D.AUD_CNTRL0.TRIG_SEL.Get(false), AUD_CNTRL0::CSignal_TRIG_SEL::MARKER_SIG_0)
        << "still locked on the application's own value";

    H.Bus.m_Words[0x11A] = 0x60;
    EXPECT_EQ(D.DIN_MS_DET_LOW.GetValueByString("ROUND_MODE"), Texts{"3"}) << "a value without a name as its number";
    EXPECT_EQ(D.DIN_MS_DET_LOW.GetValueByString("nope"), Texts{"Function not found!"});
}

TEST_F(TextService, ReadsKeepTheLockStateAndAppend)
{
    // A service read shows the hardware's field and leaves the application's word alone:
    // a later Unlock puts the application's value back.
    auto& Shift = D.AUD_CNTRL0.SHIFT_HP;
    Shift.Set(2, CSignalBase::HW_WRITE_IMMEDIATE);
    H.Bus.m_Words[0xE00] = 6 << 9;
    Texts Read;
    EXPECT_TRUE(D.AUD_CNTRL0.ServiceRead("SHIFT_HP", Read, strError, 0, 1));
    EXPECT_EQ(Read, Texts{"00000006/h"});
    Shift.Lock();
    EXPECT_TRUE(Shift.Unlock());
    EXPECT_EQ(H.Log.back(), "Write 0xE00 3: 0x400");

    auto& Ms = D.DIN_MS_DET_LOW.MS_DET_LOW;
    Ms.Lock();
    H.Bus.m_Words[0x11A] = 31;
    Texts Values{"before"};
    EXPECT_TRUE(D.DIN_MS_DET_LOW.ServiceRead("MS_DET_LOW", Values, strError, 0, 1));
    EXPECT_EQ(Values, (Texts{"before", "0000001F/h"}));
    EXPECT_FALSE(Ms.Set(1, CSignalBase::HW_WRITE_IMMEDIATE)) << "still locked";
    EXPECT_EQ(strError, "untouched");

    Values.clear();
    EXPECT_FALSE(D.DIN_MS_DET_LOW.ServiceRead("NOPE", Values, strError, 0, 1));
    EXPECT_EQ(strError, "Invalid signal submitted: NOPE");
    EXPECT_EQ(H.Utility.m_Reports, std::vector<std::string>{"CRegisterBase::ServiceRead|Invalid signal submitted: NOPE"});
}

TEST_F(TextService, WholeRegisterByEmptySignalName)
{
    H.Bus.m_Words[0x11A] = 0xC0000001;
    Texts Values;
    EXPECT_TRUE(D.DIN_MS_DET_LOW.ServiceRead("", Values, strError, 3, 9));
    EXPECT_EQ(Values, Texts{"C0000001/h"}) << "one word, start and count ignored";

    D.AUD_CNTRL0.Lock("MULT_HP", strError);
    H.Log.clear();
    EXPECT_TRUE(Write(D.AUD_CNTRL0, "", {"ABCDEF/h", "7/d"}));
    EXPECT_EQ(H.Log, CallLog{"Write 0xE00 3: 0xABCDEF"});
    EXPECT_EQ(D.AUD_CNTRL0.SHIFT_DE.Get(false), 2u) << "both words take the whole value";
    EXPECT_EQ(D.AUD_CNTRL0.MULT_HP.Get(false), 0x3Du) << "the whole word is replaced, signal locks notwithstanding";
    EXPECT_TRUE(D.AUD_CNTRL0.SHIFT_DE.Set(1, CSignalBase::HW_WRITE_IMMEDIATE)) << "signal locks untouched";

    H.Log.clear();
    EXPECT_FALSE(Write(D.AUD_CNTRL0, "", {"1/d", "x", "2/h", "y"}));
    EXPECT_EQ(strError, "Invalid value format!");
    EXPECT_TRUE(H.Log.size() == 2 && H.Utility.m_Reports.size() == 2) << "each bad text reported once, nothing written";
    EXPECT_EQ(H.Log.front(), "ReportError RegisterBase | CRegisterBase::ServiceWriteRAM | Invalid value format!");

    H.Log.clear();
    EXPECT_FALSE(Write(D.AUD_CNTRL0, "", {}));
    EXPECT_EQ(H.Log, CallLog{"ReportError RegisterBase | CRegisterBase::ServiceWriteRAM | Invalid value format!"});
}
