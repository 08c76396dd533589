#include "SequentialRead_ParallelWrite.h"
#include "Transfers.h"

namespace
{
const unsigned kStatusAddress = 24;
const unsigned kReadyMask = 0x10000;
const unsigned kDataAddress = 30;
const unsigned kPollLimit = 10000;
const unsigned kPollWait = 8;
const unsigned kFetchWait = 50;
const unsigned kFailedWord = 0xFFFFFFFF;

void Report(CHWAccess* a_pAdapter, int a_iLine, const char* a_pcMessage)
{
    if (a_pAdapter->m_pUtility != nullptr)
        a_pAdapter->m_pUtility->ReportError("SequentialRead_ParallelWrite", a_iLine,
                                            "CSequentialRead_ParallelWrite::Read", a_pcMessage);
}
} // namespace

CSequentialRead_ParallelWrite::CSequentialRead_ParallelWrite(CHWAccess* a_pAdapter)
    : m_pAdapter(a_pAdapter), m_udwStatusAddress(kStatusAddress), m_udwReadyMask(kReadyMask),
      m_udwDataAddress(kDataAddress), m_udwPollLimit(kPollLimit)
{
}

CSequentialRead_ParallelWrite::~CSequentialRead_ParallelWrite()
{
    m_pAdapter = nullptr;
}

void CSequentialRead_ParallelWrite::Read(unsigned a_udwAddress, unsigned, unsigned& a_rudwFirst,
                                         unsigned a_udwByteCount)
{
    if (m_pAdapter == nullptr)
        return;
    const unsigned udwWords = a_udwByteCount / 4 + (a_udwByteCount % 4 != 0 ? 1 : 0);
    unsigned* pudwNext = &a_rudwFirst;
    try
    {
        for (unsigned i = 0; i < udwWords; ++i, ++pudwNext)
        {
            m_pAdapter->Write(m_udwStatusAddress, &m_udwReadyMask, 4);
            unsigned udwScratch = 0;
            m_pAdapter->Read(a_udwAddress + i, &udwScratch, 4);

            bool bFetch = false;
            for (unsigned udwPolls = 0;;)
            {
                udwScratch = 0;
                m_pAdapter->Wait(kPollWait);
                m_pAdapter->Read(m_udwStatusAddress, &udwScratch, 4);
                ++udwPolls;
                if ((udwScratch & m_udwReadyMask) != 0)
                {
                    bFetch = true;
                    break;
                }
                if (udwPolls >= m_udwPollLimit)
                    break;
                // A host that gives up waiting gets whatever the data register holds.
                if (m_pAdapter->m_pUtility != nullptr && m_pAdapter->m_pUtility->StopWaiting())
                {
                    bFetch = true;
                    break;
                }
            }
            m_pAdapter->Wait(kFetchWait);
            if (bFetch)
            {
                m_pAdapter->Read(m_udwDataAddress, pudwNext, 4);
            }
            else
            {
                a_rudwFirst = kFailedWord;
                Report(m_pAdapter, __LINE__, ",HW device not ready!");
            }
        }
    }
    catch (...)
    {
        a_rudwFirst = kFailedWord;
        Report(m_pAdapter, __LINE__, ",Unknown error!");
    }
}


unsigned CSequentialRead_ParallelWrite::ReadBackStatusAddress()
{
    return kStatusAddress;
}

unsigned CSequentialRead_ParallelWrite::ReadBackDataAddress()
{
    return kDataAddress;
}

void CSequentialRead_ParallelWrite::SetAdapter(CHWAccess* a_pAdapter)
{
    m_pAdapter = a_pAdapter;
    m_udwStatusAddress = kStatusAddress;
    m_udwReadyMask = kReadyMask;
    m_udwDataAddress = kDataAddress;
    m_udwPollLimit = kPollLimit;
}

void CSequentialRead_ParallelWrite::ResetStatusBits(unsigned a_udwAddress, unsigned a_udwBits)
{
    if (m_pAdapter != nullptr)
        m_pAdapter->Write(a_udwAddress, &a_udwBits, 4);
}
