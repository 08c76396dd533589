// Registers written by hand in exactly the shape the generator emits (names, field
// positions, defaults, enumerators and nothing else), and a small device holding them.
#pragma once

#include "HWDeviceBase.h"
#include "PlainRegister.h"
#include "RamRegister.h"

namespace ZEVTEST
{
class CRegister_AUD_CNTRL0;
namespace AUD_CNTRL0
{
class CSignal_TRIG_SEL : public CFieldSignal
{
public:
    enum TRIG_SEL : unsigned
    {
        MARKER_SIG_0 = 0, MARKER_SIG_1 = 1, MARKER_SIG_2 = 2, MARKER_SIG_3 = 3,
        MARKER_SIG_4 = 4, MARKER_SIG_5 = 5, MARKER_SIG_6 = 6, MARKER_SIG_7 = 7
    };
    explicit CSignal_TRIG_SEL(CRegister_AUD_CNTRL0* a_pRegister);
    TRIG_SEL Get(bool a_bReadHW) const { return static_cast<TRIG_SEL>(CFieldSignal::Get(a_bReadHW)); }
    bool Set(TRIG_SEL a_eValue, ESignalHwWrite a_eMode) { return CFieldSignal::Set(a_eValue, a_eMode); }
};
class CSignal_MULT_HP : public CFieldSignal { public: explicit CSignal_MULT_HP(CRegister_AUD_CNTRL0* a_pRegister); };
class CSignal_SHIFT_HP : public CFieldSignal { public: explicit CSignal_SHIFT_HP(CRegister_AUD_CNTRL0* a_pRegister); };
class CSignal_MULT_DE : public CFieldSignal { public: explicit CSignal_MULT_DE(CRegister_AUD_CNTRL0* a_pRegister); };
class CSignal_SHIFT_DE : public CFieldSignal { public: explicit CSignal_SHIFT_DE(CRegister_AUD_CNTRL0* a_pRegister); };
} // namespace AUD_CNTRL0

class CRegister_AUD_CNTRL0 : public CPlainRegister<CSequentialRead_ParallelWrite>
{
public:
    CRegister_AUD_CNTRL0(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister);
    CRegister_AUD_CNTRL0(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister, unsigned a_udwValue);
    AUD_CNTRL0::CSignal_TRIG_SEL TRIG_SEL;
    AUD_CNTRL0::CSignal_MULT_HP MULT_HP;
    AUD_CNTRL0::CSignal_SHIFT_HP SHIFT_HP;
    AUD_CNTRL0::CSignal_MULT_DE MULT_DE;
    AUD_CNTRL0::CSignal_SHIFT_DE SHIFT_DE;
};

// A status register: write-one-to-clear bits, hidden bit 31.
class CRegister_STATREG;
namespace STATREG
{
#define ZEVTEST_STATUS_SIGNAL(SIG)                                                                        \
    class CSignal_##SIG : public CFieldSignal                                                             \
    {                                                                                                     \
    public:                                                                                               \
        enum SIG : unsigned { OFF = 0, ON = 1 };                                                          \
        explicit CSignal_##SIG(CRegister_STATREG* a_pRegister);                                           \
        SIG Get(bool a_bReadHW) const { return static_cast<SIG>(CFieldSignal::Get(a_bReadHW)); }          \
        bool Set(SIG a_eValue, ESignalHwWrite a_eMode) { return CFieldSignal::Set(a_eValue, a_eMode); }   \
    };
ZEVTEST_STATUS_SIGNAL(A_READY)
ZEVTEST_STATUS_SIGNAL(B_READY)
ZEVTEST_STATUS_SIGNAL(C_READY)
} // namespace STATREG

class CRegister_STATREG : public CPlainRegister<CParallelRead_ParallelWrite>
{
public:
    CRegister_STATREG(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister);
    using CPlainRegister::ResetAllStatusBits;
    STATREG::CSignal_A_READY A_READY;
    STATREG::CSignal_B_READY B_READY;
    STATREG::CSignal_C_READY C_READY;
};

// A mask register whose hidden bit 16 the application word always holds as 1.
class CRegister_PRESTAT;
namespace PRESTAT
{
class CSignal_A_MASK : public CFieldSignal { public: explicit CSignal_A_MASK(CRegister_PRESTAT* a_pRegister); };
class CSignal_B_MASK : public CFieldSignal { public: explicit CSignal_B_MASK(CRegister_PRESTAT* a_pRegister); };
} // namespace PRESTAT

class CRegister_PRESTAT : public CPlainRegister<CSequentialRead_ParallelWrite>
{
public:
    CRegister_PRESTAT(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister);
    PRESTAT::CSignal_A_MASK A_MASK;
    PRESTAT::CSignal_B_MASK B_MASK;
};

// Write-only, 16 bits.
class CRegister_DET_RESET;
namespace DET_RESET
{
class CSignal_DET0_RESET : public CFieldSignal { public: explicit CSignal_DET0_RESET(CRegister_DET_RESET* a_pRegister); };
class CSignal_DET1_RESET : public CFieldSignal { public: explicit CSignal_DET1_RESET(CRegister_DET_RESET* a_pRegister); };
} // namespace DET_RESET

class CRegister_DET_RESET : public CPlainRegister<CParallelWrite>
{
public:
    CRegister_DET_RESET(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister);
    DET_RESET::CSignal_DET0_RESET DET0_RESET;
    DET_RESET::CSignal_DET1_RESET DET1_RESET;
};

// Read-only, one 32-bit field.
class CRegister_PRI_SERVAL;
namespace PRI_SERVAL
{
class CSignal_SERVAL : public CFieldSignal { public: explicit CSignal_SERVAL(CRegister_PRI_SERVAL* a_pRegister); };
} // namespace PRI_SERVAL

class CRegister_PRI_SERVAL : public CPlainRegister<CParallelRead>
{
public:
    CRegister_PRI_SERVAL(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister);
    PRI_SERVAL::CSignal_SERVAL SERVAL;
};

// Read and written directly; an enumeration with a hole, a reversed ON/OFF switch, unused bits.
class CRegister_DIN_MS_DET_LOW;
namespace DIN_MS_DET_LOW
{
class CSignal_MS_DET_LOW : public CFieldSignal { public: explicit CSignal_MS_DET_LOW(CRegister_DIN_MS_DET_LOW* a_pRegister); };
class CSignal_IN0_SELDIR : public CFieldSignal
{
public:
    enum IN0_SELDIR : unsigned { ON = 0, OFF = 1 };
    explicit CSignal_IN0_SELDIR(CRegister_DIN_MS_DET_LOW* a_pRegister);
    IN0_SELDIR Get(bool a_bReadHW) const { return static_cast<IN0_SELDIR>(CFieldSignal::Get(a_bReadHW)); }
    bool Set(IN0_SELDIR a_eValue, ESignalHwWrite a_eMode) { return CFieldSignal::Set(a_eValue, a_eMode); }
};
class CSignal_ROUND_MODE : public CFieldSignal
{
public:
    enum ROUND_MODE : unsigned { ROUND_18_BIT = 0, ROUND_24_BIT = 1, CUT_24_BIT = 2 };
    explicit CSignal_ROUND_MODE(CRegister_DIN_MS_DET_LOW* a_pRegister);
    ROUND_MODE Get(bool a_bReadHW) const { return static_cast<ROUND_MODE>(CFieldSignal::Get(a_bReadHW)); }
    bool Set(ROUND_MODE a_eValue, ESignalHwWrite a_eMode) { return CFieldSignal::Set(a_eValue, a_eMode); }
};
} // namespace DIN_MS_DET_LOW

class CRegister_DIN_MS_DET_LOW : public CPlainRegister<CParallelRead_ParallelWrite>
{
public:
    CRegister_DIN_MS_DET_LOW(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister);
    DIN_MS_DET_LOW::CSignal_MS_DET_LOW MS_DET_LOW;
    DIN_MS_DET_LOW::CSignal_ROUND_MODE ROUND_MODE;
    DIN_MS_DET_LOW::CSignal_IN0_SELDIR IN0_SELDIR;
};

class CRegister_ENT_H1 : public CRamRegister<CSequentialRead_ParallelWrite>
{
public:
    CRegister_ENT_H1(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister);
};

class CRegister_SWP_CODE_RAM : public CRamRegister<CParallelRead_ParallelWrite>
{
public:
    CRegister_SWP_CODE_RAM(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister);
};

// A device of the registers above, built the way the generated device is.
class CTestDevice : public CHWDeviceBase
{
public:
    CTestDevice(CHWAccess* a_pHWAccess, CUtility_Interface* a_pUtility, CIStatusRegister* a_pStatusRegister);

    CRegister_AUD_CNTRL0 AUD_CNTRL0;
    CRegister_STATREG STATREG;
    CRegister_PRESTAT PRESTAT;
    CRegister_DET_RESET DET_RESET;
    CRegister_PRI_SERVAL PRI_SERVAL;
    CRegister_DIN_MS_DET_LOW DIN_MS_DET_LOW;
    CRegister_ENT_H1 ENT_H1;
    CRegister_SWP_CODE_RAM SWP_CODE_RAM;
};

// An empty device: the device base on its own.
class CEmptyDevice : public CHWDeviceBase
{
public:
    explicit CEmptyDevice(CUtility_Interface* a_pUtility) : CHWDeviceBase(a_pUtility) { m_strName = "EMPTY"; }
};
} // namespace ZEVTEST
