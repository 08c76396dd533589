// The simulated ZEV under the library: values round-trip through every access strategy
// and the read-back path, status bits clear on a written one, faults reach the reports.
#include "LineNumbers.h"
#include "ZEV.h"
#include "ZevSimulator.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{
using Texts = std::list<std::string>;

std::string HexText(unsigned a_udwValue)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "%08X/h", a_udwValue);
    return acText;
}

struct Simulator : ::testing::Test
{
    std::ostringstream Reports;
    SSimulatedHost Host{Reports};
    CZEV Z{&Host.Bus, &Host.Utility, &Host.Status};
    std::string strError;
};
} // namespace

TEST_F(Simulator, EveryRegisterRoundTripsThroughItsStrategy)
{
    Host.Utility.m_bQuietAccessDenied = true;
    unsigned udwSeed = 0x9E3779B9;
    for (unsigned i = 0; i < g_udwZevRegisterCount; ++i)
    {
        const SMapRegister& Reg = g_aZevRegisterMap[i];
        SCOPED_TRACE(Reg.m_pcName);
        udwSeed = udwSeed * 1664525u + 1013904223u;
        const unsigned udwMask = Reg.m_udwWidth == 32 ? 0xFFFFFFFFu : (1u << Reg.m_udwWidth) - 1;
        const unsigned udwValue = udwSeed & udwMask;
        const std::string strAccess = Reg.m_pcAccess;
        const unsigned udwLast = Reg.m_udwWords - 1;
        const unsigned udwDenied = Host.Utility.m_udwAccessDenied;
        if (Reg.m_bStatus)
        {
            // Status bits come from the device and clear on a written one.
            Host.Bus.RaiseStatus(Reg.m_udwAddress, udwValue);
            Texts Values;
            ASSERT_TRUE(Z.ServiceRead(Reg.m_pcName, "", Values, strError, 0, 1));
            EXPECT_EQ(Values, Texts{HexText(udwValue)});
            ASSERT_TRUE(Z.ServiceWrite(Reg.m_pcName, "", {HexText(udwValue & 0xFFFF)}, strError, 0));
            EXPECT_EQ(Host.Bus.Peek(Reg.m_udwAddress), udwValue & 0xFFFF0000u);
            continue;
        }

        ASSERT_TRUE(Z.ServiceWrite(Reg.m_pcName, "", {HexText(udwValue)}, strError, udwLast));
        if (strAccess == "CParallelRead")
        {
            EXPECT_EQ(Host.Utility.m_udwAccessDenied, udwDenied + 1) << "a read-only register refuses the write";
            Host.Bus.Poke(Reg.m_udwAddress, udwValue);  // the device sets it itself
        }
        else
        {
            EXPECT_EQ(Host.Bus.Peek(Reg.m_udwAddress + udwLast), udwValue);
        }
        Texts Values;
        ASSERT_TRUE(Z.ServiceRead(Reg.m_pcName, "", Values, strError, udwLast, 1));
        if (strAccess == "CParallelWrite")
            EXPECT_EQ(Host.Utility.m_udwAccessDenied, udwDenied + 1) << "a write-only register refuses the read";
        else
            EXPECT_EQ(Values, Texts{HexText(udwValue)});
    }
    EXPECT_EQ(Reports.str(), "") << "no error besides the refused directions";
}

