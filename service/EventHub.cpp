#include "EventHub.h"

#include <algorithm>
#include <chrono>

namespace rlzev
{
bool CEventHub::HasSubscribers() const
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    return !m_Subscribers.empty();
}

void CEventHub::Publish(const std::string& a_strType, std::string a_strData)
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    if (m_Subscribers.empty())
        return;
    const SEvent Event{m_uNextId++, a_strType, std::move(a_strData)};
    for (CSubscription* pSubscriber : m_Subscribers)
    {
        if (pSubscriber->m_Queue.size() >= m_uQueueLength)
        {
            pSubscriber->m_Queue.pop_front();
            ++pSubscriber->m_uDropped;
        }
        pSubscriber->m_Queue.push_back(Event);
    }
    m_Changed.notify_all();
}

std::shared_ptr<CEventHub::CSubscription> CEventHub::Subscribe()
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    if (m_bClosed || m_Subscribers.size() >= m_uMaxSubscribers)
        return nullptr;
    std::shared_ptr<CSubscription> pSubscription(new CSubscription(*this));
    m_Subscribers.push_back(pSubscription.get());
    return pSubscription;
}

void CEventHub::Close()
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    m_bClosed = true;
    m_Changed.notify_all();
}

bool CEventHub::CSubscription::Take(std::vector<SEvent>& a_rEvents, unsigned long long& a_ruDropped,
                                    unsigned a_uMilliseconds)
{
    std::unique_lock<std::mutex> Lock(m_rHub.m_Mutex);
    m_rHub.m_Changed.wait_for(Lock, std::chrono::milliseconds(a_uMilliseconds),
                              [this] { return m_rHub.m_bClosed || !m_Queue.empty(); });
    a_rEvents.assign(m_Queue.begin(), m_Queue.end());
    m_Queue.clear();
    a_ruDropped = m_uDropped;
    m_uDropped = 0;
    return !m_rHub.m_bClosed;
}

CEventHub::CSubscription::~CSubscription()
{
    std::lock_guard<std::mutex> Lock(m_rHub.m_Mutex);
    auto& rList = m_rHub.m_Subscribers;
    rList.erase(std::remove(rList.begin(), rList.end(), this), rList.end());
}
} // namespace rlzev
