#include "ParallelWrite.h"
#include "Transfers.h"

CParallelWrite::CParallelWrite(CHWAccess* a_pAdapter) : m_pAdapter(a_pAdapter) {}

CParallelWrite::~CParallelWrite()
{
    m_pAdapter = nullptr;
}

void CParallelWrite::Read(unsigned, unsigned, unsigned&, unsigned) const
{
    rlzev::DenyAccess(m_pAdapter, "ParallelWrite", __LINE__, "CParallelWrite::Read", ",No read access allowed!");
}

void CParallelWrite::Write(unsigned a_udwAddress, unsigned, const unsigned& a_rudwFirst, unsigned a_udwByteCount)
{
    rlzev::DirectWrite(m_pAdapter, a_udwAddress, a_rudwFirst, a_udwByteCount);
}
