// The hand-kept rows of the ZEV's registers (ZevRegisterTable.inc) for the tests that check
// the generated device, and what the runtime reads from it, against independent data.
#pragma once

namespace zevtable
{
struct SRow
{
    const char* m_pcName;
    unsigned m_udwAddress;
    unsigned m_udwWidth;
    char m_cAccess;
    unsigned m_udwDefault;
    unsigned m_udwWords;
};
inline const SRow kTable[] = {
#include "ZevRegisterTable.inc"
};
} // namespace zevtable
