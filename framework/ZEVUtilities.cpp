#include "ZEVUtilities.h"

CUtility_Interface::~CUtility_Interface() = default;
CHWAccess::~CHWAccess() = default;
CIStatusRegister::~CIStatusRegister() = default;

CZEVUtilities& CZEVUtilities::GetInstance()
{
    static CZEVUtilities s_Instance;
    return s_Instance;
}

void CZEVUtilities::SetUtilityInterface(CUtility_Interface* a_pUtility)
{
    if (m_pUtilityInterface == nullptr)
        m_pUtilityInterface = a_pUtility;
}

void CZEVUtilities::ResetUtilityInterface()
{
    m_pUtilityInterface = nullptr;
}

void CZEVUtilities::ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                                const char* a_pcMessage)
{
    if (m_pUtilityInterface != nullptr)
        m_pUtilityInterface->ReportError(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
}

bool CZEVUtilities::StopWaiting()
{
    return m_pUtilityInterface == nullptr || m_pUtilityInterface->StopWaiting();
}

CZEVUtilities::~CZEVUtilities()
{
    m_pUtilityInterface = nullptr;
}
