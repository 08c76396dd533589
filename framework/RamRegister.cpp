#include "RamRegister.h"
#include "ZEVUtilities.h"

#include <algorithm>
#include <cstring>

namespace
{
const char* const kRangeError = ", memory error, RAM frontiers have been hurt.";
}

template <class TStrategy>
CRamRegister<TStrategy>::CRamRegister(CHWAccess* a_pHWAccess, const SRamLayout& a_rLayout)
    : TStrategy(a_pHWAccess), m_pudwHwBuffer(nullptr), m_pudwAppBuffer(nullptr), m_rLayout(a_rLayout)
{
    m_strName = a_rLayout.m_pcName;
    m_udwAddress = a_rLayout.m_udwAddress;
    m_udwSecondAddress = 0;
    m_udwWidth = 32;
    m_udwWordCount = a_rLayout.m_udwWordCount;
    // One spare word behind each buffer keeps an empty block at the very end addressable.
    m_pudwHwBuffer = new unsigned[m_udwWordCount + 1]();
    m_pudwAppBuffer = new unsigned[m_udwWordCount + 1]();
    m_pudwHwImage = m_pudwHwBuffer;
    m_pudwAppImage = m_pudwAppBuffer;
}

template <class TStrategy>
CRamRegister<TStrategy>::~CRamRegister()
{
    delete[] m_pudwAppBuffer;
    delete[] m_pudwHwBuffer;
}

template <class TStrategy>
unsigned CRamRegister<TStrategy>::GetRAMSize() const
{
    return m_udwWordCount;
}

template <class TStrategy>
bool CRamRegister<TStrategy>::InRange(unsigned a_udwStart, unsigned a_udwCount) const
{
    return a_udwStart <= m_udwWordCount && a_udwCount <= m_udwWordCount - a_udwStart;
}

template <class TStrategy>
void CRamRegister<TStrategy>::Report(int a_iLine, const char* a_pcFunction, const char* a_pcMessage) const
{
    CZEVUtilities::GetInstance().ReportError(m_rLayout.m_pcSourceFile, a_iLine, a_pcFunction, a_pcMessage);
}

template <class TStrategy>
void CRamRegister<TStrategy>::ReadHW()
{
    TStrategy::Read(m_udwAddress, m_udwSecondAddress, m_pudwHwBuffer[0], m_udwWordCount * 4);
}

template <class TStrategy>
bool CRamRegister<TStrategy>::WriteHW()
{
    if (m_udwLockState == UNLOCKED)
        std::copy(m_pudwAppBuffer, m_pudwAppBuffer + m_udwWordCount, m_pudwHwBuffer);
    TStrategy::Write(m_udwAddress, m_udwSecondAddress, m_pudwHwBuffer[0], m_udwWordCount * 4);
    m_bWritePending = false;  // the whole image is the hardware's again
    return true;
}

template <class TStrategy>
bool CRamRegister<TStrategy>::Set(const unsigned* a_udwpValue, unsigned a_udwStart, unsigned a_udwCount, bool)
{
    if (a_udwpValue == nullptr)
    {
        Report(__LINE__, m_rLayout.m_pcSetFunction, ",submitted parameter a_udwpValue == NULL.");
        return false;
    }
    if (!InRange(a_udwStart, a_udwCount))
    {
        Report(__LINE__, m_rLayout.m_pcSetFunction, kRangeError);
        return false;
    }
    if (m_udwLockState == UNLOCKED)
        std::copy(a_udwpValue, a_udwpValue + a_udwCount, m_pudwAppBuffer + a_udwStart);
    if (m_udwLockState != UNLOCKED && m_udwLockState != SERVICE_ACCESS)
        return false;
    // Only a block that changes the hardware image goes out, unless the image is not to be
    // trusted since a host fault.
    unsigned* pudwHw = m_pudwHwBuffer + a_udwStart;
    if (!m_bWritePending && std::memcmp(pudwHw, a_udwpValue, a_udwCount * sizeof(unsigned)) == 0)
        return false;
    std::copy(a_udwpValue, a_udwpValue + a_udwCount, pudwHw);
    TStrategy::Write(m_udwAddress + a_udwStart, m_udwSecondAddress, *a_udwpValue, a_udwCount * 4);
    if (a_udwCount == m_udwWordCount)
        m_bWritePending = false;  // written whole: the image is the hardware's again
    return true;
}

