// The generated ZEV against the register tables: list order, strategies, defaults, the
// map's special cases, and typed and by-name access through generated classes of every kind.
#include "HostDoubles.h"
#include "ZEV.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <type_traits>
#include <utility>

namespace
{
struct SRow
{
    const char* m_pcName;
    unsigned m_udwAddress;
    unsigned m_udwWidth;
    char m_cAccess;
    unsigned m_udwDefault;
    unsigned m_udwWords;
};
const SRow kTable[] = {
#include "ZevRegisterTable.inc"
};
using Texts = std::list<std::string>;
const auto IMMEDIATE = CSignalBase::HW_WRITE_IMMEDIATE;

struct ZevDevice : ::testing::Test
{
    SHost H;
    CZEV Z{&H.Bus, &H.Utility, &H.Status};
    std::string strError;

    // Every signal line of a snapshot: "REG.SIG" -> comment text.
    std::map<std::string, std::string> SignalLines()
    {
        std::ostringstream Out;
        Z.SnapShot(Out);
        std::istringstream In(Out.str());
        std::map<std::string, std::string> Lines;
        for (std::string strLine; std::getline(In, strLine);)
            if (strLine.rfind("ZEV.", 0) == 0)
                Lines[strLine.substr(4, strLine.find(" = ") - 4)] = strLine.substr(strLine.find("% Wert =") + 8);
        return Lines;
    }
};

char Classify(CallLog& a_rLog)
{
    if (a_rLog.empty())
        return '?';
    if (a_rLog.front() == "Write 0x18 4: 0x10000")
        return 'S';
    if (a_rLog.front().rfind("ReportAccessDenied", 0) == 0)
        return 'W';
    return 'D';
}

// Whether a signal's Set takes this type of value.
template <class TSignal, class TValue, class = void>
struct SetTakes : std::false_type
{
};
template <class TSignal, class TValue>
struct SetTakes<TSignal, TValue, std::void_t<decltype(std::declval<TSignal&>().Set(std::declval<TValue>(), IMMEDIATE))>>
    : std::true_type
{
};
} // namespace

TEST_F(ZevDevice, RegisterListFollowsTheTablesInDeviceOrder)
{
    EXPECT_TRUE(H.Log.empty()) << "construction touches no hardware";
    EXPECT_EQ(Z.GetName(), "ZEV");
    EXPECT_EQ(Z.GetXMLVersion(), "PD_ZEV.xml@@/main/kem_main/1");
    EXPECT_EQ(Z.GetCodeGeneratorVersion(), "1.1.0.0");

    std::ostringstream Out;
    H.Bus.m_bRecordPolls = false;
    Z.SnapShot(Out);
    std::istringstream In(Out.str());
    std::vector<std::string> Names;
    for (std::string strLine; std::getline(In, strLine);)
        if (strLine.rfind("% Register: ", 0) == 0)
            Names.push_back(strLine.substr(12));
    ASSERT_EQ(Names.size(), 441u);
    EXPECT_EQ(Names.front(), "AUD_CNTRL0");
    EXPECT_EQ(Names.back(), "VBW_TRIGGER_OFFSET7");
    for (std::size_t i = 0; i < Names.size(); ++i)
        EXPECT_EQ(Names[i], kTable[i].m_pcName) << "position " << i;
    EXPECT_EQ(std::count_if(std::begin(kTable), std::end(kTable), [](const SRow& r) { return r.m_udwWords > 0; }), 12);
}

TEST_F(ZevDevice, SignalCountsByKind)
{
    H.Bus.m_bRecordPolls = false;
    const auto Lines = SignalLines();
    EXPECT_EQ(Lines.size(), 2316u);
    unsigned udwNumeric = 0, udwStatus = 0;
    for (const auto& Line : Lines)
    {
        const std::string strReg = Line.first.substr(0, Line.first.find('.'));
        const std::string strSig = Line.first.substr(Line.first.find('.') + 1);
        Texts Values;
        ASSERT_TRUE(Z.ServiceRead(strReg, strSig, Values, strError, 0, 1)) << Line.first;
        ASSERT_EQ(Values.size(), 1u);
        udwNumeric += Values.front().size() == 10 && Values.front().substr(8) == "/h";
        udwStatus += strReg.rfind("PRI_STATUSREG", 0) == 0;
    }
    EXPECT_EQ(udwNumeric, 517u);
    EXPECT_EQ(Lines.size() - udwNumeric, 1799u);
    EXPECT_EQ(udwStatus, 164u);
}

