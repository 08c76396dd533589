// The behaviour every generated signal class shares: typed access to one bit field of a
// plain register, the three write modes, locking, change logging and the status-register
// variant. A generated signal only names itself, gives its field and enumerators, and
// (with enumerators) wraps Get and Set in its own enumeration.
#pragma once

#include "HostInterfaces.h"
#include "RegisterBase.h"

// One enumerator of a signal, as the generated tables list them.
struct SEnumerator
{
    unsigned m_udwValue;
    const char* m_pcName;
};

// The constants of one signal.
struct SSignalInfo
{
    const char* m_pcName;
    unsigned m_udwLow;      // lowest bit of the field
    unsigned m_udwWidth;    // 1 to 32 bits
    unsigned m_udwDefault;
    const SEnumerator* m_pEnumerators;
    unsigned m_udwEnumeratorCount;
};

// What a signal needs of the plain register that owns it.
struct SRegisterWords
{
    unsigned m_udwHwValue = 0;   // hardware image word
    unsigned m_udwAppValue = 0;  // application value word
};

class RL_ZEV_EXPORT CFieldSignal : public CSignalBase
{
public:
    ~CFieldSignal() override;

    inline unsigned Get(bool a_bReadHW) const;
    inline bool Set(unsigned a_udwValue, ESignalHwWrite a_eMode);
    bool Unlock() override;

    // Inspection: the field's place in its register's words.
    unsigned GetLow() const { return m_udwLow; }
    unsigned GetMask() const { return m_udwMask; }

protected:
    // a_bStatus selects the status-register variant of Set and Unlock.
    CFieldSignal(CRegisterBase* a_pRegister, SRegisterWords* a_pWords, bool a_bStatus, const SSignalInfo& a_rInfo);

    // Generated signals reach their register's words through its framework part.
    template <class TRegister>
    CFieldSignal(TRegister* a_pRegister, const SSignalInfo& a_rInfo)
        : CFieldSignal(a_pRegister, &a_pRegister->Words(), a_pRegister->IsStatusRegister(), a_rInfo)
    {
    }

private:
    std::list<unsigned> GetNotTypedValue() override;
    void SetNotTypedValue(std::vector<unsigned>& a_rValues) override;

    unsigned Field(unsigned a_udwWord) const { return (a_udwWord >> m_udwLow) & m_udwMaxValue; }
    void Put(unsigned& a_rudwWord, unsigned a_udwValue) const
    {
        a_rudwWord = (a_rudwWord & ~m_udwMask) | ((a_udwValue << m_udwLow) & m_udwMask);
    }
    void LogOldValue();
    bool SetLogged(unsigned a_udwValue, ESignalHwWrite a_eMode);
    inline bool Apply(unsigned a_udwValue, ESignalHwWrite a_eMode);
    inline bool ApplyStatus(unsigned a_udwValue, ESignalHwWrite a_eMode);

    CRegisterBase* m_pRegister;
    SRegisterWords* m_pWords;
    unsigned m_udwLow;
    unsigned m_udwMask;
    bool m_bStatus;
};

// The typed access is the hot path of every host: kept inline, so that a Set costs the
// register's WriteHW and the host's transfer and little else.

inline unsigned CFieldSignal::Get(bool a_bReadHW) const
{
    if (a_bReadHW)
        m_pRegister->ReadHW();
    if (m_udwLockState != UNLOCKED)
        return Field(m_pWords->m_udwAppValue);
    const unsigned udwField = Field(m_pWords->m_udwHwValue);
    Put(m_pWords->m_udwAppValue, udwField);
    return udwField;
}

inline bool CFieldSignal::Set(unsigned a_udwValue, ESignalHwWrite a_eMode)
{
    // Logging switched on without a stream logs nothing (and reads nothing for it).
    if (m_bLogging && m_pLogStream != nullptr)
        return SetLogged(a_udwValue, a_eMode);
    return Apply(a_udwValue, a_eMode);
}

inline bool CFieldSignal::Apply(unsigned a_udwValue, ESignalHwWrite a_eMode)
{
    if (m_bStatus)
        return ApplyStatus(a_udwValue, a_eMode);
    if (m_udwLockState == UNLOCKED)
        Put(m_pWords->m_udwAppValue, a_udwValue);
    else if (m_udwLockState != SERVICE_ACCESS)
        return false;  // locked: the application's change is ignored
    const bool bImmediate =
        a_eMode == HW_WRITE_IMMEDIATE ||
        (a_eMode == HW_WRITE_IF_CHANGED &&
         (m_pWords->m_udwHwValue != m_pWords->m_udwAppValue || m_pRegister->m_bWritePending));
    if (bImmediate)
    {
        Put(m_pWords->m_udwHwValue, a_udwValue);
        m_pRegister->m_bWritePending = false;
        m_pRegister->WriteHW();
        return true;
    }
    if (Field(m_pWords->m_udwHwValue) != a_udwValue)
    {
        Put(m_pWords->m_udwHwValue, a_udwValue);
        m_pRegister->m_bWritePending = true;
    }
    return false;
}

// Status bits are write-one-to-clear: the word carries only the bits being changed, and the
// host prepares it before it goes out.
inline bool CFieldSignal::ApplyStatus(unsigned a_udwValue, ESignalHwWrite a_eMode)
{
    if (m_udwLockState != UNLOCKED && m_udwLockState != SERVICE_ACCESS)
        return false;
    unsigned& rudwHw = m_pWords->m_udwHwValue;
    if (!m_pRegister->m_bWritePending)
        rudwHw = 0;
    rudwHw |= m_udwMask;
    if (a_eMode != HW_WRITE_IMMEDIATE && a_eMode != HW_WRITE_IF_CHANGED)
    {
        m_pRegister->m_bWritePending = true;
        return false;
    }
    m_pRegister->m_bWritePending = false;
    if (CIStatusRegister* pStatus = m_pRegister->m_pStatusRegister)
    {
        if (a_udwValue == 1)
            pStatus->PrepareSet(&rudwHw);
        else
            pStatus->PrepareReset(&rudwHw);
    }
    return m_pRegister->WriteHW();
}
