// Access strategy of registers the device reads and writes directly.
#pragma once

#include "HostInterfaces.h"

class RL_ZEV_EXPORT CParallelRead_ParallelWrite
{
public:
    virtual ~CParallelRead_ParallelWrite();

protected:
    explicit CParallelRead_ParallelWrite(CHWAccess* a_pAdapter);
    void Read(unsigned a_udwAddress, unsigned a_udwSecondAddress, unsigned& a_rudwFirst, unsigned a_udwByteCount);
    void Write(unsigned a_udwAddress, unsigned a_udwSecondAddress, const unsigned& a_rudwFirst,
               unsigned a_udwByteCount);
    void SetAdapter(CHWAccess* a_pAdapter);

private:
    CHWAccess* m_pAdapter;
};