TEST_F(ZevDevice, AccessStrategiesAsTabled)
{
    std::map<char, unsigned> Counts;
    for (const SRow& Row : kTable)
    {
        SCOPED_TRACE(Row.m_pcName);
        Texts Values;
        H.Log.clear();
        Z.ServiceRead(Row.m_pcName, "", Values, strError, 0, 1);
        const char cRead = Classify(H.Log);
        H.Log.clear();
        Z.ServiceWrite(Row.m_pcName, "", {"0/h"}, strError, 0);
        const bool bWriteRefused = !H.Log.empty() && H.Log.front().rfind("ReportAccessDenied", 0) == 0;
        const char cAccess = cRead == 'S' ? 'S' : cRead == 'W' ? 'W' : bWriteRefused ? 'R' : 'B';
        EXPECT_EQ(cAccess, Row.m_cAccess);
        ++Counts[cAccess];
    }
    EXPECT_EQ(Counts['S'], 366u);
    EXPECT_EQ(Counts['B'], 63u);
    EXPECT_EQ(Counts['W'], 7u);
    EXPECT_EQ(Counts['R'], 5u);
}

TEST_F(ZevDevice, SetToDefaultWritesEveryTabledDefaultOnceInListOrder)
{
    EXPECT_TRUE(Z.SetToDefault());
    CallLog Expected;
    for (const SRow& Row : kTable)
    {
        if (Row.m_udwWords > 0)
            continue;  // fresh memories are zero already: nothing to write
        if (Row.m_cAccess == 'R')
            Expected.push_back("ReportAccessDenied ParallelRead | CParallelRead::Write | ,No write access allowed!");
        else
            Expected.push_back("Write " + Hex(Row.m_udwAddress) + " " + std::to_string(Row.m_udwWidth / 8) + ": " +
                               Hex(Row.m_udwDefault));
    }
    EXPECT_EQ(H.Log, Expected);

    // A memory holding data is written back to zeros, whole, in one transfer.
    const unsigned udwWord = 1;
    Z.PWR_RAMP.Set(&udwWord, 255, 1, false);
    H.Log.clear();
    Z.SetToDefault();
    EXPECT_EQ(std::count_if(H.Log.begin(), H.Log.end(), [](const std::string& s) { return s.rfind("Write 0x1800 1024:", 0) == 0; }), 1);
}

TEST_F(ZevDevice, MemoriesWhereTheTablesPutThem)
{
    std::map<std::string, std::pair<unsigned, unsigned>> Memories;
    for (const SRow& Row : kTable)
        if (Row.m_udwWords > 0)
            Memories[Row.m_pcName] = {Row.m_udwAddress, Row.m_udwWords};
    EXPECT_EQ(Memories["SWP_DATA_RAM"], std::make_pair(0x10000u, 49152u));
    EXPECT_EQ(Z.SWP_DATA_RAM.GetRAMSize(), 49152u);
    EXPECT_EQ(Z.ENT_H4.GetRAMSize(), 7u);
    EXPECT_EQ(Z.DET_APD_SSRAM.GetRAMSize(), 4096u);
    EXPECT_EQ(Z.FR1_COEF.GetRAMSize(), 128u);
    H.Bus.m_bRecordPolls = false;
    H.Utility.m_bRecordStopWaiting = false;
    for (const auto& Memory : Memories)
    {
        SCOPED_TRACE(Memory.first);
        Texts Values;
        H.Bus.m_Words[Memory.second.first + Memory.second.second - 1] = 0x1234;
        ASSERT_TRUE(Z.ServiceRead(Memory.first, "", Values, strError, Memory.second.second - 1, 1));
        EXPECT_EQ(Values, Texts{"00001234/h"}) << "the last word is read from address + words - 1";
    }
    // Word i lies at address + i; the memory's reports name its own unit.
    const unsigned audwWords[2] = {0xA, 0xB};
    H.Log.clear();
    EXPECT_TRUE(Z.SWP_DATA_RAM.Set(audwWords, 49150, 2, false));
    EXPECT_EQ(H.Log, CallLog{"Write 0x1BFFE 8: 0xA 0xB"});
    EXPECT_FALSE(Z.SWP_DATA_RAM.Set(audwWords, 49151, 2, false));
    EXPECT_EQ(H.Log.back(), "ReportError zev\\sweepcntrl\\register_swp_data_ram | ZEV::CRegister_SWP_DATA_RAM::Set | "
                            ", memory error, RAM frontiers have been hurt.");
}

