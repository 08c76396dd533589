#include "PlainRegister.h"

#include <stdexcept>

template <class TStrategy>
CPlainRegister<TStrategy>::CPlainRegister(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister,
                                          const SRegisterLayout& a_rLayout, unsigned a_udwInitialValue)
    : TStrategy(a_pHWAccess), m_rLayout(a_rLayout)
{
    m_strName = a_rLayout.m_pcName;
    if (a_rLayout.m_bStatus)
        m_pStatusRegister = a_pStatusRegister;
    m_Words.m_udwHwValue = m_Words.m_udwAppValue = a_udwInitialValue;
    m_udwAddress = a_rLayout.m_udwAddress;
    m_udwSecondAddress = 0;
    m_udwWidth = a_rLayout.m_udwWidth;
    m_udwWordCount = 1;
    m_pudwHwImage = &m_Words.m_udwHwValue;
    m_pudwAppImage = &m_Words.m_udwAppValue;
}

template <class TStrategy>
CPlainRegister<TStrategy>::~CPlainRegister() = default;

template <class TStrategy>
bool CPlainRegister<TStrategy>::ResetsUnusedBits()
{
    m_Words.m_udwHwValue &= ~m_rLayout.m_udwHwUnusedMask;
    m_Words.m_udwAppValue = (m_Words.m_udwAppValue & ~m_rLayout.m_udwAppUnusedMask) | m_rLayout.m_udwAppForcedOnes;
    return true;
}

template <class TStrategy>
void CPlainRegister<TStrategy>::ReadHW()
{
    TStrategy::Read(m_udwAddress, m_udwSecondAddress, m_Words.m_udwHwValue, m_udwWidth / 8);
}

template <class TStrategy>
bool CPlainRegister<TStrategy>::WriteHW()
{
    if (m_bHwWriteEnabled)
        TStrategy::Write(m_udwAddress, m_udwSecondAddress, m_Words.m_udwHwValue, m_udwWidth / 8);
    return m_bHwWriteEnabled;
}

template <class TStrategy>
bool CPlainRegister<TStrategy>::SetToDefault()
{
    ResetsUnusedBits();
    const unsigned udwMask = m_rLayout.m_udwDefaultMask;
    const unsigned udwValue = m_rLayout.m_udwDefaultValue & udwMask;
    m_Words.m_udwHwValue = (m_Words.m_udwHwValue & ~udwMask) | udwValue;
    m_Words.m_udwAppValue = (m_Words.m_udwAppValue & ~udwMask) | udwValue;
    WriteHW();
    return true;
}

template <class TStrategy>
std::vector<unsigned> CPlainRegister<TStrategy>::GetNotTypedValue(unsigned, unsigned)
{
    ReadHW();
    m_Words.m_udwAppValue = m_Words.m_udwHwValue;
    return {m_Words.m_udwHwValue};
}

template <class TStrategy>
void CPlainRegister<TStrategy>::SetNotTypedValue(std::vector<unsigned>& a_rValues, unsigned)
{
    // The text hosts already know from their own vector implementation.
    if (a_rValues.empty())
        throw std::out_of_range("invalid vector<T> subscript");
    m_Words.m_udwHwValue = a_rValues.front();
    WriteHW();
    m_Words.m_udwAppValue = m_Words.m_udwHwValue;
}

template <class TStrategy>
bool CPlainRegister<TStrategy>::ResetAllStatusBits()
{
    if (m_pStatusRegister != nullptr)
        m_pStatusRegister->PrepareResetAll(&m_Words.m_udwHwValue);
    WriteHW();
    return true;
}

template class CPlainRegister<CParallelRead>;
template class CPlainRegister<CParallelWrite>;
template class CPlainRegister<CParallelRead_ParallelWrite>;
template class CPlainRegister<CSequentialRead_ParallelWrite>;
