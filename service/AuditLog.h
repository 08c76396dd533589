// The audit log: one JSON line per changing request, each written in one piece so that no
// other writer of the same stream can split it, every field capped. Refused tokens are
// counted and logged at most once a second, so that no peer without the token can grow it.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <string>

namespace rlzev
{
class CAuditLog
{
public:
    static constexpr std::size_t kMaxText = 128;   // longer texts are cut, and say so
    static constexpr std::size_t kMaxItems = 16;   // longer lists keep their first items and the count

    explicit CAuditLog(std::ostream* a_pSink) : m_pSink(a_pSink) {}
    ~CAuditLog() { Flush(); }

    // a_Line gets its time and is capped here.
    void Write(nlohmann::json a_Line);
    // A request without the right token, whatever its method.
    void RefusedToken(const std::string& a_strClient);
    // The refusals counted since the last line, if any.
    void Flush();

    // The last line could not be written (a full disk, a size limit): changes wait until one can.
    bool Failing() const { return m_bFailing; }

    // UTC with milliseconds, as every line carries it.
    static std::string Now();

private:
    // The line with its time, capped, in one piece; and out to the sink (the mutex held).
    static std::string Text(nlohmann::json a_Line);
    void Put(const std::string& a_strLine);
    void WriteRefusals(std::chrono::steady_clock::time_point a_Now);

    std::mutex m_Mutex;
    std::ostream* m_pSink;
    unsigned long long m_uRefused = 0;
    std::string m_strLastClient;
    std::chrono::steady_clock::time_point m_LastRefusalLine{};
    std::atomic<bool> m_bFailing{false};
};
} // namespace rlzev