TEST_F(ZevDevice, TypedAccessThroughGeneratedSignals)
{
    using RoundMode = ZEV::DIN_CNTRL0::CSignal_ROUND_MODE;
    EXPECT_TRUE(Z.DIN_CNTRL0.ROUND_MODE.Set(RoundMode::CUT_24_BIT, IMMEDIATE));
    EXPECT_EQ(H.Log.back(), "Write 0x100 4: 0x4000000");
    H.Bus.m_Words[0x100] = 1u << 25;
    EXPECT_EQ(Z.DIN_CNTRL0.ROUND_MODE.Get(true), RoundMode::ROUND_24_BIT);
    EXPECT_FALSE((SetTakes<RoundMode, unsigned>::value)) << "an enumerated signal takes its enumerators, not numbers";
    EXPECT_TRUE((SetTakes<ZEV::DIN_CNTRL0::CSignal_FIFOLEVEL, unsigned>::value));

    // A 32-bit numeric field, and the twins' differing names.
    EXPECT_TRUE(Z.SR0_A_POSTTRIG.POSTTRIG.Set(0xFFFFFFFF, IMMEDIATE));
    EXPECT_EQ(H.Log.back(), "Write 0x130B 4: 0xFFFFFFFF");
    EXPECT_TRUE(Z.SR1_A_POSTTRIG.A_POSTTRIG.Set(7, IMMEDIATE));
    EXPECT_EQ(H.Log.back(), "Write 0x140B 4: 0x7");
    EXPECT_TRUE(Z.SR1_B_POSTTRIG.B_POSTTRIG.Set(8, IMMEDIATE));
    EXPECT_EQ(H.Log.back(), "Write 0x1418 4: 0x8");
    EXPECT_EQ(Z.GetValueByString("SR1_A_POSTTRIG", "POSTTRIG"), Texts{"Function not found!"});

    // Status registers hand their words to the host before writing.
    using RecEnd = ZEV::PRI_STATUSREG1::CSignal_SR1_B_REC_END;
    H.Log.clear();
    EXPECT_TRUE(Z.PRI_STATUSREG1.SR1_B_REC_END.Set(RecEnd::ON, IMMEDIATE));
    EXPECT_EQ(H.Log, (CallLog{"PrepareSet 0x8000", "Write 0x18 4: 0x8000"}));
    H.Log.clear();
    EXPECT_TRUE(Z.PRI_STATUSREG6.ResetAllStatusBits());
    EXPECT_EQ(H.Log, (CallLog{"PrepareResetAll 0x0", "Write 0x1D 4: 0xFFFFFFFF"}));

    // Reversed switches, enumerator holes.
    using SelDir = ZEV::DIN_MS_DET_LOW::CSignal_IN0_SELDIR;
    EXPECT_EQ(static_cast<unsigned>(SelDir::ON), 0u);
    EXPECT_EQ(static_cast<unsigned>(ZEV::PRI_INTB0_OFF::CSignal_INTB0_OFF::OFF), 1u);
    EXPECT_EQ(static_cast<unsigned>(ZEV::NCO_CNTRL::CSignal_OUT_SEL::HDF1_SSRAMINT), 5u);
    H.Bus.m_Words[0x200] = 2;
    EXPECT_EQ(Z.GetValueByString("ENT_CNTRL0", "ENT_ON"), Texts{"2"});
    H.Bus.m_Words[0x200] = 7;
    EXPECT_EQ(Z.GetValueByString("ENT_CNTRL0", "ENT_ON"), Texts{"ALL"});
    EXPECT_EQ(static_cast<unsigned>(ZEV::COR_CNTRL::CSignal_NOF_ITERATIONS::TWENTEEONE), 21u);
}

