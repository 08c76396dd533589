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
    bool m_bReadable;             // reads reach the device (not a write-only register)
    bool m_bWritable;             // writes reach the device (not a read-only register)
    bool m_bReadBack;             // reads answer through the device's read-back path
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
    return a_rRegister.m_bReadBack;
}
