// One typed call in a loop, C++ or C, for instruction counts under valgrind (a count does not
// move with the machine's load, as times on this machine do): the same program run with no
// call and with N calls, the difference over N.
//
//   rl_zev_call_loop MODE N      MODE: cpp_deferred c_deferred cpp_get c_get cpp_immediate
//                                      c_immediate cpp_readback c_readback
#include "ZEV.h"
#include "ZevSimulator.h"
#include "rl_zev_c.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

int main(int argc, char** argv)
{
    const char* const apcModes[] = {"cpp_deferred", "c_deferred",    "cpp_get",      "c_get",
                                    "cpp_immediate", "c_immediate", "cpp_readback", "c_readback"};
    int iMode = 0;
    while (argc == 3 && iMode < 8 && std::strcmp(apcModes[iMode], argv[1]) != 0)
        ++iMode;
    if (argc != 3 || iMode == 8)
    {
        std::fprintf(stderr, "usage: rl_zev_call_loop MODE N\n");
        return 2;
    }
    const long lCalls = std::atol(argv[2]);
    std::ostringstream Reports;
    SSimulatedHost Host{Reports};
    CZEV Z(&Host.Bus, &Host.Utility, &Host.Status);
    Z.SetToDefault();
    zev_device* pDevice = nullptr;
    zev_signal* pTrigSel = nullptr;
    zev_signal* pPostTrig = nullptr;
    if (zev_create_simulated(&pDevice) != ZEV_OK || zev_set_to_default(pDevice) != ZEV_OK ||
        zev_signal_lookup(pDevice, "AUD_CNTRL0", "TRIG_SEL", &pTrigSel) != ZEV_OK ||
        zev_signal_lookup(pDevice, "SR0_A_POSTTRIG", "POSTTRIG", &pPostTrig) != ZEV_OK)
        return 1;
    using TrigSel = ZEV::AUD_CNTRL0::CSignal_TRIG_SEL::TRIG_SEL;
    volatile unsigned udwSink = 0;
    uint32_t udwValue = 0;
    int32_t iWritten = 0;
    for (long i = 0; i < lCalls; ++i)
    {
        const unsigned udwNext = static_cast<unsigned>(i);
        switch (iMode)
        {
        case 0: Z.SR0_A_POSTTRIG.POSTTRIG.Set(udwNext, CSignalBase::HW_WRITE_DEFERRED); break;
        case 1: zev_signal_set(pPostTrig, udwNext, ZEV_WRITE_DEFERRED, &iWritten); break;
        case 2: udwSink = udwSink + static_cast<unsigned>(Z.AUD_CNTRL0.TRIG_SEL.Get(false)); break;
        case 3: zev_signal_get(pTrigSel, 0, &udwValue), udwSink = udwSink + udwValue; break;
        case 4: Z.AUD_CNTRL0.TRIG_SEL.Set(static_cast<TrigSel>(udwNext & 7), CSignalBase::HW_WRITE_IMMEDIATE); break;
        case 5: zev_signal_set(pTrigSel, udwNext & 7, ZEV_WRITE_IMMEDIATE, &iWritten); break;
        case 6: udwSink = udwSink + static_cast<unsigned>(Z.AUD_CNTRL0.TRIG_SEL.Get(true)); break;
        default: zev_signal_get(pTrigSel, 1, &udwValue), udwSink = udwSink + udwValue; break;
        }
    }
    zev_destroy(pDevice);
    return static_cast<int>(udwSink & 0);
}