TEST_F(ZevDevice, HiddenBitsAndStatusFamilies)
{
    std::ostringstream Out;
    Z.SetToDefault();
    EXPECT_NE(std::find(H.Log.begin(), H.Log.end(), "Write 0x22 4: 0x1FFFF"), H.Log.end());
    EXPECT_NE(std::find(H.Log.begin(), H.Log.end(), "Write 0x26 4: 0x6FFFFFFF"), H.Log.end());
    EXPECT_EQ(Z.GetValueByString("PRI_MASK_STATREG1_INTB1", "SERDAT_RDY"), Texts{"OFF"});
    for (const char* pcReg : {"PRI_MASK_STATREG1_INTB0", "PRI_STATUSREG1", "PRI_PRESTATREG_MASK1"})
        EXPECT_EQ(Z.GetValueByString(pcReg, "SERDAT_RDY"), Texts{"Function not found!"}) << pcReg;
    using Mask = ZEV::PRI_PRESTATREG_MASK5::CSignal_PLL_LOCKED;
    EXPECT_EQ(Z.PRI_PRESTATREG_MASK5.PLL_LOCKED.Get(false), Mask::ENABLE);

    // A full read-back of the status word keeps the hidden bit 31 in the image.
    H.Bus.m_Words[0x19] = 0x80000001;
    Texts Values;
    EXPECT_TRUE(Z.ServiceRead("PRI_STATUSREG2", "", Values, strError, 0, 1));
    EXPECT_EQ(Values, Texts{"80000001/h"});
}

TEST_F(ZevDevice, ServiceWriteAndReadByNameInEveryBlock)
{
    std::map<std::string, const SRow*> FirstOfBlock;
    for (const SRow& Row : kTable)
    {
        const std::string strBlock = std::string(Row.m_pcName).substr(0, 3);
        if (Row.m_udwWords == 0 && Row.m_cAccess != 'R' && Row.m_cAccess != 'W' && !FirstOfBlock.count(strBlock))
            FirstOfBlock[strBlock] = &Row;
    }
    EXPECT_EQ(FirstOfBlock.size(), 25u);
    for (const auto& Block : FirstOfBlock)
    {
        const SRow& Row = *Block.second;
        SCOPED_TRACE(Row.m_pcName);
        const unsigned udwValue = 0x5A5A5A5A & (Row.m_udwWidth == 32 ? 0xFFFFFFFFu : (1u << Row.m_udwWidth) - 1);
        H.Log.clear();
        ASSERT_TRUE(Z.ServiceWrite(Row.m_pcName, "", {Hex(udwValue).substr(2) + "/h"}, strError, 0));
        EXPECT_EQ(H.Log, CallLog{"Write " + Hex(Row.m_udwAddress) + " " + std::to_string(Row.m_udwWidth / 8) + ": " +
                                 Hex(udwValue)});
        Texts Values;
        ASSERT_TRUE(Z.ServiceRead(Row.m_pcName, "", Values, strError, 0, 1));
        char acExpected[16];
        std::snprintf(acExpected, sizeof acExpected, "%08X/h", udwValue);
        EXPECT_EQ(Values, Texts{acExpected});
    }

    // By signal, with enumerator names and numbers.
    EXPECT_TRUE(Z.ServiceWrite("NCO_CNTRL", "OUT_SEL", {"HDF1_SSRAMINT"}, strError, 0));
    EXPECT_EQ(Z.GetValueByString("NCO_CNTRL", "OUT_SEL"), Texts{"HDF1_SSRAMINT"});
    EXPECT_TRUE(Z.ServiceWrite("SWP_SI_DATA_M", "DATA", {"DEADBEEF/h"}, strError, 0));
    EXPECT_EQ(Z.GetValueByString("SWP_SI_DATA_M", "DATA"), Texts{std::to_string(static_cast<int>(0xDEADBEEF))});
    EXPECT_FALSE(Z.ServiceWrite("DET_APD_CNTRL", "SEL_TRIG", {"FILTERSETTLED"}, strError, 0));
    EXPECT_TRUE(Z.ServiceWrite("DET_APD_CNTRL", "SEL_TRIG", {"FILTERSTTLED"}, strError, 0));
    EXPECT_TRUE(Z.Unlock("ALL", "ALL", strError));
}
