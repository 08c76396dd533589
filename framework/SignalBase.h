// Base of every signal: one named bit field of a device register.
#pragma once

#include "rl_zev_export.h"

#include <list>
#include <map>
#include <iosfwd>
#include <string>
#include <vector>

// Lock state of a signal, and of a memory register as a whole.
enum ELockState : unsigned
{
    UNLOCKED = 0,        // the application reads and writes the field
    LOCKED = 1,          // frozen against the application
    SERVICE_ACCESS = 2   // a service operation works on the hardware, the application value stays
};

class RL_ZEV_EXPORT CSignalBase
{
    friend class CRegisterBase;  // compares names in place when it looks a signal up

public:
    // How a typed Set reaches the hardware; any other number acts as HW_WRITE_DEFERRED.
    enum ESignalHwWrite
    {
        HW_WRITE_IMMEDIATE = 0,
        HW_WRITE_DEFERRED = 1,
        HW_WRITE_IF_CHANGED = 2
    };

    CSignalBase();
    virtual ~CSignalBase();
    virtual bool Unlock() = 0;

    CSignalBase(const CSignalBase&) = delete;
    CSignalBase& operator=(const CSignalBase&) = delete;

    std::string GetName() const;
    bool Logging(std::ostream* a_pStream, bool a_bEnable);
    void Lock();
    void SnapShot(std::ostream& a_rStream);
    void SnapShot(std::ostream& a_rStream, const std::string& a_strDevice, const std::string& a_strRegister);

    std::list<std::string> GetValueByString();

    // Inspection for tools and tests: no transfer, no change.
    unsigned GetLockState() const { return m_udwLockState; }
    unsigned GetMaxValue() const { return m_udwMaxValue; }
    unsigned GetDefaultValue() const { return m_udwDefaultValue; }
    const std::map<unsigned, std::string>& GetEnumerators() const { return *m_pEnumTable; }
    bool ServiceRead(std::list<std::string>& a_rValues, std::string& a_rError);
    bool ServiceWrite(const std::list<std::string>& a_rValues, std::string& a_rError);

protected:
    unsigned m_udwDefaultValue;
    unsigned m_udwMaxValue;
    std::string m_strName;
    bool m_bLogging;
    unsigned m_udwLockState;
    std::ostream* m_pLogStream;
    std::map<unsigned, std::string>* m_pEnumTable;
    std::map<unsigned, std::string>::const_iterator* m_pEnumCursor;

private:
    virtual std::list<unsigned> GetNotTypedValue() = 0;
    virtual void SetNotTypedValue(std::vector<unsigned>& a_rValues) = 0;
};
