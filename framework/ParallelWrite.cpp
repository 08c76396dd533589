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

