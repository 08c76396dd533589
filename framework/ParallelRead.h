// Access strategy of read-only registers: direct reads, refused writes.
#pragma once

#include "HostInterfaces.h"

class RL_ZEV_EXPORT CParallelRead
{
public:
    virtual ~CParallelRead();

protected:
    explicit CParallelRead(CHWAccess* a_pAdapter);
    // Direct transfers are inline: one host call, nothing around it.
    void Read(unsigned a_udwAddress, unsigned /*a_udwSecondAddress*/, unsigned& a_rudwFirst, unsigned a_udwByteCount)
    {
        if (m_pAdapter != nullptr)
            m_pAdapter->Read(a_udwAddress, &a_rudwFirst, a_udwByteCount);
    }
    void Write(unsigned a_udwAddress, unsigned a_udwSecondAddress, const unsigned& a_rudwFirst,
               unsigned a_udwByteCount) const;

private:
    CHWAccess* m_pAdapter;
};
