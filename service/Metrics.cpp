#include "Metrics.h"

#include "DeviceRuntime.h"
#include "EventHub.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <mutex>
#include <unordered_map>

namespace rlzev
{
namespace
{
prometheus::MetricFamily Single(const char* a_pcName, const char* a_pcHelp, prometheus::MetricType a_eType, double a_dValue)
{
    prometheus::MetricFamily Family{a_pcName, a_pcHelp, a_eType, {}};
    prometheus::ClientMetric Metric;
    if (a_eType == prometheus::MetricType::Counter)
        Metric.counter.value = a_dValue;
    else
        Metric.gauge.value = a_dValue;
    Family.metric.push_back(Metric);
    return Family;
}
} // namespace

struct CServiceMetrics::SImpl
{
    SImpl(const CDeviceRuntime& a_rRuntime, const CEventHub& a_rEvents)
        : m_rRuntime(a_rRuntime), m_rEvents(a_rEvents),
          m_Requests(prometheus::BuildCounter()
                         .Name("zev_requests_total")
                         .Help("Requests answered, by operation and HTTP status")
                         .Register(m_Registry)),
          m_Latency(prometheus::BuildHistogram()
                        .Name("zev_request_duration_seconds")
                        .Help("From a request's header to its answer, by operation")
                        .Register(m_Registry)),
          m_RefusedTokens(prometheus::BuildCounter()
                              .Name("zev_refused_tokens_total")
                              .Help("Requests refused for a missing or wrong token")
                              .Register(m_Registry)
                              .Add({}))
    {
    }

    const CDeviceRuntime& m_rRuntime;
    const CEventHub& m_rEvents;
    prometheus::Registry m_Registry;
    prometheus::Family<prometheus::Counter>& m_Requests;
    prometheus::Family<prometheus::Histogram>& m_Latency;
    prometheus::Counter& m_RefusedTokens;
    // The families' own look-up builds a label map per call: the series are kept by name here.
    std::mutex m_Mutex;
    std::unordered_map<std::string, prometheus::Counter*> m_ByStatus;
    std::unordered_map<std::string, prometheus::Histogram*> m_ByOperation;
};

CServiceMetrics::CServiceMetrics(const CDeviceRuntime& a_rRuntime, const CEventHub& a_rEvents)
    : m_pImpl(std::make_unique<SImpl>(a_rRuntime, a_rEvents))
{
}

CServiceMetrics::~CServiceMetrics() = default;

bool CServiceMetrics::Available()
{
    return true;
}

void CServiceMetrics::Answered(const std::string& a_strOperation, int a_iStatus, std::chrono::steady_clock::duration a_Took)
{
    static const prometheus::Histogram::BucketBoundaries kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                                     0.1,    0.25,  0.5,    1,     2.5,  5,    10};
    const std::string strStatus = std::to_string(a_iStatus);
    prometheus::Counter* pCount = nullptr;
    prometheus::Histogram* pLatency = nullptr;
    {
        std::lock_guard<std::mutex> Lock(m_pImpl->m_Mutex);
        prometheus::Counter*& rCount = m_pImpl->m_ByStatus[a_strOperation + ' ' + strStatus];
        if (rCount == nullptr)
            rCount = &m_pImpl->m_Requests.Add({{"operation", a_strOperation}, {"status", strStatus}});
        prometheus::Histogram*& rLatency = m_pImpl->m_ByOperation[a_strOperation];
        if (rLatency == nullptr)
            rLatency = &m_pImpl->m_Latency.Add({{"operation", a_strOperation}}, kBuckets);
        pCount = rCount;
        pLatency = rLatency;
    }
    pCount->Increment();
    pLatency->Observe(std::chrono::duration<double>(a_Took).count());
}

void CServiceMetrics::RefusedToken()
{
    m_pImpl->m_RefusedTokens.Increment();
}

std::string CServiceMetrics::Text(std::size_t a_uConnections) const
{
    using prometheus::MetricType;
    std::vector<prometheus::MetricFamily> Families = m_pImpl->m_Registry.Collect();
    const SRuntimeCounts Counts = m_pImpl->m_rRuntime.Counts();
    const auto Number = [](unsigned long long a_uValue) { return static_cast<double>(a_uValue); };
    Families.push_back(Single("zev_bus_transfers_total", "Bus reads and writes the device asked its host for",
                              MetricType::Counter, Number(Counts.m_uTransfers)));
    Families.push_back(Single("zev_bus_faults_total", "Bus transfers the host did not finish (it threw)",
                              MetricType::Counter, Number(Counts.m_uFaults)));
    Families.push_back(Single("zev_reports_total", "Errors and refused directions the device reported",
                              MetricType::Counter, Number(Counts.m_uReports)));
    Families.push_back(Single("zev_device_calls_total", "Calls that held the device", MetricType::Counter,
                              Number(Counts.m_uCalls)));
    Families.push_back(Single("zev_stream_clients", "Event-stream clients connected now", MetricType::Gauge,
                              Number(m_pImpl->m_rEvents.Subscribers())));
    Families.push_back(Single("zev_open_connections", "HTTP connections open now", MetricType::Gauge,
                              Number(a_uConnections)));
    return prometheus::TextSerializer().Serialize(Families);
}
} // namespace rlzev
