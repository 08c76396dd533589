// The behaviour every generated signal class shares: typed access to one bit field of a
// plain register, the three write modes, locking, change logging and the status-register
// variant. A generated signal only names itself, gives its field and enumerators, and
// (with enumerators) wraps Get and Set in its own enumeration.
#pragma once

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

    unsigned Get(bool a_bReadHW) const;
    bool Set(unsigned a_udwValue, ESignalHwWrite a_eMode);
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
    void SetStatus(unsigned a_udwValue, ESignalHwWrite a_eMode, bool& a_rbWritten);

    CRegisterBase* m_pRegister;
    SRegisterWords* m_pWords;
    unsigned m_udwLow;
    unsigned m_udwMask;
    bool m_bStatus;
};
