// Access strategy of write-only registers: refused reads, direct writes.
#pragma once

#include "HostInterfaces.h"

class RL_ZEV_EXPORT CParallelWrite
{
public:
    virtual ~CParallelWrite();

protected:
    explicit CParallelWrite(CHWAccess* a_pAdapter);
    void Read(unsigned a_udwAddress, unsigned a_udwSecondAddress, unsigned& a_rudwFirst,
              unsigned a_udwByteCount) const;
    // Direct transfers are inline: one host call, nothing around it.
    void Write(unsigned a_udwAddress, unsigned /*a_udwSecondAddress*/, const unsigned& a_rudwFirst,
               unsigned a_udwByteCount)
    {
        if (m_pAdapter != nullptr)
            m_pAdapter->Write(a_udwAddress, &a_rudwFirst, a_udwByteCount);
    }

private:
    CHWAccess* m_pAdapter;
};
