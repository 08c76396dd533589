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

unsigned CFieldSignal::Get(bool a_bReadHW) const
{
    if (a_bReadHW)
        m_pRegister->ReadHW();
    if (m_udwLockState == UNLOCKED)
        Put(m_pWords->m_udwAppValue, Field(m_pWords->m_udwHwValue));
    return Field(m_pWords->m_udwAppValue);
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

bool CFieldSignal::Set(unsigned a_udwValue, ESignalHwWrite a_eMode)
{
    bool bWritten = false;
    // Logging switched on without a stream logs nothing (and reads nothing for it).
    const bool bLog = m_bLogging && m_pLogStream != nullptr;
    if (bLog)
        LogOldValue();

    if (m_bStatus)
    {
        SetStatus(a_udwValue, a_eMode, bWritten);
    }
    else
    {
        if (m_udwLockState == UNLOCKED)
            Put(m_pWords->m_udwAppValue, a_udwValue);
        if (m_udwLockState == UNLOCKED || m_udwLockState == SERVICE_ACCESS)
        {
            const bool bImmediate =
                a_eMode == HW_WRITE_IMMEDIATE ||
                (a_eMode == HW_WRITE_IF_CHANGED &&
                 (m_pWords->m_udwHwValue != m_pWords->m_udwAppValue || m_pRegister->m_bWritePending));
            if (bImmediate)
            {
                Put(m_pWords->m_udwHwValue, a_udwValue);
                m_pRegister->m_bWritePending = false;
                m_pRegister->WriteHW();
                bWritten = true;
            }
            else if (Field(m_pWords->m_udwHwValue) != a_udwValue)
            {
                Put(m_pWords->m_udwHwValue, a_udwValue);
                m_pRegister->m_bWritePending = true;
            }
        }
    }

    if (bLog)
        *m_pLogStream << " to value: " << a_udwValue << "\n";
    return bWritten;
}

// Status bits are write-one-to-clear: the word carries only the bits being changed, and the
// host prepares it before it goes out.
void CFieldSignal::SetStatus(unsigned a_udwValue, ESignalHwWrite a_eMode, bool& a_rbWritten)
{
    if (m_udwLockState != UNLOCKED && m_udwLockState != SERVICE_ACCESS)
        return;
    unsigned& rudwHw = m_pWords->m_udwHwValue;
    if (!m_pRegister->m_bWritePending)
        rudwHw = 0;
    rudwHw |= m_udwMask;
    if (a_eMode != HW_WRITE_IMMEDIATE && a_eMode != HW_WRITE_IF_CHANGED)
    {
        m_pRegister->m_bWritePending = true;
        return;
    }
    m_pRegister->m_bWritePending = false;
    if (CIStatusRegister* pStatus = m_pRegister->m_pStatusRegister)
    {
        if (a_udwValue == 1)
            pStatus->PrepareSet(&rudwHw);
        else
            pStatus->PrepareReset(&rudwHw);
    }
    a_rbWritten = m_pRegister->WriteHW();
}

bool CFieldSignal::Unlock()
{
    if (m_bLogging && m_pLogStream != nullptr)
        *m_pLogStream << "Register: " << m_pRegister->GetName() << " Signal: " << m_strName << " unlocked.\n";
    m_udwLockState = UNLOCKED;
    if (m_bStatus)
        return false;
    return Set(Field(m_pWords->m_udwAppValue), HW_WRITE_IF_CHANGED);
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
