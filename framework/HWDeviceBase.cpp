#include "HWDeviceBase.h"
#include "ZEVUtilities.h"

#include <ostream>

namespace
{
bool MeansAll(const std::string& a_strName)
{
    return a_strName == "ALL" || a_strName == "all";
}
} // namespace

CHWDeviceBase::CHWDeviceBase(CUtility_Interface* a_pUtility) : m_pRegisterList(new std::list<CRegisterBase*>())
{
    CZEVUtilities::GetInstance().SetUtilityInterface(a_pUtility);
}

CHWDeviceBase::~CHWDeviceBase()
{
    delete m_pRegisterList;
    CZEVUtilities::GetInstance().ResetUtilityInterface();
}

std::string CHWDeviceBase::GetName() const
{
    return m_strName;
}

std::string CHWDeviceBase::GetXMLVersion() const
{
    return m_strXMLVersion;
}

std::string CHWDeviceBase::GetCodeGeneratorVersion() const
{
    return m_strCodeGeneratorVersion;
}

CRegisterBase* CHWDeviceBase::FindRegister(const std::string& a_strRegister) const
{
    for (CRegisterBase* pRegister : *m_pRegisterList)
        if (pRegister->m_strName == a_strRegister)
            return pRegister;
    return nullptr;
}

bool CHWDeviceBase::SetToDefault()
{
    for (CRegisterBase* pRegister : *m_pRegisterList)
        pRegister->SetToDefault();
    return true;
}

void CHWDeviceBase::SnapShot(std::ostream& a_rStream)
{
    a_rStream << "function [device," << m_strName << "] = " << m_strName << "_DUMP()\n"
              << "device= '" << m_strName << "';\n"
              << "% Hardware: " << m_strName
              << "\n% SnapShot of all Registers:\n% ____________________________________\n";
    for (CRegisterBase* pRegister : *m_pRegisterList)
        pRegister->SnapShot(a_rStream, m_strName);
}

void CHWDeviceBase::LockAll()
{
    for (CRegisterBase* pRegister : *m_pRegisterList)
        pRegister->LockAll();
}

void CHWDeviceBase::UnlockAll()
{
    for (CRegisterBase* pRegister : *m_pRegisterList)
        pRegister->UnlockAll();
}

bool CHWDeviceBase::Logging(const std::string& a_strRegister, const std::string& a_strSignal,
                            std::ostream* a_pStream, bool a_bEnable)
{
    if (MeansAll(a_strRegister))
    {
        bool bResult = true;
        for (CRegisterBase* pRegister : *m_pRegisterList)
            bResult = pRegister->Logging(a_strSignal, a_pStream, a_bEnable) && bResult;
        return bResult;
    }
    if (CRegisterBase* pRegister = FindRegister(a_strRegister))
        return pRegister->Logging(a_strSignal, a_pStream, a_bEnable);
    return true;
}

template <class TOperation>
bool CHWDeviceBase::LockOrUnlock(const std::string& a_strRegister, std::string& a_rError, TOperation a_Operation)
{
    bool bResult = false;
    if (MeansAll(a_strRegister))
    {
        for (CRegisterBase* pRegister : *m_pRegisterList)
        {
            bResult = a_Operation(*pRegister);
            if (!bResult)
                break;
        }
    }
    else if (CRegisterBase* pRegister = FindRegister(a_strRegister))
    {
        bResult = a_Operation(*pRegister);
    }
    if (!bResult)
        a_rError = "Invalid register submitted! : " + a_strRegister;
    return bResult;
}

bool CHWDeviceBase::Lock(const std::string& a_strRegister, const std::string& a_strSignal, std::string& a_rError)
{
    return LockOrUnlock(a_strRegister, a_rError,
                        [&](CRegisterBase& a_rRegister) { return a_rRegister.Lock(a_strSignal, a_rError); });
}

bool CHWDeviceBase::Unlock(const std::string& a_strRegister, const std::string& a_strSignal, std::string& a_rError)
{
    return LockOrUnlock(a_strRegister, a_rError,
                        [&](CRegisterBase& a_rRegister) { return a_rRegister.Unlock(a_strSignal, a_rError); });
}

bool CHWDeviceBase::ServiceWrite(const std::string& a_strRegister, const std::string& a_strSignal,
                                 const std::list<std::string>& a_rValues, std::string& a_rError,
                                 unsigned a_udwStart)
{
    if (CRegisterBase* pRegister = FindRegister(a_strRegister))
        return pRegister->ServiceWrite(a_strSignal, a_rValues, a_rError, a_udwStart);
    a_rError = "Invalid register submitted: " + a_strRegister;
    CZEVUtilities::GetInstance().ReportError("HWDeviceBase", __LINE__, "CHWDeviceBase::ServiceWrite",
                                             a_rError.c_str());
    return false;
}

bool CHWDeviceBase::ServiceRead(const std::string& a_strRegister, const std::string& a_strSignal,
                                std::list<std::string>& a_rValues, std::string& a_rError, unsigned a_udwStart,
                                unsigned a_udwCount)
{
    if (CRegisterBase* pRegister = FindRegister(a_strRegister))
        return pRegister->ServiceRead(a_strSignal, a_rValues, a_rError, a_udwStart, a_udwCount);
    a_rError = "Invalid register submitted: " + a_strRegister;
    CZEVUtilities::GetInstance().ReportError("HWDeviceBase", __LINE__, "CHWDeviceBase::ServiceRead",
                                             a_rError.c_str());
    return false;
}

std::list<std::string> CHWDeviceBase::GetValueByString(const std::string& a_strRegister,
                                                       const std::string& a_strSignal)
{
    if (CRegisterBase* pRegister = FindRegister(a_strRegister))
        return pRegister->GetValueByString(a_strSignal);
    return {"Register not found!"};
}
