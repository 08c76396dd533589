// Base of a device class: identity strings, the register list, and the device-wide
// operations and the text service by register name.
#pragma once

#include "RegisterBase.h"

class CUtility_Interface;

class RL_ZEV_EXPORT CHWDeviceBase
{
public:
    virtual ~CHWDeviceBase();

    CHWDeviceBase(const CHWDeviceBase&) = delete;
    CHWDeviceBase& operator=(const CHWDeviceBase&) = delete;

    std::string GetName() const;
    std::string GetXMLVersion() const;
    std::string GetCodeGeneratorVersion() const;

    bool SetToDefault();
    void SnapShot(std::ostream& a_rStream);
    void LockAll();
    void UnlockAll();
    bool Logging(const std::string& a_strRegister, const std::string& a_strSignal, std::ostream* a_pStream,
                 bool a_bEnable);
    bool Lock(const std::string& a_strRegister, const std::string& a_strSignal, std::string& a_rError);
    bool Unlock(const std::string& a_strRegister, const std::string& a_strSignal, std::string& a_rError);
    bool ServiceWrite(const std::string& a_strRegister, const std::string& a_strSignal,
                      const std::list<std::string>& a_rValues, std::string& a_rError, unsigned a_udwStart);
    bool ServiceRead(const std::string& a_strRegister, const std::string& a_strSignal,
                     std::list<std::string>& a_rValues, std::string& a_rError, unsigned a_udwStart,
                     unsigned a_udwCount);
    std::list<std::string> GetValueByString(const std::string& a_strRegister, const std::string& a_strSignal);

    // Inspection for tools and tests: the registers in list order.
    const std::list<CRegisterBase*>& GetRegisters() const { return *m_pRegisterList; }

protected:
    explicit CHWDeviceBase(CUtility_Interface* a_pUtility);

    // Filled by the derived device's constructor; the list order is the order of every
    // device-wide operation.
    std::string m_strName;
    std::string m_strXMLVersion;
    std::string m_strCodeGeneratorVersion;
    std::list<CRegisterBase*>* m_pRegisterList;

private:
    CRegisterBase* FindRegister(const std::string& a_strRegister) const;
    template <class TOperation>
    bool LockOrUnlock(const std::string& a_strRegister, std::string& a_rError, TOperation a_Operation);
};
