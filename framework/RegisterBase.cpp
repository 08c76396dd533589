#include "RegisterBase.h"
#include "LockRestore.h"
#include "ValueText.h"
#include "ZEVUtilities.h"

#include <algorithm>
#include <ostream>

namespace
{
const char* const kUnderscores = "____________________________________";  // 36

bool MeansAll(const std::string& a_strName)
{
    return a_strName == "ALL" || a_strName == "all";
}

void Report(int a_iLine, const char* a_pcFunction, const std::string& a_strMessage)
{
    CZEVUtilities::GetInstance().ReportError("RegisterBase", a_iLine, a_pcFunction, a_strMessage.c_str());
}
} // namespace

CRegisterBase::CRegisterBase()
    : m_udwLockState(UNLOCKED), m_pLogStream(nullptr), m_pSignalList(new std::list<CSignalBase*>()),
      m_bWritePending(false), m_bHwWriteEnabled(true), m_udwAddress(0), m_udwSecondAddress(0), m_udwWidth(0),
      m_udwWordCount(0), m_pStatusRegister(nullptr), m_pudwHwImage(nullptr), m_pudwAppImage(nullptr)
{
}

CRegisterBase::~CRegisterBase()
{
    delete m_pSignalList;
    m_pLogStream = nullptr;
    m_pStatusRegister = nullptr;
}

std::string CRegisterBase::GetName() const
{
    return m_strName;
}

void CRegisterBase::GetAdresses(unsigned& a_rudwFirst, unsigned& a_rudwSecond) const
{
    a_rudwFirst = m_udwAddress;
    a_rudwSecond = m_udwSecondAddress;
}

CSignalBase* CRegisterBase::FindSignal(const std::string& a_strSignal) const
{
    for (CSignalBase* pSignal : *m_pSignalList)
        if (pSignal->m_strName == a_strSignal)
            return pSignal;
    return nullptr;
}

bool CRegisterBase::Lock(const std::string& a_strSignal, std::string& a_rError)
{
    if (MeansAll(a_strSignal))
    {
        LockAll();
        return true;
    }
    if (CSignalBase* pSignal = FindSignal(a_strSignal))
    {
        pSignal->Lock();
        return true;
    }
    a_rError = "Invalid signal submitted! : " + a_strSignal;
    return false;
}

bool CRegisterBase::Unlock(const std::string& a_strSignal, std::string& a_rError)
{
    if (MeansAll(a_strSignal))
    {
        UnlockAll();
        return true;
    }
    if (CSignalBase* pSignal = FindSignal(a_strSignal))
    {
        pSignal->Unlock();
        return true;
    }
    a_rError = "Invalid signal submitted! : " + a_strSignal;
    return false;
}

void CRegisterBase::LockAll()
{
    if (!m_pSignalList->empty())
    {
        for (CSignalBase* pSignal : *m_pSignalList)
            pSignal->Lock();
    }
    else if (IsRam())
    {
        m_udwLockState = LOCKED;
    }
}

void CRegisterBase::UnlockAll()
{
    // The signals' own writes are held back so the register goes out once at most. Should
    // the host throw, the register is as it was: lock states, image, flags.
    const SSavedState Saved = SaveState();
    bool bChanged = false;
    m_bHwWriteEnabled = false;
    try
    {
        if (!m_pSignalList->empty())
        {
            for (CSignalBase* pSignal : *m_pSignalList)
                bChanged = pSignal->Unlock() || bChanged;
        }
        else if (IsRam())
        {
            m_udwLockState = UNLOCKED;
            bChanged = true;
        }
        m_bHwWriteEnabled = true;
        if (bChanged)
            WriteHW();
    }
    catch (...)
    {
        m_bHwWriteEnabled = true;
        PutState(Saved);
        throw;
    }
}

CRegisterBase::SSavedState CRegisterBase::SaveState() const
{
    return {LockStates(), std::vector<unsigned>(m_pudwHwImage, m_pudwHwImage + m_udwWordCount), m_bWritePending};
}

void CRegisterBase::PutState(const SSavedState& a_rState)
{
    PutLockStates(a_rState.m_LockStates);
    std::copy(a_rState.m_HwImage.begin(), a_rState.m_HwImage.end(), m_pudwHwImage);
    m_bWritePending = a_rState.m_bWritePending;
}

std::vector<unsigned> CRegisterBase::LockStates() const
{
    std::vector<unsigned> States;
    States.reserve(m_pSignalList->size() + 1);
    States.push_back(m_udwLockState);
    for (const CSignalBase* pSignal : *m_pSignalList)
        States.push_back(pSignal->m_udwLockState);
    return States;
}

void CRegisterBase::PutLockStates(const std::vector<unsigned>& a_rStates)
{
    auto It = a_rStates.begin();
    m_udwLockState = *It++;
    for (CSignalBase* pSignal : *m_pSignalList)
        pSignal->m_udwLockState = *It++;
}

