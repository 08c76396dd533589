// A build without prometheus-cpp: no metrics, and the server says so.
#include "Metrics.h"

namespace rlzev
{
struct CServiceMetrics::SImpl
{
};

CServiceMetrics::CServiceMetrics(const CDeviceRuntime&, const CEventHub&) {}
CServiceMetrics::~CServiceMetrics() = default;
bool CServiceMetrics::Available()
{
    return false;
}
void CServiceMetrics::Answered(const std::string&, int, std::chrono::steady_clock::duration) {}
void CServiceMetrics::RefusedToken() {}
std::string CServiceMetrics::Text(std::size_t) const
{
    return {};
}
} // namespace rlzev
