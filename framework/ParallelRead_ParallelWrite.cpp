#include "ParallelRead_ParallelWrite.h"
#include "Transfers.h"

CParallelRead_ParallelWrite::CParallelRead_ParallelWrite(CHWAccess* a_pAdapter) : m_pAdapter(a_pAdapter) {}

CParallelRead_ParallelWrite::~CParallelRead_ParallelWrite()
{
    m_pAdapter = nullptr;
}



void CParallelRead_ParallelWrite::SetAdapter(CHWAccess* a_pAdapter)
{
    m_pAdapter = a_pAdapter;
}
