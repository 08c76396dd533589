// A request that breaks a rule (of the service, of a register set): answered 400 with its
// text, and nothing of it reaches the device.
#pragma once

#include <string>
#include <utility>

namespace rlzev
{
struct SBadRequest
{
    explicit SBadRequest(std::string a_strText, std::string a_strArgument = "")
        : m_strText(std::move(a_strText)), m_strArgument(std::move(a_strArgument))
    {
    }
    std::string m_strText;
    std::string m_strArgument;  // the argument the runtime's check refused, when it was one
};
} // namespace rlzev
