// The answers of recent changing requests by the id their client gave them: a client that
// lost an answer on the wire sends the request again with the same id and gets the answer,
// and the device does not carry the request out twice.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace rlzev
{
struct SHttpResponse;

class CAnswered
{
public:
    static constexpr std::size_t kMaxIdLength = 64;
    static constexpr std::size_t kMaxCount = 1024;                   // answers kept at most
    static constexpr std::size_t kMaxAnswerBytes = 1u << 20;         // a larger one is kept as a note
    static constexpr std::size_t kMaxBytes = 16u << 20;              // of all answers kept
    static constexpr std::chrono::minutes kKeptFor{10};

    // Letters, digits, '-', '_' and '.', 1 to 64 of them.
    static bool IsId(const std::string& a_strId);

    enum class EFound
    {
        NONE,       // not asked before (or forgotten): carry it out
        SAME,       // the same request again: a_rAnswer is its answer
        ANOTHER,    // the id was given to another request
    };
    EFound Find(const std::string& a_strId, std::size_t a_uDigest, SHttpResponse& a_rAnswer);
    void Keep(const std::string& a_strId, std::size_t a_uDigest, const SHttpResponse& a_rAnswer);

private:
    struct SKept
    {
        std::size_t m_uDigest;
        int m_iStatus;
        std::string m_strBody;
        std::chrono::steady_clock::time_point m_At;
    };
    void Forget(std::chrono::steady_clock::time_point a_Now);

    std::mutex m_Mutex;
    std::unordered_map<std::string, SKept> m_Kept;
    std::deque<std::string> m_Order;  // oldest first
    std::size_t m_uBytes = 0;
};
} // namespace rlzev
