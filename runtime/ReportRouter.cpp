#include "ReportRouter.h"

#include "ZEVUtilities.h"

#include <stdexcept>

namespace rlzev
{
namespace
{
thread_local CUtility_Interface* t_pRoute = nullptr;
thread_local unsigned t_udwSharedDepth = 0;
} // namespace

CReportRouter& CReportRouter::Instance()
{
    static CReportRouter s_Router;
    return s_Router;
}

void CReportRouter::ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage)
{
    if (t_pRoute != nullptr)
        t_pRoute->ReportError(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
    else
        ++m_uUnrouted;
}

bool CReportRouter::StopWaiting()
{
    return t_pRoute == nullptr || t_pRoute->StopWaiting();
}

void CReportRouter::ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                                       const char* a_pcMessage)
{
    if (t_pRoute != nullptr)
        t_pRoute->ReportAccessDenied(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
    else
        ++m_uUnrouted;
}

void CReportRouter::Install()
{
    CZEVUtilities& rHolder = CZEVUtilities::GetInstance();
    rHolder.ResetUtilityInterface();
    rHolder.SetUtilityInterface(this);
}

void CReportRouter::Offer()
{
    CZEVUtilities::GetInstance().SetUtilityInterface(this);
}

CUtility_Interface* ExchangeRoute(CUtility_Interface* a_pUtility)
{
    CUtility_Interface* pPrevious = t_pRoute;
    t_pRoute = a_pUtility;
    return pPrevious;
}

CLibraryGate& CLibraryGate::Instance()
{
    static CLibraryGate s_Gate;
    return s_Gate;
}

void CLibraryGate::EnterShared()
{
    if (t_udwSharedDepth > 0)
    {
        ++t_udwSharedDepth;  // already inside: waiting for a maker now would wait for ourselves
        return;
    }
    unsigned udwState = m_udwState.load();
    while ((udwState & kMaker) == 0)
        if (m_udwState.compare_exchange_weak(udwState, udwState + 1))
        {
            t_udwSharedDepth = 1;
            return;
        }
    // A maker sets its bit under the mutex: holding it, the bit cannot come back between
    // the wait and the count. (The depth counts only once inside: a lock that throws leaves
    // the thread outside.)
    std::unique_lock<std::mutex> Lock(m_Mutex);
    m_Changed.wait(Lock, [this] { return (m_udwState.load() & kMaker) == 0; });
    m_udwState.fetch_add(1);
    t_udwSharedDepth = 1;
}

void CLibraryGate::LeaveShared()
{
    if (--t_udwSharedDepth > 0)
        return;
    if (m_udwState.fetch_sub(1) == (kMaker | 1))
    {
        // The last call out while a maker waits; the mutex makes sure it is waiting or
        // has yet to look.
        std::lock_guard<std::mutex> Lock(m_Mutex);
        m_Changed.notify_all();
    }
}

void CLibraryGate::EnterAlone()
{
    if (t_udwSharedDepth > 0)
        throw std::logic_error("a device cannot be made or destroyed from inside a device call");
    std::unique_lock<std::mutex> Lock(m_Mutex);
    ++m_udwWaitingAlone;
    m_udwState.fetch_or(kMaker);
    m_Changed.wait(Lock, [this] { return !m_bAlone && (m_udwState.load() & ~kMaker) == 0; });
    --m_udwWaitingAlone;
    m_bAlone = true;
}

void CLibraryGate::LeaveAlone()
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    m_bAlone = false;
    if (m_udwWaitingAlone == 0)
        m_udwState.fetch_and(~kMaker);
    m_Changed.notify_all();
}
} // namespace rlzev
