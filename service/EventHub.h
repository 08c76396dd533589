// Fan-out of device events (bus transfers, reports, change-log lines) to the clients of the
// event stream. Every subscriber has a bounded queue: a slow client loses its oldest events
// and is told how many, and never holds up the device.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rlzev
{
struct SEvent
{
    unsigned long long m_uId;
    std::string m_strType;  // "transfer", "report" or "log"
    std::string m_strData;  // one line of JSON
};

class CEventHub
{
public:
    class CSubscription;

    explicit CEventHub(std::size_t a_uMaxSubscribers = 4, std::size_t a_uQueueLength = 4096)
        : m_uMaxSubscribers(a_uMaxSubscribers), m_uQueueLength(a_uQueueLength)
    {
    }

    // Cheap enough to ask before formatting an event nobody would receive.
    bool HasSubscribers() const;
    void Publish(const std::string& a_strType, std::string a_strData);

    // Null when the subscriber limit is reached or the hub is closed.
    std::shared_ptr<CSubscription> Subscribe();
    // Wakes every subscriber and refuses new ones: for shutdown.
    void Close();

    class CSubscription
    {
    public:
        // Waits up to a_uMilliseconds for events; false once the hub is closed.
        bool Take(std::vector<SEvent>& a_rEvents, unsigned long long& a_ruDropped, unsigned a_uMilliseconds);
        ~CSubscription();

    private:
        friend class CEventHub;
        explicit CSubscription(CEventHub& a_rHub) : m_rHub(a_rHub) {}
        CEventHub& m_rHub;
        std::deque<SEvent> m_Queue;
        unsigned long long m_uDropped = 0;
    };

private:
    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::vector<CSubscription*> m_Subscribers;
    std::size_t m_uMaxSubscribers;
    std::size_t m_uQueueLength;
    unsigned long long m_uNextId = 1;
    bool m_bClosed = false;
};
} // namespace rlzev
