// The three objects a host hands to the device. The library only calls them;
// it never creates, copies or deletes one.
#pragma once

#include "rl_zev_export.h"

// Receives error reports and decides whether a wait may stop early.
class RL_ZEV_EXPORT CUtility_Interface
{
public:
    virtual void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                             const char* a_pcMessage) = 0;
    virtual bool StopWaiting() = 0;
    virtual void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                                    const char* a_pcMessage) = 0;
    virtual ~CUtility_Interface();
};

// Moves 32-bit words between the host and device word addresses.
class RL_ZEV_EXPORT CHWAccess
{
public:
    virtual ~CHWAccess();
    virtual void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) = 0;
    virtual void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) = 0;
    virtual void Wait(unsigned a_udwDuration) = 0;

    // Used by the access strategies to report transfer errors; set it before the first access.
    CUtility_Interface* m_pUtility = nullptr;
};

// Prepares the word of a write-one-to-clear status register before it is written.
class RL_ZEV_EXPORT CIStatusRegister
{
public:
    virtual ~CIStatusRegister();
    virtual void PrepareSet(unsigned* a_udwpValue) = 0;
    virtual void PrepareReset(unsigned* a_udwpValue) = 0;
    virtual void PrepareResetAll(unsigned* a_udwpValue) = 0;
};
