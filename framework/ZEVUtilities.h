// Process-wide holder of the host's utility object, shared by all devices.
#pragma once

#include "HostInterfaces.h"

class RL_ZEV_EXPORT CZEVUtilities
{
public:
    static CZEVUtilities& GetInstance();

    // The first device constructed with a utility decides; later ones are ignored.
    void SetUtilityInterface(CUtility_Interface* a_pUtility);
    void ResetUtilityInterface();

    // Dropped silently while no utility is stored.
    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage);
    bool StopWaiting();

    virtual ~CZEVUtilities();

    CZEVUtilities(const CZEVUtilities&) = delete;
    CZEVUtilities& operator=(const CZEVUtilities&) = delete;

private:
    CZEVUtilities() = default;

    CUtility_Interface* m_pUtilityInterface = nullptr;
};
