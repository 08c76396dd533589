// Text service of signals and registers: value texts, range checks, lock states, every
// error text and report.
#include "HostDoubles.h"
#include "TestRegisters.h"

#include <gtest/gtest.h>

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

TEST_F(TextService, TheHostSeesServiceAccessWhileTheServiceWrites)
{
    CWatchingBus Bus(H.Log);
    CRegister_AUD_CNTRL0 R(&Bus, &H.Status);
    Bus.m_pWatched = &R.SHIFT_HP;
    EXPECT_TRUE(R.ServiceWrite("SHIFT_HP", {"5/d"}, strError, 0));
    EXPECT_EQ(Bus.m_Seen, std::vector<unsigned>{2}) << "SERVICE_ACCESS is 2 to a host while the service writes";
    EXPECT_EQ(R.SHIFT_HP.GetLockState(), 1u) << "and LOCKED 1 after";
    EXPECT_EQ(strError, "untouched");
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
    Ms.Unlock();
    EXPECT_TRUE(Write(D.DIN_MS_DET_LOW, "MS_DET_LOW", {"1a/h"}));
    EXPECT_EQ(H.Log.back(), "Write 0x11A 4: 0x1A");
    Ms.Unlock();
    EXPECT_TRUE(Write(D.DIN_MS_DET_LOW, "MS_DET_LOW", {"x", "3/d"})) << "the last number's marker decides";
    EXPECT_EQ(H.Log.back(), "Write 0x11A 4: 0x3");

    EXPECT_TRUE(Write(D.PRI_SERVAL, "SERVAL", {"-1/d"}));
    EXPECT_TRUE(Write(D.PRI_SERVAL, "SERVAL", {"-2147483648/d"})) << "the smallest 32-bit number";
    // Beyond 32 bits is refused however far beyond: no wrap-around, no saturation to FFFFFFFF.
    for (const std::string strText : {"100000000/h", "4294967296/d", "4294967297/d", "18446744073709551616/d",
                                      "100000001/h", "10000000000000000/h", "-2147483649/d"})
    {
        EXPECT_FALSE(Write(D.PRI_SERVAL, "SERVAL", {strText}));
        EXPECT_EQ(strError, "Value limit exceeded: " + strText + ",");
    }
    EXPECT_FALSE(Write(D.DIN_MS_DET_LOW, "MS_DET_LOW", {"-1/d"}));
    EXPECT_EQ(strError, "Value limit exceeded: -1/d,");
}

TEST_F(TextService, RefusedWritesWriteNothingAndReport)
{
    const struct
    {
        const char* m_pcSignal;
        Texts m_Values;
        const char* m_pcReport;  // file | function |
        std::string m_strError;
    } aCases[] = {
        {"SHIFT_HP", {"31"}, "SignalBase | CSignalBase::ServiceWrite | ",
         "Invalid value(s) submitted: 31,Wrong format specified (use /d for decimal or /h for hex values)"},
        {"SHIFT_HP", {}, "SignalBase | CSignalBase::ServiceWrite | ", "Invalid value(s) submitted: "},
        {"TRIG_SEL", {"marker_sig_3"}, "SignalBase | CSignalBase::ServiceWrite | ", "Invalid value(s) submitted: marker_sig_3,"},
        // Texts after the first name are numbers: tested, not used.
        {"TRIG_SEL", {"MARKER_SIG_1", "9"}, "SignalBase | CSignalBase::ServiceWrite | ",
         "Invalid value(s) submitted: MARKER_SIG_1,9,Wrong format specified (use /d for decimal or /h for hex values)"},
        {"NOPE", {"1/d"}, "RegisterBase | CRegisterBase::ServiceWrite | ", "Invalid signal submitted: NOPE"},
        {"", {"1/d", "x", "2/h", "y"}, "RegisterBase | CRegisterBase::ServiceWriteRAM | ", "Invalid value format!"},
        {"", {}, "RegisterBase | CRegisterBase::ServiceWriteRAM | ", "Invalid value format!"}};
    for (const auto& Case : aCases)
    {
        SCOPED_TRACE(Case.m_strError);
        H.Log.clear();
        strError = "untouched";
        EXPECT_FALSE(Write(D.AUD_CNTRL0, Case.m_pcSignal, Case.m_Values));
        EXPECT_EQ(strError, Case.m_strError);
        // A whole-register write reports each bad text once.
        const CallLog Reports(Case.m_Values.size() == 4 ? 2 : 1, "ReportError " + (Case.m_pcReport + Case.m_strError));
        EXPECT_EQ(H.Log, Reports);
    }
}

TEST_F(TextService, EnumeratedSignals)
{
    EXPECT_TRUE(Write(D.AUD_CNTRL0, "TRIG_SEL", {"nonsense", "MARKER_SIG_5", "1/d"}));
    EXPECT_EQ(H.Log.back(), "Write 0xE00 3: 0x5");

    Texts Values{"kept?"};
    H.Bus.m_Words[0xE00] = 6;
    EXPECT_TRUE(D.AUD_CNTRL0.ServiceRead("TRIG_SEL", Values, strError, 0, 1));
    EXPECT_EQ(Values, Texts{"MARKER_SIG_6"}) << "replaced by the hardware field's name";

    H.Bus.m_Words[0x11A] = 0x60;
    EXPECT_EQ(D.DIN_MS_DET_LOW.GetValueByString("ROUND_MODE"), Texts{"3"}) << "a value without a name as its number";
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
}
