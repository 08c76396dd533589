// Bus traffic of the four access strategies, seen through registers and a bare strategy.
#include "HostDoubles.h"
#include "TestRegisters.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ZEVTEST;

namespace
{
// A strategy on its own, for byte counts no register uses.
template <class TStrategy>
struct CProbe : TStrategy
{
    explicit CProbe(CHWAccess* a_pAdapter) : TStrategy(a_pAdapter) {}
    using TStrategy::Read;
    using TStrategy::SetAdapter;
    using TStrategy::Write;
};
using CSequentialProbe = CProbe<CSequentialRead_ParallelWrite>;
using CDirectProbe = CProbe<CParallelRead_ParallelWrite>;
} // namespace

TEST(SequentialRead, ReadyAtThirdPollMakesExactlyTheseHostCalls)
{
    SHost H;
    CRegister_AUD_CNTRL0 R(&H.Bus, &H.Status);
    H.Bus.m_Words[0xE00] = 0x00ABCDEF;
    H.Bus.m_udwReadyAfterPolls = 3;

    EXPECT_EQ(R.GetNotTypedValue(0, 1), std::vector<unsigned>{0x00ABCDEF});
    EXPECT_EQ(H.Log, (CallLog{"Write 0x18 4: 0x10000", "Read 0xE00 4", "Wait 8", "Read 0x18 4", "StopWaiting",
                              "Wait 8", "Read 0x18 4", "StopWaiting", "Wait 8", "Read 0x18 4", "Wait 50",
                              "Read 0x1E 4"}));
    EXPECT_TRUE(H.Utility.m_Reports.empty());
}

// Never ready: 10000 polls, 9999 questions, no fetch, one report, the word marked failed.
// Ready at the 10000th poll: fetched. StopWaiting true at once: one poll, then fetched as if ready.
TEST(SequentialRead, PollLimitAndStopWaiting)
{
    const struct
    {
        unsigned m_udwReadyAfter;
        int m_iStopAt;
        unsigned m_udwPolls, m_udwQuestions, m_udwWord;
    } aCases[] = {{0, 0, 10000, 9999, 0xFFFFFFFF}, {10000, 0, 10000, 9999, 0x77}, {0, 1, 1, 1, 0x77}};
    for (const auto& Case : aCases)
    {
        SCOPED_TRACE(&Case - aCases);
        SHost H;
        H.Bus.m_bRecordPolls = false;
        H.Utility.m_bRecordStopWaiting = false;
        H.Bus.m_udwReadyAfterPolls = Case.m_udwReadyAfter;
        H.Utility.m_iStopAtCall = Case.m_iStopAt;
        H.Bus.m_Words[0xE00] = 0x77;
        CRegister_AUD_CNTRL0 R(&H.Bus, &H.Status);
        EXPECT_EQ(R.GetNotTypedValue(0, 1), std::vector<unsigned>{Case.m_udwWord});
        EXPECT_EQ(H.Bus.m_udwPollsSinceReset, Case.m_udwPolls);
        EXPECT_EQ(H.Utility.m_udwStopWaitingCalls, Case.m_udwQuestions);
        EXPECT_EQ(CallLog(H.Log.end() - 2, H.Log.end()),
                  (CallLog{"Wait 50", Case.m_udwWord == 0x77 ? "Read 0x1E 4"
                                                              : "ReportError SequentialRead_ParallelWrite | "
                                                                "CSequentialRead_ParallelWrite::Read | ,HW device not ready!"}));
    }
}

// Thrown at the fetch of the second word: the first word is marked, later words keep theirs.
TEST(SequentialRead, HostExceptionMarksTheFirstWordOnly)
{
    SHost H;
    CSequentialProbe Probe(&H.Bus);
    H.Bus.m_Words[0x40] = 1;
    H.Bus.m_Words[0x41] = 2;
    H.Bus.m_iThrowOnRead = 6;  // start, poll, fetch, start, poll, fetch
    unsigned audwWords[3] = {9, 9, 9};
    Probe.Read(0x40, 0, audwWords[0], 12);
    EXPECT_EQ(std::vector<unsigned>(audwWords, audwWords + 3), (std::vector<unsigned>{0xFFFFFFFF, 9, 9}));
    EXPECT_EQ(H.Utility.m_Reports, std::vector<std::string>{"CSequentialRead_ParallelWrite::Read|,Unknown error!"});
}

TEST(SequentialRead, ByteCountsAndAdapterReplacement)
{
    SHost H;
    CSequentialProbe Probe(&H.Bus);
    unsigned udwWord = 7;
    Probe.Read(0x40, 0, udwWord, 0);
    EXPECT_TRUE(H.Log.empty()) << "no word, no host call";

    // 5 bytes round up to two words, each with its own reset, start and fetch.
    H.Bus.m_Words[0x40] = 0xA;
    H.Bus.m_Words[0x41] = 0xB;
    unsigned audwWords[2] = {};
    Probe.Read(0x40, 0, audwWords[0], 5);
    EXPECT_EQ(audwWords[0], 0xAu);
    EXPECT_EQ(audwWords[1], 0xBu);
    EXPECT_EQ(std::count(H.Log.begin(), H.Log.end(), "Write 0x18 4: 0x10000"), 2);

    // A replaced adapter still waits for the read-back ready bit.
    SHost Other;
    Other.Bus.m_Words[0x50] = 0x55;
    Probe.SetAdapter(&Other.Bus);
    Probe.Read(0x50, 0, udwWord, 4);
    EXPECT_EQ(udwWord, 0x55u);
    EXPECT_EQ(Other.Log.front(), "Write 0x18 4: 0x10000");
}

TEST(DirectStrategies, ZeroBytesAndAReplacedAdapter)
{
    SHost H;
    CDirectProbe Probe(&H.Bus);
    unsigned udwWord = 3;
    Probe.Read(0x60, 0, udwWord, 0);
    Probe.Write(0x60, 0, udwWord, 0);
    EXPECT_EQ(H.Log, (CallLog{"Read 0x60 0", "Write 0x60 0:"})) << "zero bytes still reach the host";
    SHost Other;
    Probe.SetAdapter(&Other.Bus);
    Probe.Write(0x61, 0, udwWord, 4);
    EXPECT_EQ(Other.Log, CallLog{"Write 0x61 4: 0x3"}) << "a replaced adapter takes the transfers";
}

// Without an adapter nothing reaches a host, refused directions included.
TEST(DirectStrategies, NullAdapterDoesNothingAnywhere)
{
    SHost H;
    CTestDevice Device(nullptr, &H.Utility, &H.Status);
    EXPECT_TRUE(Device.SetToDefault());
    Device.AUD_CNTRL0.TRIG_SEL.Set(AUD_CNTRL0::CSignal_TRIG_SEL::MARKER_SIG_2, CSignalBase::HW_WRITE_IMMEDIATE);
    Device.AUD_CNTRL0.TRIG_SEL.Get(true);
    Device.DET_RESET.DET0_RESET.Get(true);
    Device.PRI_SERVAL.SERVAL.Set(3, CSignalBase::HW_WRITE_IMMEDIATE);
    const unsigned audwWords[7] = {1, 2, 3, 4, 5, 6, 7};
    unsigned audwRead[7] = {};
    Device.ENT_H1.Set(audwWords, 0, 7, false);
    Device.ENT_H1.Get(audwRead, 0, 7, true);
    std::ostringstream Out;
    Device.SnapShot(Out);
    EXPECT_TRUE(H.Log.empty());
}
