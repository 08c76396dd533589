#include "AuditLog.h"

#include <cstdio>
#include <ctime>
#include <utility>

using nlohmann::json;

namespace rlzev
{
namespace
{
void Cap(json& a_rValue)
{
    if (a_rValue.is_string())
    {
        const std::string& strText = a_rValue.get_ref<const std::string&>();
        if (strText.size() > CAuditLog::kMaxText)
            a_rValue = strText.substr(0, CAuditLog::kMaxText) + "... (" + std::to_string(strText.size()) + " bytes)";
    }
    else if (a_rValue.is_array())
    {
        const std::size_t uSize = a_rValue.size();
        if (uSize > CAuditLog::kMaxItems)
        {
            a_rValue.erase(a_rValue.begin() + CAuditLog::kMaxItems, a_rValue.end());
            a_rValue.push_back("... (" + std::to_string(uSize) + " in all)");
        }
        for (json& rItem : a_rValue)
            Cap(rItem);
    }
    else if (a_rValue.is_object())
    {
        for (json& rItem : a_rValue)
            Cap(rItem);
    }
}
} // namespace

std::string CAuditLog::Now()
{
    const auto Now = std::chrono::system_clock::now();
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
    const long long iMillis =
        std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() % 1000;
    std::tm Parts{};
#ifdef _WIN32
    gmtime_s(&Parts, &Seconds);
#else
    gmtime_r(&Seconds, &Parts);
#endif
    char acText[40];
    std::strftime(acText, sizeof acText, "%Y-%m-%dT%H:%M:%S", &Parts);
    char acMillis[8];
    std::snprintf(acMillis, sizeof acMillis, ".%03lldZ", iMillis);
    return std::string(acText) + acMillis;
}

std::string CAuditLog::Text(json a_Line)
{
    Cap(a_Line);
    json Line = {{"time", Now()}};
    Line.update(a_Line);
    // UTF-8 as it came; a byte that is none is replaced rather than the line lost.
    return Line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void CAuditLog::Put(const std::string& a_strLine)
{
    // A sink that failed is tried again with each line, the first ending whatever part of
    // the lost line got out, so that the next stands whole on its own.
    if (m_bFailing)
    {
        m_pSink->clear();
        m_pSink->put('\n');
    }
    m_pSink->write(a_strLine.data(), static_cast<std::streamsize>(a_strLine.size()));
    m_pSink->flush();
    m_bFailing = !*m_pSink;
}

void CAuditLog::Write(json a_Line)
{
    if (m_pSink == nullptr)
        return;
    const std::string strLine = Text(std::move(a_Line));
    std::lock_guard<std::mutex> Lock(m_Mutex);
    Put(strLine);
}

void CAuditLog::RefusedToken(const std::string& a_strClient)
{
    if (m_pSink == nullptr)
        return;
    const auto Now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> Lock(m_Mutex);
    ++m_uRefused;
    m_strLastClient = a_strClient;
    if (Now - m_LastRefusalLine >= std::chrono::seconds(1))
        WriteRefusals(Now);
}

void CAuditLog::Flush()
{
    std::lock_guard<std::mutex> Lock(m_Mutex);
    if (m_pSink != nullptr && m_uRefused > 0)
        WriteRefusals(std::chrono::steady_clock::now());
}

void CAuditLog::WriteRefusals(std::chrono::steady_clock::time_point a_Now)
{
    Put(Text({{"operation", "token"}, {"status", 401}, {"refused", m_uRefused}, {"client", m_strLastClient}}));
    m_uRefused = 0;
    m_LastRefusalLine = a_Now;
}
} // namespace rlzev
