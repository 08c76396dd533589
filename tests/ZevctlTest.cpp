// zevctl end to end: commands and scripts with their exact stdout, stderr and exit codes.
#include "LineNumbers.h"
#include "ZevCtl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace
{
struct SResult
{
    int m_iCode;
    std::string m_strOut;
    std::string m_strErr;
};

SResult Zevctl(std::vector<std::string> a_Args, const std::string& a_strInput = "")
{
    std::istringstream In(a_strInput);
    std::ostringstream Out, Err;
    const int iCode = RunZevctl(a_Args, In, Out, Err);
    return {iCode, Out.str(), HideLineNumbers(Err.str())};
}
} // namespace

TEST(Zevctl, SnapshotOfTheDefaultDevice)
{
    const SResult R = Zevctl({"snapshot"});
    EXPECT_EQ(R.m_iCode, 0);
    EXPECT_EQ(R.m_strErr, "") << "the refused directions of device-wide operations are expected";
    const std::string strHead = "function [device,ZEV] = ZEV_DUMP()\ndevice= 'ZEV';\n% Hardware: ZEV\n"
                                "% SnapShot of all Registers:\n% ____________________________________\n"
                                "% Register: AUD_CNTRL0\n";
    EXPECT_EQ(R.m_strOut.substr(0, strHead.size()), strHead);
    EXPECT_NE(R.m_strOut.find("ZEV.DIN_TRIGGER_CNTRL1.TRIGGER_SELECT_TRG1 = 1; % Wert =EXT_MARKER_1\n"), std::string::npos);
    EXPECT_NE(R.m_strOut.find("ZEV.PRI_VERSION.ZEV_VERSION = 256; % Wert =100\n"), std::string::npos);

    const SResult Raw = Zevctl({"--no-defaults", "snapshot"});
    EXPECT_NE(Raw.m_strOut.find("ZEV.PRI_VERSION.ZEV_VERSION = 0; % Wert =0\n"), std::string::npos);
}

TEST(Zevctl, ListsRegistersAndSignals)
{
    SResult R = Zevctl({"list"});
    EXPECT_EQ(R.m_iCode, 0);
    EXPECT_EQ(std::count(R.m_strOut.begin(), R.m_strOut.end(), '\n'), 441);
    EXPECT_EQ(R.m_strOut.substr(0, R.m_strOut.find('\n')),
              "AUD_CNTRL0                     0x00E00 24 CSequentialRead_ParallelWrite     1");
    EXPECT_NE(R.m_strOut.find("SWP_DATA_RAM                   0x10000 32 CSequentialRead_ParallelWrite 49152\n"), std::string::npos);

    R = Zevctl({"list", "DIN_MS_DET_LOW"});
    EXPECT_EQ(R.m_strOut, "DIN_MS_DET_LOW 0x0011A 32 bits CParallelRead_ParallelWrite 1 word\n"
                          "  MS_DET_LOW                       4..0  default 0          number\n"
                          "  IN0_SELDIR                         30  default 0          0 ON, 1 OFF\n"
                          "  IN1_SELDIR                         31  default 0          0 ON, 1 OFF\n");
    EXPECT_EQ(Zevctl({"list", "AUD_CNTRL0"}).m_iCode, 0) << "the first register of the map";
    R = Zevctl({"list", "ENT_H1"});
    EXPECT_EQ(R.m_strOut, "ENT_H1 0x0020D 32 bits CSequentialRead_ParallelWrite 7 words\n");
    R = Zevctl({"list", "NOPE"});
    EXPECT_EQ(R.m_iCode, 1);
    EXPECT_EQ(R.m_strErr, "Register not found!\n");
}

TEST(Zevctl, ServiceSessionScript)
{
    const SResult R = Zevctl({"run"}, "# a service session\n"
                                      "write AUD_CNTRL0 SHIFT_HP 5/d   # the hardware only\n"
                                      "read AUD_CNTRL0 SHIFT_HP\n"
                                      "\n"
                                      "write AUD_CNTRL0 MULT_HP 0x3F/h\n"
                                      "unlock AUD_CNTRL0 ALL\n"
                                      "get AUD_CNTRL0 SHIFT_HP\n"
                                      "write ENT_H1 - 1/d 2/d 3/h\n"
                                      "write ENT_H1 --start 1 AB/h\n"
                                      "read ENT_H1\n"
                                      "read ENT_H1 --start 1 --count 1\n"
                                      "lock ALL ALL\n"
                                      "unlock all all\n");
    EXPECT_EQ(R.m_strErr, "");
    EXPECT_EQ(R.m_iCode, 0);
    EXPECT_EQ(R.m_strOut, "00000005/h\n0\n"
                          "00000001/h\n000000AB/h\n00000003/h\n00000000/h\n00000000/h\n00000000/h\n00000000/h\n"
                          "000000AB/h\n");
}

