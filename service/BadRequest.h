// A request that breaks a rule of the service: answered 400 with its text, and nothing of it
// reaches the device (internal to the service).
#pragma once

#include <string>

namespace rlzev
{
struct SBadRequest
{
    std::string m_strText;
};
} // namespace rlzev
