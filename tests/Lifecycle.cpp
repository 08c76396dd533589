// The device life cycle as a host runs it, for memory checkers: two devices on simulators
// sharing the utility holder, defaults, a service session, snapshots, destruction.
#include "ZEV.h"
#include "ZevSimulator.h"

#include <iostream>
#include <memory>
#include <sstream>

namespace
{
int Failures = 0;

void Expect(bool a_bCondition, const char* a_pcWhat)
{
    if (!a_bCondition)
    {
        std::cerr << "lifecycle: " << a_pcWhat << "\n";
        ++Failures;
    }
}

void Session(CZEV& a_rDevice)
{
    std::string strError;
    std::list<std::string> Values;
    Expect(a_rDevice.ServiceWrite("DIN_CNTRL0", "ROUND_MODE", {"CUT_24_BIT"}, strError, 0), "signal write");
    Expect(a_rDevice.ServiceRead("DIN_CNTRL0", "ROUND_MODE", Values, strError, 0, 1), "signal read");
    Expect(Values == std::list<std::string>{"CUT_24_BIT"}, "signal read value");
    Expect(a_rDevice.ServiceWrite("SWP_DATA_RAM", "", {"1/d", "2/d"}, strError, 49150), "memory write");
    Expect(!a_rDevice.ServiceWrite("NOPE", "", {"1/d"}, strError, 0), "unknown register refused");
    Expect(a_rDevice.Unlock("ALL", "ALL", strError), "unlock all");
    std::ostringstream Log;
    a_rDevice.Logging("ALL", "ALL", &Log, true);
    a_rDevice.AUD_CNTRL0.TRIG_SEL.Set(ZEV::AUD_CNTRL0::CSignal_TRIG_SEL::MARKER_SIG_3, CSignalBase::HW_WRITE_IMMEDIATE);
    a_rDevice.Logging("ALL", "ALL", nullptr, false);
    Expect(!Log.str().empty(), "change log");
}
} // namespace

int main()
{
    std::ostringstream Reports;
    SSimulatedHost First(Reports), Second(Reports);
    First.Utility.m_bQuietAccessDenied = Second.Utility.m_bQuietAccessDenied = true;
    auto pFirst = std::make_unique<CZEV>(&First.Bus, &First.Utility, &First.Status);
    auto pSecond = std::make_unique<CZEV>(&Second.Bus, &Second.Utility, &Second.Status);
    for (CZEV* pDevice : {pFirst.get(), pSecond.get()})
    {
        Expect(pDevice->SetToDefault(), "defaults");
        Session(*pDevice);
        std::ostringstream Snapshot;
        pDevice->SnapShot(Snapshot);
        Expect(Snapshot.str().size() > 100000, "snapshot");
    }
    pSecond.reset();
    pFirst.reset();
    Expect(Reports.str().find("Invalid register submitted: NOPE") != std::string::npos, "report reached a utility");
    std::cout << (Failures == 0 ? "lifecycle: 1 passed, 0 failed\n" : "lifecycle: 0 passed, 1 failed\n");
    return Failures == 0 ? 0 : 1;
}
