// Access strategy of registers the device reads and writes directly.
#pragma once

#include "HostInterfaces.h"

class RL_ZEV_EXPORT CParallelRead_ParallelWrite
{
public:
    virtual ~CParallelRead_ParallelWrite();

protected:
    explicit CParallelRead_ParallelWrite(CHWAccess* a_pAdapter);
    // Direct transfers are inline: one host call, nothing around it.
    void Read(unsigned a_udwAddress, unsigned /*a_udwSecondAddress*/, unsigned& a_rudwFirst, unsigned a_udwByteCount)
    {
        if (m_pAdapter != nullptr)
            m_pAdapter->Read(a_udwAddress, &a_rudwFirst, a_udwByteCount);
    }
    void Write(unsigned a_udwAddress, unsigned /*a_udwSecondAddress*/, const unsigned& a_rudwFirst,
               unsigned a_udwByteCount)
    {
        if (m_pAdapter != nullptr)
            m_pAdapter->Write(a_udwAddress, &a_rudwFirst, a_udwByteCount);
    }
    void SetAdapter(CHWAccess* a_pAdapter);

private:
    CHWAccess* m_pAdapter;
};
