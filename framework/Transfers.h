// Internal helpers shared by the access strategies (not installed).
#pragma once

#include "HostInterfaces.h"

namespace rlzev
{
// A refused direction transfers nothing; the host learns of every attempt.
inline void DenyAccess(CHWAccess* a_pAdapter, const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                       const char* a_pcMessage)
{
    if (a_pAdapter != nullptr && a_pAdapter->m_pUtility != nullptr)
        a_pAdapter->m_pUtility->ReportAccessDenied(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
}
} // namespace rlzev
