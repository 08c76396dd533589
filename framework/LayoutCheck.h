// Compile-time consistency of a generated register's constants: the fields fit the width and
// do not overlap, the masks agree with the fields, and defaults and enumerators fit.
#pragma once

#include "PlainRegister.h"

#include <initializer_list>

namespace rlzev
{
constexpr unsigned FieldMask(const SSignalInfo& a_rInfo)
{
    return (a_rInfo.m_udwWidth >= 32 ? 0xFFFFFFFFu : (1u << a_rInfo.m_udwWidth) - 1u) << a_rInfo.m_udwLow;
}

constexpr bool LayoutAgrees(const SRegisterLayout& a_rLayout, std::initializer_list<const SSignalInfo*> a_Fields)
{
    const unsigned udwWidthMask = a_rLayout.m_udwWidth >= 32 ? 0xFFFFFFFFu : (1u << a_rLayout.m_udwWidth) - 1u;
    unsigned udwFields = 0;
    unsigned udwDefaults = 0;
    for (const SSignalInfo* pInfo : a_Fields)
    {
        if (pInfo->m_udwWidth == 0 || pInfo->m_udwWidth > 32 || pInfo->m_udwLow + pInfo->m_udwWidth > a_rLayout.m_udwWidth)
            return false;
        const unsigned udwMask = FieldMask(*pInfo);
        const unsigned udwMax = udwMask >> pInfo->m_udwLow;
        if ((udwFields & udwMask) != 0 || pInfo->m_udwDefault > udwMax)
            return false;
        for (unsigned i = 0; i < pInfo->m_udwEnumeratorCount; ++i)
            if (pInfo->m_pEnumerators[i].m_udwValue > udwMax)
                return false;
        udwFields |= udwMask;
        udwDefaults |= pInfo->m_udwDefault << pInfo->m_udwLow;
    }
    const unsigned udwHidden = a_rLayout.m_udwDefaultMask & ~udwFields;
    return (a_rLayout.m_udwDefaultMask & udwFields) == udwFields &&
           (a_rLayout.m_udwDefaultMask & ~udwWidthMask) == 0 &&
           (a_rLayout.m_udwHwUnusedMask | udwFields | udwHidden) == udwWidthMask &&
           (a_rLayout.m_udwHwUnusedMask & (udwFields | udwHidden)) == 0 &&
           a_rLayout.m_udwAppUnusedMask == (udwWidthMask & ~udwFields & ~a_rLayout.m_udwAppForcedOnes) &&
           (a_rLayout.m_udwAppForcedOnes & ~udwHidden) == 0 &&
           a_rLayout.m_udwDefaultValue == (udwDefaults | a_rLayout.m_udwAppForcedOnes);
}
} // namespace rlzev
