// What a monitoring system scrapes from zevd (Prometheus's text format): requests by
// operation and status with their latency, and what the device and the server hold now.
// Labels are operation names and statuses only: never a register's name or a value, which
// only the token may see. Built without prometheus-cpp, the server answers that it has none.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace rlzev
{
class CDeviceRuntime;
class CEventHub;

class CServiceMetrics
{
public:
    CServiceMetrics(const CDeviceRuntime& a_rRuntime, const CEventHub& a_rEvents);
    ~CServiceMetrics();
    CServiceMetrics(const CServiceMetrics&) = delete;
    CServiceMetrics& operator=(const CServiceMetrics&) = delete;

    // False when this build has no metrics.
    static bool Available();
    // An answer given: a_strOperation one of a small fixed set of names, from any thread.
    void Answered(const std::string& a_strOperation, int a_iStatus, std::chrono::steady_clock::duration a_Took);
    void RefusedToken();
    // The exposition, with the connections open now.
    std::string Text(std::size_t a_uConnections) const;

    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};
} // namespace rlzev