TEST(Zevctl, BadScriptsStopAtTheFirstErrorUnlessToldOtherwise)
{
    const std::string strScript = "write AUD_CNTRL0 TRIG_SEL MARKER_SIG_9\nread NOPE\nfrobnicate\nget AUD_CNTRL0 TRIG_SEL\n";
    SResult R = Zevctl({"run"}, strScript);
    EXPECT_EQ(R.m_iCode, 1);
    EXPECT_EQ(R.m_strOut, "");
    EXPECT_EQ(R.m_strErr, "SignalBase:#: CSignalBase::ServiceWrite: Invalid value(s) submitted: MARKER_SIG_9,\n"
                          "zevctl: stopped at line 1\n");

    R = Zevctl({"--keep-going", "run"}, strScript);
    EXPECT_EQ(R.m_iCode, 1) << "the first failure's code";
    EXPECT_EQ(R.m_strOut, "MARKER_SIG_0\n");
    EXPECT_EQ(R.m_strErr, "SignalBase:#: CSignalBase::ServiceWrite: Invalid value(s) submitted: MARKER_SIG_9,\n"
                          "HWDeviceBase:#: CHWDeviceBase::ServiceRead: Invalid register submitted: NOPE\n"
                          "zevctl: line 3: A subcommand is required\n");

    R = Zevctl({"--keep-going", "run"}, "write PRI_SERVAL SERVAL 1/d\nunlock PRI_SERVAL SERVAL\n");
    EXPECT_EQ(R.m_strErr, "ParallelRead:#: CParallelRead::Write: ,No write access allowed!\n"
                          "ParallelRead:#: CParallelRead::Write: ,No write access allowed!\n")
        << "the unlock's write is refused too";
    R = Zevctl({"run", "/nonexistent/script"});
    EXPECT_EQ(R.m_iCode, 3);
    EXPECT_EQ(R.m_strErr, "zevctl: cannot open /nonexistent/script\n");
    R = Zevctl({"run"}, "run other\n");
    EXPECT_EQ(R.m_iCode, 2) << "no scripts inside scripts";
}

TEST(Zevctl, UsageAndHelp)
{
    SResult R = Zevctl({});
    EXPECT_EQ(R.m_iCode, 2);
    EXPECT_EQ(R.m_strErr, "A subcommand is required\nRun with --help for more information.\n");
    R = Zevctl({"--help"});
    EXPECT_EQ(R.m_iCode, 0);
    EXPECT_NE(R.m_strOut.find("Exit codes: 0 success, 1 refused by the library, 2 usage error, 3 a file (script, set, output) "
                              "not readable or writable, 4 server not reachable or token refused."),
              std::string::npos);
    R = Zevctl({"write", "--help"});
    EXPECT_EQ(R.m_iCode, 0);
    EXPECT_NE(R.m_strOut.find("Usage: zevctl write [OPTIONS] register arguments..."), std::string::npos) << R.m_strOut;
    EXPECT_EQ(Zevctl({"lock", "--help"}).m_strOut.rfind("Freeze signals", 0), 0u);
    EXPECT_EQ(Zevctl({"unlock", "--help"}).m_strOut.rfind("Release signals", 0), 0u);
    EXPECT_EQ(Zevctl({"snapshot", "defaults"}).m_iCode, 2) << "one command at a time";
    EXPECT_EQ(Zevctl({"read"}).m_iCode, 2);
    EXPECT_EQ(Zevctl({"read", "AUD_CNTRL0", "--start", "x"}).m_iCode, 2);
}

TEST(Zevctl, TraceAndTheRealBinary)
{
    const SResult R = Zevctl({"--no-defaults", "write", "AUD_CNTRL1", "-", "1234/h", "--trace"});
    EXPECT_EQ(R.m_iCode, 0);
    EXPECT_EQ(R.m_strErr, "bus: W 0x00E01 2 0x00001234\n");
    EXPECT_NE(Zevctl({"--trace", "snapshot"}).m_strErr.find("bus: R 0x00E00 4"), std::string::npos) << "a GET's too";

    const std::string strOut = testing::TempDir() + "zevctl_snapshot.txt";
    std::string strTool = ZEVCTL_PATH;
#ifdef _WIN32
    // A cross build names the tool by its path on the build machine, drive Z: under Wine.
    if (!strTool.empty() && strTool[0] == '/')
        strTool = "Z:" + strTool;
    std::replace(strTool.begin(), strTool.end(), '/', '\\');
#endif
    ASSERT_EQ(std::system((strTool + " snapshot > \"" + strOut + "\"").c_str()), 0);
    std::ifstream In(strOut);
    std::string strFirst;
    std::getline(In, strFirst);
    EXPECT_EQ(strFirst, "function [device,ZEV] = ZEV_DUMP()");
}

