// Access strategy of registers the device cannot return directly: a read starts the
// device's read-back path (ready bit in PRI_STATUSREG1, value in PRI_SERVAL); writes are direct.
#pragma once

#include "HostInterfaces.h"

class RL_ZEV_EXPORT CSequentialRead_ParallelWrite
{
public:
    virtual ~CSequentialRead_ParallelWrite();
    // The read-back path's own registers, for a host that must know which transfers are its.
    static unsigned ReadBackStatusAddress();
    static unsigned ReadBackDataAddress();

protected:
    explicit CSequentialRead_ParallelWrite(CHWAccess* a_pAdapter);
    void Read(unsigned a_udwAddress, unsigned a_udwSecondAddress, unsigned& a_rudwFirst, unsigned a_udwByteCount);
    // Direct transfers are inline: one host call, nothing around it.
    void Write(unsigned a_udwAddress, unsigned /*a_udwSecondAddress*/, const unsigned& a_rudwFirst,
               unsigned a_udwByteCount)
    {
        if (m_pAdapter != nullptr)
            m_pAdapter->Write(a_udwAddress, &a_rudwFirst, a_udwByteCount);
    }
    // Keeps polling SERDAT_RDY: the read-back path signals through that bit whatever adapter carries it.
    void SetAdapter(CHWAccess* a_pAdapter);

private:
    void ResetStatusBits(unsigned a_udwAddress, unsigned a_udwBits);

    CHWAccess* m_pAdapter;
    unsigned m_udwStatusAddress;  // PRI_STATUSREG1
    unsigned m_udwReadyMask;      // SERDAT_RDY
    unsigned m_udwDataAddress;    // PRI_SERVAL
    unsigned m_udwPollLimit;      // most status polls per word
};
