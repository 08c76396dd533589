#include "ParallelRead.h"
#include "Transfers.h"

CParallelRead::CParallelRead(CHWAccess* a_pAdapter) : m_pAdapter(a_pAdapter) {}

CParallelRead::~CParallelRead()
{
    m_pAdapter = nullptr;
}


void CParallelRead::Write(unsigned, unsigned, const unsigned&, unsigned) const
{
    rlzev::DenyAccess(m_pAdapter, "ParallelRead", __LINE__, "CParallelRead::Write", ",No write access allowed!");
}
