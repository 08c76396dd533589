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
    if (t_udwSharedDepth++ > 0)
        return;  // already inside: waiting for a maker now would wait for ourselves
    std::unique_lock<std::mutex> Lock(m_Mutex);
    m_Changed.wait(Lock, [this] { return !m_bAlone && m_udwWaitingAlone == 0; });
    ++m_udwShared;
}

void CLibraryGate::LeaveShared()
{
    if (--t_udwSharedDepth > 0)
        return;
    std::lock_guard<std::mutex> Lock(m_Mutex);
    if (--m_udwShared == 0)
        m_Changed.notify_all();
}

void CLibraryGate::EnterAlone()
{
    if (t_udwSharedDepth > 0)
        throw std::logic_error("a device cannot be made or destroyed from inside a device call");
    std::unique_lock<std::mutex> Lock(m_Mutex);
    ++m_udwWaitingAlone;
    m_Changed.wait(Lock, [this] { return !m_bAlone && m_udwShared == 0; });
    --m_udwWaitingAlone;
    m_bAlone = true;
}

void CLibraryGate::LeaveAlone()
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    m_bAlone = false;
    m_Changed.notify_all();
}
} // namespace rlzev
