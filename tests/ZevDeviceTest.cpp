// The generated ZEV against the register tables: list order, strategies, defaults, the
// map's special cases, and typed and by-name access through generated classes of every kind.
#include "HostDoubles.h"
#include "ZevRegisterTable.h"
#include "ZEV.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <type_traits>
#include <utility>

namespace
{
using zevtable::kTable;
using zevtable::SRow;
using Texts = std::list<std::string>;
const auto IMMEDIATE = CSignalBase::HW_WRITE_IMMEDIATE;

struct ZevDevice : ::testing::Test
{
    SHost H;
    CZEV Z{&H.Bus, &H.Utility, &H.Status};
    std::string strError;
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

// The snapshot names every register in the tables' order, and every signal, which reads by
// name as a number or as an enumerator.
TEST_F(ZevDevice, RegistersAndSignalsFollowTheTablesInDeviceOrder)
{
    EXPECT_TRUE(H.Log.empty()) << "construction touches no hardware";
    std::ostringstream Out;
    H.Bus.m_bRecordPolls = false;
    Z.SnapShot(Out);
    std::istringstream In(Out.str());
    std::vector<std::string> Names;
    unsigned udwSignals = 0, udwNumeric = 0, udwStatus = 0;
    for (std::string strLine; std::getline(In, strLine);)
    {
        if (strLine.rfind("% Register: ", 0) == 0)
            Names.push_back(strLine.substr(12));
        if (strLine.rfind("ZEV.", 0) != 0)
            continue;
        const std::size_t uSignal = 5 + Names.back().size();
        Texts Values;
        ASSERT_TRUE(Z.ServiceRead(Names.back(), strLine.substr(uSignal, strLine.find(" = ") - uSignal), Values, strError, 0, 1)) << strLine;
        ASSERT_EQ(Values.size(), 1u);
        ++udwSignals;
        udwNumeric += Values.front().size() == 10 && Values.front().substr(8) == "/h";
        udwStatus += Names.back().rfind("PRI_STATUSREG", 0) == 0;
    }
    ASSERT_EQ(Names.size(), 441u);
    auto itName = Names.begin();
    for (const SRow& Row : kTable)
    {
        itName = std::find(itName, Names.end(), Row.m_pcName);
        EXPECT_NE(itName, Names.end()) << Row.m_pcName << " missing or out of the tables' order";
    }
    EXPECT_EQ(udwSignals, 2316u);
    EXPECT_EQ(udwNumeric, 517u) << "the others have enumerators";
    EXPECT_EQ(udwStatus, 164u);
}

TEST_F(ZevDevice, AccessStrategiesAsTabled)
{
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
    }
}

TEST_F(ZevDevice, SetToDefaultWritesEveryTabledDefaultOnceInListOrder)
{
    EXPECT_TRUE(Z.SetToDefault());
    EXPECT_EQ(H.Log.size(), 441u - 12u) << "one transfer or refusal per register; fresh memories are zero already";
    auto itCall = H.Log.begin();
    for (const SRow& Row : kTable)
    {
        if (Row.m_udwWords > 0)
            continue;
        const std::string strExpected =
            Row.m_cAccess == 'R' ? "ReportAccessDenied ParallelRead | CParallelRead::Write | ,No write access allowed!"
                                 : "Write " + Hex(Row.m_udwAddress) + " " + std::to_string(Row.m_udwWidth / 8) + ": " +
                                       Hex(Row.m_udwDefault);
        itCall = std::find(itCall, H.Log.end(), strExpected);
        ASSERT_NE(itCall, H.Log.end()) << Row.m_pcName << ": " << strExpected;
        EXPECT_EQ(std::count(H.Log.begin(), H.Log.end(), strExpected), Row.m_cAccess == 'R' ? 5 : 1) << Row.m_pcName;
    }

    // A memory holding data is written back to zeros, whole, in one transfer.
    const unsigned udwWord = 1;
    Z.PWR_RAMP.Set(&udwWord, 255, 1, false);
    H.Log.clear();
    Z.SetToDefault();
    EXPECT_EQ(std::count_if(H.Log.begin(), H.Log.end(), [](const std::string& s) { return s.rfind("Write 0x1800 1024:", 0) == 0; }), 1);
}

TEST_F(ZevDevice, MemoriesWhereTheTablesPutThem)
{
    H.Bus.m_bRecordPolls = false;
    H.Utility.m_bRecordStopWaiting = false;
    for (const SRow& Row : kTable)
    {
        if (Row.m_udwWords == 0)
            continue;
        SCOPED_TRACE(Row.m_pcName);
        Texts Values;
        H.Bus.m_Words[Row.m_udwAddress + Row.m_udwWords - 1] = 0x1234;
        ASSERT_TRUE(Z.ServiceRead(Row.m_pcName, "", Values, strError, Row.m_udwWords - 1, 1));
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

    // A 32-bit numeric field, and a twin named unlike its sibling.
    EXPECT_TRUE(Z.SR0_A_POSTTRIG.POSTTRIG.Set(0xFFFFFFFF, IMMEDIATE));
    EXPECT_EQ(H.Log.back(), "Write 0x130B 4: 0xFFFFFFFF");
    EXPECT_TRUE(Z.SR1_A_POSTTRIG.A_POSTTRIG.Set(7, IMMEDIATE));
    EXPECT_EQ(H.Log.back(), "Write 0x140B 4: 0x7");

    // A hidden bit has no signal: SERDAT_RDY is a signal of one mask register only.
    EXPECT_EQ(Z.GetValueByString("PRI_MASK_STATREG1_INTB1", "SERDAT_RDY"), Texts{"OFF"});
    for (const char* pcReg : {"PRI_MASK_STATREG1_INTB0", "PRI_STATUSREG1", "PRI_PRESTATREG_MASK1"})
        EXPECT_EQ(Z.GetValueByString(pcReg, "SERDAT_RDY"), Texts{"Function not found!"}) << pcReg;

    // By name: enumerators spelled as the description spells them, a 32-bit value shown signed.
    EXPECT_TRUE(Z.ServiceWrite("NCO_CNTRL", "OUT_SEL", {"HDF1_SSRAMINT"}, strError, 0));
    EXPECT_EQ(Z.GetValueByString("NCO_CNTRL", "OUT_SEL"), Texts{"HDF1_SSRAMINT"});
    EXPECT_TRUE(Z.ServiceWrite("SWP_SI_DATA_M", "DATA", {"DEADBEEF/h"}, strError, 0));
    EXPECT_EQ(Z.GetValueByString("SWP_SI_DATA_M", "DATA"), Texts{std::to_string(static_cast<int>(0xDEADBEEF))});
    EXPECT_FALSE(Z.ServiceWrite("DET_APD_CNTRL", "SEL_TRIG", {"FILTERSETTLED"}, strError, 0));
    EXPECT_TRUE(Z.ServiceWrite("DET_APD_CNTRL", "SEL_TRIG", {"FILTERSTTLED"}, strError, 0));
}
