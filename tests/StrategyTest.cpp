// Bus traffic of the four access strategies, seen through registers and a bare strategy.
#include "HostDoubles.h"
#include "TestRegisters.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ZEVTEST;

namespace
{
// The sequential strategy on its own, for byte counts no register uses.
struct CSequentialProbe : CSequentialRead_ParallelWrite
{
    explicit CSequentialProbe(CHWAccess* a_pAdapter) : CSequentialRead_ParallelWrite(a_pAdapter) {}
    using CSequentialRead_ParallelWrite::Read;
    using CSequentialRead_ParallelWrite::SetAdapter;
    using CSequentialRead_ParallelWrite::Write;
};

struct CDirectProbe : CParallelRead_ParallelWrite
{
    explicit CDirectProbe(CHWAccess* a_pAdapter) : CParallelRead_ParallelWrite(a_pAdapter) {}
    using CParallelRead_ParallelWrite::Read;
    using CParallelRead_ParallelWrite::SetAdapter;
    using CParallelRead_ParallelWrite::Write;
};

bool Contains(const CallLog& a_rLog, const std::string& a_strLine)
{
    return std::find(a_rLog.begin(), a_rLog.end(), a_strLine) != a_rLog.end();
}
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

TEST(SequentialRead, PollLimitAndStopWaiting)
{
    {
        SCOPED_TRACE("never ready: 10000 polls, 9999 questions, one report, the word marked failed");
        SHost H;
        H.Bus.m_bRecordPolls = false;
        H.Utility.m_bRecordStopWaiting = false;
        H.Bus.m_udwReadyAfterPolls = 0;
        H.Bus.m_Words[0xE00] = 5;
        CRegister_AUD_CNTRL0 R(&H.Bus, &H.Status);
        EXPECT_EQ(R.GetNotTypedValue(0, 1), std::vector<unsigned>{0xFFFFFFFF});
        EXPECT_EQ(H.Bus.m_udwPollsSinceReset, 10000u);
        EXPECT_EQ(H.Utility.m_udwStopWaitingCalls, 9999u);
        EXPECT_EQ(H.Utility.m_Reports, std::vector<std::string>{"CSequentialRead_ParallelWrite::Read|,HW device not ready!"});
        EXPECT_FALSE(Contains(H.Log, "Read 0x1E 4"));
        EXPECT_EQ(H.Log.back(), "ReportError SequentialRead_ParallelWrite | CSequentialRead_ParallelWrite::Read | "
                                ",HW device not ready!");
    }
    {
        SCOPED_TRACE("ready at the 10000th poll: fetched, nothing reported");
        SHost H;
        H.Bus.m_bRecordPolls = false;
        H.Utility.m_bRecordStopWaiting = false;
        H.Bus.m_udwReadyAfterPolls = 10000;
        H.Bus.m_Words[0xE00] = 0x123;
        CRegister_AUD_CNTRL0 R(&H.Bus, &H.Status);
        EXPECT_EQ(R.GetNotTypedValue(0, 1), std::vector<unsigned>{0x123});
        EXPECT_TRUE(H.Utility.m_Reports.empty());
    }
    {
        SCOPED_TRACE("StopWaiting true at once: one poll, then fetched as if ready");
        SHost H;
        H.Bus.m_udwReadyAfterPolls = 0;
        H.Utility.m_iStopAtCall = 1;
        H.Bus.m_Words[0xE00] = 0x77;
        CRegister_AUD_CNTRL0 R(&H.Bus, &H.Status);
        EXPECT_EQ(R.GetNotTypedValue(0, 1), std::vector<unsigned>{0x77});
        EXPECT_EQ(H.Log, (CallLog{"Write 0x18 4: 0x10000", "Read 0xE00 4", "Wait 8", "Read 0x18 4", "StopWaiting",
                                  "Wait 50", "Read 0x1E 4"}));
        EXPECT_TRUE(H.Utility.m_Reports.empty());
    }
}

TEST(SequentialRead, HostExceptionIsCaughtAndReported)
{
    SHost H;
    H.Bus.m_Words[0xE00] = 0x42;
    H.Bus.m_iThrowOnRead = 1;  // the start read
    CRegister_AUD_CNTRL0 R(&H.Bus, &H.Status);
    EXPECT_EQ(R.GetNotTypedValue(0, 1), std::vector<unsigned>{0xFFFFFFFF});
    EXPECT_EQ(H.Log, (CallLog{"Write 0x18 4: 0x10000", "Read 0xE00 throws",
                              "ReportError SequentialRead_ParallelWrite | CSequentialRead_ParallelWrite::Read | "
                              ",Unknown error!"}));

    // Thrown at the fetch of the second word: the first word is marked, later words keep theirs.
    SHost H2;
    CSequentialProbe Probe(&H2.Bus);
    H2.Bus.m_Words[0x40] = 1;
    H2.Bus.m_Words[0x41] = 2;
    H2.Bus.m_iThrowOnRead = 6;  // start, poll, fetch, start, poll, fetch
    unsigned audwWords[3] = {9, 9, 9};
    Probe.Read(0x40, 0, audwWords[0], 12);
    EXPECT_EQ(audwWords[0], 0xFFFFFFFFu);
    EXPECT_EQ(audwWords[1], 9u);
    EXPECT_EQ(audwWords[2], 9u);
    EXPECT_EQ(H2.Utility.m_Reports, std::vector<std::string>{"CSequentialRead_ParallelWrite::Read|,Unknown error!"});
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

TEST(DirectStrategies, OneHostCallPerTransferAndRefusedDirections)
{
    SHost H;
    H.Bus.m_Words[0x1E] = 0xCAFE;
    CRegister_PRI_SERVAL Serval(&H.Bus, &H.Status);
    EXPECT_EQ(Serval.SERVAL.Get(true), 0xCAFEu);
    EXPECT_EQ(H.Log, CallLog{"Read 0x1E 4"});

    H.Log.clear();
    EXPECT_TRUE(Serval.SERVAL.Set(1, CSignalBase::HW_WRITE_IMMEDIATE)) << "a refused write still counts as handed over";
    EXPECT_EQ(H.Log, CallLog{"ReportAccessDenied ParallelRead | CParallelRead::Write | ,No write access allowed!"});

    H.Log.clear();
    CRegister_DET_RESET Reset(&H.Bus, &H.Status);
    EXPECT_TRUE(Reset.DET1_RESET.Set(1, CSignalBase::HW_WRITE_IMMEDIATE));
    EXPECT_EQ(Reset.DET1_RESET.Get(true), 1u) << "the refused read leaves the word as it was";
    EXPECT_EQ(Reset.DET1_RESET.Get(true), 1u);
    EXPECT_EQ(H.Log, (CallLog{"Write 0x1201 2: 0x2",
                              "ReportAccessDenied ParallelWrite | CParallelWrite::Read | ,No read access allowed!",
                              "ReportAccessDenied ParallelWrite | CParallelWrite::Read | ,No read access allowed!"}));

    H.Log.clear();
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
