// The ZEV register map as plain data, generated from the register description for
// host-side tools: the simulator models these addresses, zevctl lists them.
#pragma once

#include "FieldSignal.h"

#include <string>

struct SMapRegister
{
    const char* m_pcName;
    unsigned m_udwAddress;
    unsigned m_udwWidth;
    unsigned m_udwWords;          // 1 for a one-word register
    const char* m_pcAccess;       // the access strategy's class name
    bool m_bStatus;
    const SSignalInfo* m_pSignals;
    unsigned m_udwSignalCount;
};

extern const SMapRegister g_aZevRegisterMap[];
extern const unsigned g_udwZevRegisterCount;

// Null when no register of the map has that name.
const SMapRegister* FindMapRegister(const std::string& a_strName);

// Direct reads return the word; sequentially read registers answer through the read-back path.
inline bool IsSequentiallyRead(const SMapRegister& a_rRegister)
{
    return std::string(a_rRegister.m_pcAccess) == "CSequentialRead_ParallelWrite";
}
