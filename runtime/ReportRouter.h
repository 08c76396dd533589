// The library keeps one report holder per process: the first device's utility, cleared
// whenever any device is destroyed. With several devices, and devices made and dropped
// while others work, reports would reach the wrong device or nobody. The runtime keeps its
// router there instead, and the router hands every report to the device whose call is
// running on the reporting thread.
#pragma once

#include "HostInterfaces.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace rlzev
{
class CReportRouter final : public CUtility_Interface
{
public:
    static CReportRouter& Instance();

    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override;
    bool StopWaiting() override;
    void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                            const char* a_pcMessage) override;

    // Reports that came while no device call was running on their thread (a device made
    // outside the runtime): dropped, and counted here.
    unsigned long long Unrouted() const { return m_uUnrouted.load(); }

    // Puts the router into the library's holder, whatever it held. Called with the gate
    // held exclusively, after a device is made or destroyed.
    void Install();
    // Puts it there if the holder is empty (a device made outside the runtime was
    // destroyed); only looks, when it is there. Called as each device call begins.
    void Offer();

private:
    CReportRouter() = default;
    std::atomic<unsigned long long> m_uUnrouted{0};
};

// Reports of the library made on this thread go to a_pUtility from now on (null: nobody);
// the route before is returned.
CUtility_Interface* ExchangeRoute(CUtility_Interface* a_pUtility);

// The process-wide gate around the library's shared holder: device calls pass it shared
// (devices work in parallel), making or destroying a device passes it alone. Waiting
// makers go first, so a stream of calls cannot starve them; a thread already inside a
// call may enter again (a host object of one device calling another device).
class CLibraryGate
{
public:
    static CLibraryGate& Instance();

    void EnterShared();
    void LeaveShared();
    // Throws std::logic_error on a thread that is inside a device call: it would wait for itself.
    void EnterAlone();
    void LeaveAlone();

private:
    CLibraryGate() = default;
    // The calls inside, and one bit while a maker waits or works: with no maker about, a
    // call passes with one atomic step each way; the mutex is for waiting only.
    static constexpr unsigned kMaker = 1u << 31;
    std::atomic<unsigned> m_udwState{0};
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    unsigned m_udwWaitingAlone = 0;  // under m_Mutex
    bool m_bAlone = false;           // under m_Mutex
};
} // namespace rlzev