TEST_F(Simulator, ReadBackPathAndWidths)
{
    Host.Bus.m_udwReadyAfterPolls = 3;
    const unsigned audwWords[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_TRUE(Z.ENT_H1.Set(audwWords, 0, 7, false));
    unsigned audwRead[7] = {};
    Host.Bus.m_Counters = {};
    EXPECT_TRUE(Z.ENT_H1.Get(audwRead, 0, 7, true));
    EXPECT_EQ(std::vector<unsigned>(audwRead, audwRead + 7), std::vector<unsigned>(audwWords, audwWords + 7));
    EXPECT_EQ(Host.Bus.m_Counters.m_uReads, 7u * (1 + 3 + 1)) << "per word: start, three polls, fetch";
    EXPECT_EQ(Host.Bus.m_Counters.m_uWrites, 7u);

    // A plain register keeps only its width's bytes.
    const unsigned udwAll = 0xFFFFFFFF;
    Host.Bus.Write(0x0E01, &udwAll, 4);  // AUD_CNTRL1, 16 bits
    EXPECT_EQ(Host.Bus.Peek(0x0E01), 0xFFFFu);
    Host.Bus.Write(0x0E00, &udwAll, 3);  // AUD_CNTRL0, 24 bits
    EXPECT_EQ(Host.Bus.Peek(0x0E00), 0xFFFFFFu);
    EXPECT_EQ(Z.AUD_CNTRL0.TRIG_SEL.Get(true), ZEV::AUD_CNTRL0::CSignal_TRIG_SEL::MARKER_SIG_7);
    Host.Bus.Write(0x0001, &udwAll, 4);
    EXPECT_EQ(Host.Bus.m_Counters.m_uUnmapped, 1u) << "0x0001 is no register";
}

TEST_F(Simulator, StatusRegistersClearOnAWrittenOne)
{
    using RecEnd = ZEV::PRI_STATUSREG1::CSignal_SR1_B_REC_END;
    Host.Bus.RaiseStatus(24, 0x8000 | 0x1);
    EXPECT_EQ(Z.PRI_STATUSREG1.SR1_B_REC_END.Get(true), RecEnd::ON);
    EXPECT_TRUE(Z.PRI_STATUSREG1.SR1_B_REC_END.Set(RecEnd::ON, CSignalBase::HW_WRITE_IMMEDIATE));
    EXPECT_EQ(Host.Bus.Peek(24), 0x8001u) << "software cannot raise or keep a bit by setting it";
    EXPECT_TRUE(Z.PRI_STATUSREG1.SR1_B_REC_END.Set(RecEnd::OFF, CSignalBase::HW_WRITE_IMMEDIATE));
    EXPECT_EQ(Host.Bus.Peek(24), 0x1u);
    Host.Bus.RaiseStatus(0x1D, 0x00FFFFFF);
    EXPECT_TRUE(Z.PRI_STATUSREG6.ResetAllStatusBits());
    EXPECT_EQ(Host.Bus.Peek(0x1D), 0u);
    Host.Bus.RaiseStatus(0x0E00, 1);
    EXPECT_EQ(Host.Bus.Peek(0x0E00), 0u) << "only status registers raise bits";
}

TEST_F(Simulator, AHostThatStopsWaitingAndABusThatAlwaysThrows)
{
    Host.Bus.Poke(0x0E00, 0x42);
    Host.Bus.m_udwReadyAfterPolls = 0;
    Host.Utility.m_bStopWaiting = true;
    EXPECT_EQ(Z.GetValueByString("AUD_CNTRL0", "MULT_HP"), Texts{"8"}) << "giving up waiting fetches the latched word";
    EXPECT_EQ(Reports.str(), "");

    Host.Bus.m_iThrowOnRead = -1;
    EXPECT_THROW(Z.PRI_SERVAL.SERVAL.Get(true), std::runtime_error);
    EXPECT_THROW(Z.PRI_SERVAL.SERVAL.Get(true), std::runtime_error) << "every read";
}

// A report goes to its stream in one write, so that a daemon's audit lines on the same
// stream never land inside it.
TEST(SimulatorReports, AReportIsOneWriteOfOneLine)
{
    struct CPieces : std::stringbuf
    {
        std::streamsize xsputn(const char* a_pcText, std::streamsize a_iCount) override
        {
            ++m_iPieces;
            return std::stringbuf::xsputn(a_pcText, a_iCount);
        }
        int m_iPieces = 0;
    } Pieces;
    std::ostream Stream(&Pieces);
    CStreamUtility Utility(Stream);
    Utility.ReportError("File", 12, "Function", "Message");
    Utility.ReportError(nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(Pieces.str(), "File:12: Function: Message\n:0: : \n");
    EXPECT_EQ(Pieces.m_iPieces, 2);
}

TEST_F(Simulator, TraceShowsEveryTransfer)
{
    std::ostringstream Trace;
    Host.Bus.SetTrace(&Trace);
    Z.AUD_CNTRL0.TRIG_SEL.Set(ZEV::AUD_CNTRL0::CSignal_TRIG_SEL::MARKER_SIG_3, CSignalBase::HW_WRITE_IMMEDIATE);
    Z.AUD_CNTRL0.TRIG_SEL.Get(true);
    const std::vector<unsigned> Ten(10, 0xAB);
    Z.PWR_RAMP.Set(Ten.data(), 0, 10, false);
    EXPECT_EQ(Trace.str(), "bus: W 0x00E00 3 0x00000003\n"
                           "bus: W 0x00018 4 0x00010000\n"
                           "bus: R 0x00E00 4 -> 0x00000000\n"
                           "bus: wait 8\n"
                           "bus: R 0x00018 4 -> 0x00010000\n"
                           "bus: wait 50\n"
                           "bus: R 0x0001E 4 -> 0x00000003\n"
                           "bus: W 0x01800 40 0x000000AB 0x000000AB 0x000000AB 0x000000AB 0x000000AB 0x000000AB "
                           "0x000000AB 0x000000AB ... (10 words)\n");
}

// The bus as a host tool may drive it: odd byte counts, the memories' one-step copies, the
// read-back path's flags, unmapped and read-only addresses, counters and a counted fault.
TEST_F(Simulator, TransfersAtTheEdgesOfTheAddressSpace)
{
    Z.PRI_SERVAL.SERVAL.Set(1, CSignalBase::HW_WRITE_IMMEDIATE);
    EXPECT_EQ(HideLineNumbers(Reports.str()), "ParallelRead:#: CParallelRead::Write: ,No write access allowed!\n")
        << "refused directions are shown unless told otherwise";
    EXPECT_EQ(Host.Utility.m_udwReports, 1u);
    EXPECT_EQ(Host.Utility.m_udwAccessDenied, 1u);

    CSimBus& Bus = Host.Bus;
    const unsigned kCode = 0x2000;  // SWP_CODE_RAM, read directly
    const unsigned audwOut[5] = {11, 12, 13, 14, 15};
    ASSERT_TRUE(Z.SWP_CODE_RAM.Set(audwOut, 10, 5, false));
    Bus.Poke(kCode + 14, 99);  // the device's own change, for the read to fetch
    unsigned audwIn[5] = {};
    Bus.m_Counters = {};
    ASSERT_TRUE(Z.SWP_CODE_RAM.Get(audwIn, 10, 5, true));
    EXPECT_EQ(std::vector<unsigned>(audwIn, audwIn + 5), (std::vector<unsigned>{11, 12, 13, 14, 99}));
    EXPECT_EQ(Bus.m_Counters.m_uReads, 1u);
    EXPECT_EQ(Bus.m_Counters.m_uBytesRead, 20u);
    // A partial last word is still a word: 9 and 10 bytes touch three.
    for (unsigned udwBytes : {9u, 10u})
    {
        unsigned audwWords[3] = {0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE};
        Bus.Read(kCode + 10, audwWords, udwBytes);
        EXPECT_EQ(std::vector<unsigned>(audwWords, audwWords + 3), (std::vector<unsigned>{11, 12, 13})) << udwBytes;
        const unsigned audwThree[3] = {1, 2, udwBytes};
        Bus.Write(kCode + 20, audwThree, udwBytes);
        EXPECT_EQ(Bus.Peek(kCode + 22), udwBytes);
    }
    EXPECT_EQ(Bus.m_Counters.m_uBytesWritten, 19u);
    // Plain registers take only the bytes sent: DIN_CNTRL0, DIN_CNTRL1, then one byte of DIN_TH1_RE_MAX.
    const unsigned audwAll[3] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    Bus.Write(0x100, audwAll, 9);
    EXPECT_EQ(Bus.Peek(0x101), 0xFFFFFFFFu);
    EXPECT_EQ(Bus.Peek(0x102), 0xFFu);

    // A sequentially read memory answers through the read-back path only, word by word.
    Bus.Poke(0x020D, 5);  // ENT_H1
    Bus.Poke(0x020E, 6);
    unsigned audwTwo[2] = {0xEEEEEEEE, 0xEEEEEEEE};
    Bus.Read(0x020D, audwTwo, 8);
    EXPECT_EQ(std::vector<unsigned>(audwTwo, audwTwo + 2), (std::vector<unsigned>{0, 0}));
    EXPECT_EQ(Bus.Peek(CSimBus::kDataAddress), 6u);
    unsigned udwStatus = 0;
    const unsigned udwReady = CSimBus::kReadyBit;
    Bus.Read(CSimBus::kStatusAddress, &udwStatus, 4);
    EXPECT_EQ(udwStatus, udwReady);
    Bus.Write(CSimBus::kStatusAddress, &udwReady, 4);
    Bus.Read(CSimBus::kStatusAddress, &udwStatus, 4);
    EXPECT_EQ(udwStatus, 0u) << "a finished read-back raises the bit no more";
    const unsigned udwSeven = 7;
    Bus.Write(CSimBus::kDataAddress, &udwSeven, 4);
    EXPECT_EQ(Bus.Peek(CSimBus::kDataAddress), 6u) << "read-only";

    unsigned udwWord = 0xEEEEEEEE;
    Bus.Read(0x0001, &udwWord, 4);
    EXPECT_EQ(udwWord, 0u);
    EXPECT_EQ(Bus.Peek(0x0001), 0u);
    Bus.m_iThrowOnRead = 2;
    EXPECT_NO_THROW(Bus.Read(0x0001, &udwWord, 4));
    EXPECT_THROW(Bus.Read(0x0001, &udwWord, 4), std::runtime_error);
    EXPECT_NO_THROW(Bus.Read(0x0001, &udwWord, 4));

    // A transfer of eight words is shown whole.
    std::ostringstream Trace;
    Bus.SetTrace(&Trace);
    const std::vector<unsigned> Eight(8, 1);
    Bus.Write(kCode, Eight.data(), 32);
    EXPECT_EQ(Trace.str().find("..."), std::string::npos) << Trace.str();
}
