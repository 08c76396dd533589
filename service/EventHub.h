// Fan-out of device events (bus transfers, reports, change-log lines) to the clients of the
// event stream. Each event is formatted once and shared by every subscriber; each
// subscriber's queue is bounded in bytes: a slow client loses its oldest events and is
// told how many, and never holds up the device.
#pragma once

#include "DeviceRuntime.h"

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rlzev
{
struct SEvent
{
    unsigned long long m_uId = 0;
    const char* m_pcType = "";                  // "transfer", "report" or "log"
    std::shared_ptr<const std::string> m_pData;  // one line of JSON
};

class CEventHub : public CDeviceObserver
{
public:
    class CSubscription;
    static constexpr std::size_t kMaxEventText = 16384;  // a longer text is cut, and says so

    explicit CEventHub(std::size_t a_uMaxSubscribers = 4, std::size_t a_uQueueBytes = 1 << 20)
        : m_uMaxSubscribers(a_uMaxSubscribers), m_uQueueBytes(a_uQueueBytes)
    {
    }

    bool IsListening() const override { return m_uSubscribers.load(std::memory_order_relaxed) != 0; }
    void OnEvent(const SDeviceEvent& a_rEvent) override;
    void Publish(const char* a_pcType, std::string a_strData);

    // a_Wake is called when events arrive after a Take, and when the hub closes; it runs
    // under the hub's lock, so it only hands the news on (posts work), never calls the hub.
    // Null when the subscriber limit is reached or the hub is closed.
    std::shared_ptr<CSubscription> Subscribe(std::function<void()> a_Wake);
    std::size_t Subscribers() const { return m_uSubscribers.load(std::memory_order_relaxed); }
    // Whether a Subscribe now would be taken (what a HEAD of the stream answers).
    bool HasRoom() const;
    // Wakes every subscriber and refuses new ones: for shutdown.
    void Close();

    class CSubscription
    {
    public:
        // Moves the waiting events out (without copying them under the lock); false once
        // the hub is closed.
        bool Take(std::deque<SEvent>& a_rEvents, unsigned long long& a_ruDropped);
        ~CSubscription();

    private:
        friend class CEventHub;
        CSubscription(CEventHub& a_rHub, std::function<void()> a_Wake) : m_rHub(a_rHub), m_Wake(std::move(a_Wake)) {}
        CEventHub& m_rHub;
        std::function<void()> m_Wake;
        std::deque<SEvent> m_Queue;
        std::size_t m_uBytes = 0;
        unsigned long long m_uDropped = 0;
        bool m_bWoken = false;  // a wake is on its way: no second one until the next Take
    };

private:
    mutable std::mutex m_Mutex;
    std::vector<CSubscription*> m_Subscribers;
    std::atomic<std::size_t> m_uSubscribers{0};
    std::size_t m_uMaxSubscribers;
    std::size_t m_uQueueBytes;
    unsigned long long m_uNextId = 1;
    bool m_bClosed = false;
};
} // namespace rlzev
