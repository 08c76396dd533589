#include "FieldSignal.h"
#include "HostInterfaces.h"

#include <ostream>

CFieldSignal::CFieldSignal(CRegisterBase* a_pRegister, SRegisterWords* a_pWords, bool a_bStatus,
                           const SSignalInfo& a_rInfo)
    : m_pRegister(a_pRegister), m_pWords(a_pWords), m_udwLow(a_rInfo.m_udwLow), m_udwMask(0), m_bStatus(a_bStatus)
{
    m_udwDefaultValue = a_rInfo.m_udwDefault;
    m_udwMaxValue = a_rInfo.m_udwWidth >= 32 ? 0xFFFFFFFFu : (1u << a_rInfo.m_udwWidth) - 1u;
    m_udwMask = m_udwMaxValue << m_udwLow;
    m_strName = a_rInfo.m_pcName;
    for (unsigned i = 0; i < a_rInfo.m_udwEnumeratorCount; ++i)
        m_pEnumTable->emplace(a_rInfo.m_pEnumerators[i].m_udwValue, a_rInfo.m_pEnumerators[i].m_pcName);
    // Signals are members of their register, constructed in bit order: that is the list order.
    a_pRegister->m_pSignalList->push_back(this);
}

CFieldSignal::~CFieldSignal()
{
    m_pRegister = nullptr;
    m_pWords = nullptr;
}

void CFieldSignal::LogOldValue()
{
    *m_pLogStream << "Register: " << m_pRegister->GetName() << " Signal: " << m_strName << " Changed from value: ";
    if (m_pEnumTable->empty())
    {
        *m_pLogStream << Get(true);
        return;
    }
    const unsigned udwOld = GetNotTypedValue().front();
    const auto It = m_pEnumTable->find(udwOld);
    // A field value without a name is logged as its number.
    if (It != m_pEnumTable->end())
        *m_pLogStream << It->second;
    else
        *m_pLogStream << udwOld;
}

bool CFieldSignal::SetLogged(unsigned a_udwValue, ESignalHwWrite a_eMode)
{
    LogOldValue();
    const bool bWritten = Apply(a_udwValue, a_eMode);
    *m_pLogStream << " to value: " << a_udwValue << "\n";
    return bWritten;
}

bool CFieldSignal::Unlock()
{
    if (m_bLogging && m_pLogStream != nullptr)
        *m_pLogStream << "Register: " << m_pRegister->GetName() << " Signal: " << m_strName << " unlocked.\n";
    // Should the host throw while the application's value goes back, the signal and the
    // register's image and flag stay as they were: the service's value is still out there.
    const unsigned udwState = m_udwLockState;
    const SRegisterWords Words = *m_pWords;
    const bool bPending = m_pRegister->m_bWritePending;
    m_udwLockState = UNLOCKED;
    try
    {
        return !m_bStatus && Set(Field(m_pWords->m_udwAppValue), HW_WRITE_IF_CHANGED);
    }
    catch (...)
    {
        m_udwLockState = udwState;
        *m_pWords = Words;
        m_pRegister->m_bWritePending = bPending;
        throw;
    }
}

std::list<unsigned> CFieldSignal::GetNotTypedValue()
{
    m_pRegister->ReadHW();
    const unsigned udwField = Field(m_pWords->m_udwHwValue);
    if (m_udwLockState == UNLOCKED)
        Put(m_pWords->m_udwAppValue, udwField);
    return {udwField};
}

void CFieldSignal::SetNotTypedValue(std::vector<unsigned>& a_rValues)
{
    // Without a value there is nothing to write.
    if (!a_rValues.empty())
        Set(a_rValues.front(), HW_WRITE_IMMEDIATE);
}