TEST(Zevctl, SavesComparesAndAppliesRegisterSets)
{
    const std::string strSet = testing::TempDir() + "zevctl-set.json";
    const std::string strScript = "write DIN_CNTRL0 FIFOLEVEL 33/d\n"
                                  "save " + strSet + " DIN_CNTRL0 DET_RESET\n"
                                  "write DIN_CNTRL0 FIFOLEVEL 7/d\n"
                                  "compare " + strSet + "\n"
                                  "apply " + strSet + " DIN_CNTRL0.FIFOLEVEL\n"
                                  "compare " + strSet + "\n"
                                  "compare --defaults DIN_CNTRL0 COR_CNTRL\n";
    const SResult R = Zevctl({"--keep-going", "run"}, strScript);
    EXPECT_EQ(R.m_iCode, 1) << "the first difference found";
    EXPECT_EQ(R.m_strOut, "DIN_CNTRL0.FIFOLEVEL: set 00000021/h, device 00000007/h\n"
                          "1 written, 0 refused\n"
                          "DIN_CNTRL0.FIFOLEVEL: set 00000001/h, device 00000021/h\n");
    EXPECT_EQ(R.m_strErr, "zevctl: not saved: DET_RESET: write-only: it cannot be read\n");
    std::ifstream File(strSet);
    const std::string strText((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
    EXPECT_NE(strText.find("\"FIFOLEVEL\": \"00000021/h\""), std::string::npos) << strText;
    EXPECT_NE(strText.find("\"format\": \"rl_zev register set 1\""), std::string::npos);
    // Defaults of the fresh device, the set to stdout, files that are not sets.
    EXPECT_EQ(Zevctl({"compare", "--defaults"}).m_iCode, 0);
    EXPECT_NE(Zevctl({"save", "-", "ENT_H1"}).m_strOut.find("\"words\": \"00000000 00000000 00000000 00000000 00000000 00000000 00000000\""), std::string::npos);
    EXPECT_EQ(Zevctl({"apply", testing::TempDir() + "no-such-set.json"}).m_iCode, 3);
    std::ofstream(testing::TempDir() + "not-a-set.json") << "{\"format\": 1}";
    const SResult Bad = Zevctl({"apply", testing::TempDir() + "not-a-set.json"});
    EXPECT_EQ(Bad.m_iCode, 1);
    EXPECT_EQ(Bad.m_strErr, "not a register set: its 'format' must be \"rl_zev register set 1\"\n");
    // A file nested past any set is refused unread (written out again it took the stack), a
    // set not written, and output that went nowhere, are no success.
    // (Six levels are past any set too: under a body's "set" they would be seven.)
    for (const std::size_t uDepth : {std::size_t(100000), std::size_t(6)})
    {
        std::ofstream(testing::TempDir() + "deep-set.json") << std::string(uDepth, '[') << std::string(uDepth, ']');
        const SResult Deep = Zevctl({"compare", testing::TempDir() + "deep-set.json"});
        EXPECT_EQ(Deep.m_iCode, 2);
        EXPECT_EQ(Deep.m_strErr, "zevctl: " + testing::TempDir() + "deep-set.json is not a register set: the set nests "
                                 "deeper than 5 levels\n");
    }
    const SResult Unwritten = Zevctl({"save", testing::TempDir() + "no-such-folder/set.json", "DIN_CNTRL0"});
    EXPECT_EQ(Unwritten.m_iCode, 3);
    EXPECT_EQ(Unwritten.m_strErr, "zevctl: cannot write " + testing::TempDir() + "no-such-folder/set.json\n");
    struct CFull : std::streambuf
    {
        int overflow(int) override { return traits_type::eof(); }
    } Full;
    std::ostream Nowhere(&Full);
    std::istringstream In;
    std::ostringstream Err;
    EXPECT_EQ(RunZevctl({"read", "DIN_CNTRL0", "FIFOLEVEL"}, In, Nowhere, Err), 3);
    EXPECT_EQ(Err.str(), "zevctl: cannot write the output\n");
}
