#include "Answered.h"

#include "DeviceService.h"

namespace rlzev
{
bool CAnswered::IsId(const std::string& a_strId)
{
    if (a_strId.empty() || a_strId.size() > kMaxIdLength)
        return false;
    for (const char c : a_strId)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.'))
            return false;
    return true;
}

CAnswered::EFound CAnswered::Find(const std::string& a_strId, std::size_t a_uDigest, SHttpResponse& a_rAnswer)
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    Forget(std::chrono::steady_clock::now());
    const auto It = m_Kept.find(a_strId);
    if (It == m_Kept.end())
        return EFound::NONE;
    if (It->second.m_uDigest != a_uDigest)
        return EFound::ANOTHER;
    a_rAnswer = SHttpResponse();
    a_rAnswer.m_iStatus = It->second.m_iStatus;
    a_rAnswer.m_strBody = It->second.m_strBody;
    return EFound::SAME;
}

void CAnswered::Keep(const std::string& a_strId, std::size_t a_uDigest, const SHttpResponse& a_rAnswer)
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    const auto Now = std::chrono::steady_clock::now();
    SKept Kept{a_uDigest, a_rAnswer.m_iStatus, a_rAnswer.m_strBody, Now};
    if (Kept.m_strBody.size() > kMaxAnswerBytes)
    {
        // Carried out, and that much is known for sure: a repeat is told so, never run again.
        Kept.m_iStatus = 409;
        Kept.m_strBody = "{\"error\":\"request " + a_strId + " was carried out already (status " +
                         std::to_string(a_rAnswer.m_iStatus) + "); its answer was too large to keep\"}";
    }
    if (m_Kept.count(a_strId) != 0)
        return;  // the first answer stays
    m_uBytes += Kept.m_strBody.size();
    m_Kept.emplace(a_strId, std::move(Kept));
    m_Order.push_back(a_strId);
    Forget(Now);
}

void CAnswered::Forget(std::chrono::steady_clock::time_point a_Now)
{
    while (!m_Order.empty())
    {
        const auto It = m_Kept.find(m_Order.front());
        const bool bOld = a_Now - It->second.m_At > kKeptFor;
        if (!bOld && m_Kept.size() <= kMaxCount && m_uBytes <= kMaxBytes)
            return;
        m_uBytes -= It->second.m_strBody.size();
        m_Kept.erase(It);
        m_Order.pop_front();
    }
}
} // namespace rlzev