CRegisterBase::CServiceAccess::CServiceAccess(CRegisterBase& a_rRegister)
    : m_rRegister(a_rRegister), m_States(a_rRegister.LockStates())
{
    a_rRegister.PutLockStates(std::vector<unsigned>(m_States.size(), SERVICE_ACCESS));
}

CRegisterBase::CServiceAccess::~CServiceAccess()
{
    m_rRegister.PutLockStates(m_States);
}

bool CRegisterBase::Logging(const std::string& a_strSignal, std::ostream* a_pStream, bool a_bEnable)
{
    if (MeansAll(a_strSignal))
    {
        bool bResult = true;
        for (CSignalBase* pSignal : *m_pSignalList)
            bResult = pSignal->Logging(a_pStream, a_bEnable) && bResult;
        return bResult;
    }
    if (CSignalBase* pSignal = FindSignal(a_strSignal))
        return pSignal->Logging(a_pStream, a_bEnable);
    return true;
}

void CRegisterBase::SnapShot(std::ostream& a_rStream)
{
    a_rStream << "Register: " << m_strName << "\n\nSnapShot of all functions of this register:\n"
              << kUnderscores << "\n";
    for (CSignalBase* pSignal : *m_pSignalList)
        pSignal->SnapShot(a_rStream);
}

void CRegisterBase::SnapShot(std::ostream& a_rStream, const std::string& a_strDevice)
{
    a_rStream << "% Register: " << m_strName << "\n% SnapShot of all functions of this register:\n% "
              << kUnderscores << "\n";
    for (CSignalBase* pSignal : *m_pSignalList)
        pSignal->SnapShot(a_rStream, a_strDevice, m_strName);
}

bool CRegisterBase::ServiceRead(const std::string& a_strSignal, std::list<std::string>& a_rValues,
                                std::string& a_rError, unsigned a_udwStart, unsigned a_udwCount)
{
    if (IsRam() || a_strSignal.empty())
        return ServiceReadRAM(a_rValues, a_udwStart, a_udwCount, a_rError);
    if (CSignalBase* pSignal = FindSignal(a_strSignal))
        return pSignal->ServiceRead(a_rValues, a_rError);
    a_rError = "Invalid signal submitted: " + a_strSignal;
    Report(__LINE__, "CRegisterBase::ServiceRead", a_rError);
    return false;
}

bool CRegisterBase::ServiceWrite(const std::string& a_strSignal, const std::list<std::string>& a_rValues,
                                 std::string& a_rError, unsigned a_udwStart)
{
    if (IsRam() || a_strSignal.empty())
        return ServiceWriteRAM(a_rValues, a_udwStart, a_rError);
    if (CSignalBase* pSignal = FindSignal(a_strSignal))
        return pSignal->ServiceWrite(a_rValues, a_rError);
    a_rError = "Invalid signal submitted: " + a_strSignal;
    Report(__LINE__, "CRegisterBase::ServiceWrite", a_rError);
    return false;
}

std::list<std::string> CRegisterBase::GetValueByString(const std::string& a_strSignal)
{
    if (CSignalBase* pSignal = FindSignal(a_strSignal))
        return pSignal->GetValueByString();
    return {"Function not found!"};
}

bool CRegisterBase::ServiceReadRAM(std::list<std::string>& a_rValues, unsigned a_udwStart, unsigned a_udwCount,
                                   std::string& a_rError)
{
    // A range beyond the memory is refused as a whole rather than read in part.
    if (IsRam() && (a_udwStart > m_udwWordCount || a_udwCount > m_udwWordCount - a_udwStart))
    {
        a_rError = ", memory error, RAM frontiers have been hurt.";
        Report(__LINE__, "CRegisterBase::ServiceReadRAM", a_rError);
        return false;
    }
    const rlzev::CLockRestore Restore(m_udwLockState, SERVICE_ACCESS);
    for (unsigned udwWord : GetNotTypedValue(a_udwStart, a_udwCount))
        a_rValues.push_back(rlzev::HexValueText(udwWord));
    return true;
}

bool CRegisterBase::ServiceWriteRAM(const std::list<std::string>& a_rValues, unsigned a_udwStart,
                                    std::string& a_rError)
{
    bool bOk = !a_rValues.empty();
    if (!bOk)  // nothing to write is refused like a bad text
    {
        a_rError = "Invalid value format!";
        Report(__LINE__, "CRegisterBase::ServiceWriteRAM", a_rError);
    }
    std::vector<unsigned> Numbers;
    Numbers.reserve(a_rValues.size());
    for (const std::string& strText : a_rValues)
    {
        const rlzev::SParsedValue Parsed = rlzev::ParseValueText(strText);
        if (Parsed.m_bHasMarker)
        {
            Numbers.push_back(Parsed.m_udwValue);
            continue;
        }
        bOk = false;
        a_rError = "Invalid value format!";
        Report(__LINE__, "CRegisterBase::ServiceWriteRAM", a_rError);
    }
    if (bOk)
    {
        rlzev::CLockRestore Restore(m_udwLockState, SERVICE_ACCESS);
        SetNotTypedValue(Numbers, a_udwStart);
        Restore.Leave(LOCKED);
    }
    return bOk;
}
