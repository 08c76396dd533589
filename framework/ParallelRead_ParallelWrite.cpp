#include "ParallelRead_ParallelWrite.h"
#include "Transfers.h"

CParallelRead_ParallelWrite::CParallelRead_ParallelWrite(CHWAccess* a_pAdapter) : m_pAdapter(a_pAdapter) {}

CParallelRead_ParallelWrite::~CParallelRead_ParallelWrite()
{
    m_pAdapter = nullptr;
}

void CParallelRead_ParallelWrite::Read(unsigned a_udwAddress, unsigned, unsigned& a_rudwFirst,
                                       unsigned a_udwByteCount)
{
    rlzev::DirectRead(m_pAdapter, a_udwAddress, a_rudwFirst, a_udwByteCount);
}

void CParallelRead_ParallelWrite::Write(unsigned a_udwAddress, unsigned, const unsigned& a_rudwFirst,
                                        unsigned a_udwByteCount)
{
    rlzev::DirectWrite(m_pAdapter, a_udwAddress, a_rudwFirst, a_udwByteCount);
}

void CParallelRead_ParallelWrite::SetAdapter(CHWAccess* a_pAdapter)
{
    m_pAdapter = a_pAdapter;
}
