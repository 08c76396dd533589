#include "EventHub.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace rlzev
{
namespace
{
std::string Cut(const std::string& a_strText)
{
    if (a_strText.size() <= CEventHub::kMaxEventText)
        return a_strText;
    return a_strText.substr(0, CEventHub::kMaxEventText) + " ... (" + std::to_string(a_strText.size()) + " bytes)";
}
} // namespace

void CEventHub::OnEvent(const SDeviceEvent& a_rEvent)
{
    using nlohmann::json;
    json Event;
    const char* pcType = "transfer";
    if (a_rEvent.m_eKind == SDeviceEvent::REPORT)
    {
        const SReport& rReport = a_rEvent.m_Report;
        pcType = "report";
        Event = {{"type", pcType},
                 {"file", Cut(rReport.m_strFile)},
                 {"line", rReport.m_iLine},
                 {"function", Cut(rReport.m_strFunction)},
                 {"message", Cut(rReport.m_strMessage)},
                 {"accessDenied", rReport.m_bAccessDenied}};
    }
    else
    {
        pcType = a_rEvent.m_eKind == SDeviceEvent::LOG ? "log" : "transfer";
        Event = {{"type", pcType}, {"text", Cut(a_rEvent.m_strText)}};
        const SDeviceEvent::SRun& rRun = a_rEvent.m_Run;
        if (rRun.m_uTransfers != 0)
            Event["run"] = {{"address", rRun.m_udwAddress}, {"words", rRun.m_udwWords}, {"first", rRun.m_udwFirst},
                            {"last", rRun.m_udwLast}, {"transfers", rRun.m_uTransfers}};
    }
    Publish(pcType, Event.dump(-1, ' ', false, json::error_handler_t::replace));
}

void CEventHub::Publish(const char* a_pcType, std::string a_strData)
{
    std::vector<CSubscription*> Woken;
    {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        if (m_Subscribers.empty())
            return;
        SEvent Event;
        Event.m_uId = m_uNextId++;
        Event.m_pcType = a_pcType;
        Event.m_pData = std::make_shared<const std::string>(std::move(a_strData));
        const std::size_t uBytes = Event.m_pData->size();
        for (CSubscription* pSubscriber : m_Subscribers)
        {
            while (!pSubscriber->m_Queue.empty() && pSubscriber->m_uBytes + uBytes > m_uQueueBytes)
            {
                pSubscriber->m_uBytes -= pSubscriber->m_Queue.front().m_pData->size();
                pSubscriber->m_Queue.pop_front();
                ++pSubscriber->m_uDropped;
            }
            pSubscriber->m_Queue.push_back(Event);
            pSubscriber->m_uBytes += uBytes;
            if (!pSubscriber->m_bWoken)
            {
                pSubscriber->m_bWoken = true;
                Woken.push_back(pSubscriber);
            }
        }
        // A subscription leaves the list under this lock, so every one woken here is alive.
        for (CSubscription* pSubscriber : Woken)
            pSubscriber->m_Wake();
    }
}

std::shared_ptr<CEventHub::CSubscription> CEventHub::Subscribe(std::function<void()> a_Wake)
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    if (m_bClosed || m_Subscribers.size() >= m_uMaxSubscribers)
        return nullptr;
    std::shared_ptr<CSubscription> pSubscription(new CSubscription(*this, std::move(a_Wake)));
    m_Subscribers.push_back(pSubscription.get());
    m_uSubscribers = m_Subscribers.size();
    return pSubscription;
}

bool CEventHub::HasRoom() const
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    return !m_bClosed && m_Subscribers.size() < m_uMaxSubscribers;
}

void CEventHub::Close()
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    m_bClosed = true;
    for (CSubscription* pSubscriber : m_Subscribers)
        pSubscriber->m_Wake();
}

bool CEventHub::CSubscription::Take(std::deque<SEvent>& a_rEvents, unsigned long long& a_ruDropped)
{
    a_rEvents.clear();
    std::lock_guard<std::mutex> Lock(m_rHub.m_Mutex);
    a_rEvents.swap(m_Queue);
    m_uBytes = 0;
    a_ruDropped = m_uDropped;
    m_uDropped = 0;
    m_bWoken = false;
    return !m_rHub.m_bClosed;
}

CEventHub::CSubscription::~CSubscription()
{
    std::lock_guard<std::mutex> Lock(m_rHub.m_Mutex);
    auto& rList = m_rHub.m_Subscribers;
    rList.erase(std::remove(rList.begin(), rList.end(), this), rList.end());
    m_rHub.m_uSubscribers = rList.size();
}
} // namespace rlzev