template <class TStrategy>
bool CRamRegister<TStrategy>::Get(unsigned* a_udwpValue, unsigned a_udwStart, unsigned a_udwCount, bool a_bReadHW)
{
    if (a_udwpValue == nullptr)
    {
        Report(__LINE__, m_rLayout.m_pcGetFunction, ", submitted parameter a_udwpValue == NULL.");
        return false;
    }
    if (!InRange(a_udwStart, a_udwCount))
    {
        Report(__LINE__, m_rLayout.m_pcGetFunction, kRangeError);
        return false;
    }
    if (a_bReadHW)
        TStrategy::Read(m_udwAddress + a_udwStart, m_udwSecondAddress, m_pudwHwBuffer[a_udwStart], a_udwCount * 4);
    if (m_udwLockState == UNLOCKED)
        std::copy(m_pudwHwBuffer, m_pudwHwBuffer + m_udwWordCount, m_pudwAppBuffer);
    std::copy(m_pudwAppBuffer + a_udwStart, m_pudwAppBuffer + a_udwStart + a_udwCount, a_udwpValue);
    return a_bReadHW;
}

template <class TStrategy>
std::vector<unsigned> CRamRegister<TStrategy>::GetNotTypedValue(unsigned a_udwStart, unsigned a_udwCount)
{
    ReadHW();
    const unsigned* pudwSource = m_pudwHwBuffer;
    if (m_udwLockState == UNLOCKED)
    {
        std::copy(m_pudwHwBuffer, m_pudwHwBuffer + m_udwWordCount, m_pudwAppBuffer);
        pudwSource = m_pudwAppBuffer;
    }
    // Only words that exist are returned.
    const unsigned udwStart = std::min(a_udwStart, m_udwWordCount);
    const unsigned udwCount = std::min(a_udwCount, m_udwWordCount - udwStart);
    return std::vector<unsigned>(pudwSource + udwStart, pudwSource + udwStart + udwCount);
}

template <class TStrategy>
void CRamRegister<TStrategy>::SetNotTypedValue(std::vector<unsigned>& a_rValues, unsigned a_udwStart)
{
    Set(a_rValues.empty() ? nullptr : a_rValues.data(), a_udwStart, static_cast<unsigned>(a_rValues.size()), true);
}

template <class TStrategy>
bool CRamRegister<TStrategy>::SetToDefault()
{
    const std::vector<unsigned> Zeros(m_udwWordCount, 0);
    return Set(Zeros.data(), 0, m_udwWordCount, false);
}

template <class TStrategy>
bool CRamRegister<TStrategy>::ResetsUnusedBits()
{
    return true;
}

template <class TStrategy>
void CRamRegister<TStrategy>::Lock(std::string&)
{
    m_udwLockState = LOCKED;
}

template <class TStrategy>
void CRamRegister<TStrategy>::LockAll()
{
    m_udwLockState = LOCKED;
}

template <class TStrategy>
void CRamRegister<TStrategy>::Unlock(std::string&)
{
    UnlockAll();
}

template <class TStrategy>
void CRamRegister<TStrategy>::UnlockAll()
{
    // Should the host throw, the memory is as it was: still locked, its image as before.
    const SSavedState Saved = SaveState();
    try
    {
        m_udwLockState = UNLOCKED;
        WriteHW();
    }
    catch (...)
    {
        PutState(Saved);
        throw;
    }
}

template class CRamRegister<CParallelRead_ParallelWrite>;
template class CRamRegister<CSequentialRead_ParallelWrite>;
