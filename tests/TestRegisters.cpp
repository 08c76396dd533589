#include "TestRegisters.h"

namespace ZEVTEST
{
namespace
{
const SEnumerator kMarkers[] = {{0, "MARKER_SIG_0"}, {1, "MARKER_SIG_1"}, {2, "MARKER_SIG_2"}, {3, "MARKER_SIG_3"},
                                {4, "MARKER_SIG_4"}, {5, "MARKER_SIG_5"}, {6, "MARKER_SIG_6"}, {7, "MARKER_SIG_7"}};
const SEnumerator kOffOn[] = {{0, "OFF"}, {1, "ON"}};
const SEnumerator kOnOff[] = {{0, "ON"}, {1, "OFF"}};

const SRegisterLayout kAUD_CNTRL0 = {"AUD_CNTRL0", 0xE00, 24, 0x00F00000, 0x00F00000, 0, 0x000FFFFF, 0, false};
const SSignalInfo kTRIG_SEL = {"TRIG_SEL", 0, 3, 0, kMarkers, 8};
const SSignalInfo kMULT_HP = {"MULT_HP", 3, 6, 0, nullptr, 0};
const SSignalInfo kSHIFT_HP = {"SHIFT_HP", 9, 3, 0, nullptr, 0};
const SSignalInfo kMULT_DE = {"MULT_DE", 12, 6, 0, nullptr, 0};
const SSignalInfo kSHIFT_DE = {"SHIFT_DE", 18, 2, 0, nullptr, 0};

const SRegisterLayout kSTATREG = {"STATREG", 0x18, 32, 0x7FFFFFF8, 0xFFFFFFF8, 0, 0x80000007, 0, true};
const SSignalInfo kA_READY = {"A_READY", 0, 1, 0, kOffOn, 2};
const SSignalInfo kB_READY = {"B_READY", 1, 1, 0, kOffOn, 2};
const SSignalInfo kC_READY = {"C_READY", 2, 1, 0, kOffOn, 2};

const SRegisterLayout kPRESTAT = {"PRESTAT", 0x22, 32, 0xFFFEFFFC, 0xFFFFFFFC, 0x10000, 0x10003, 0x10003, false};
const SSignalInfo kA_MASK = {"A_MASK", 0, 1, 1, nullptr, 0};
const SSignalInfo kB_MASK = {"B_MASK", 1, 1, 1, nullptr, 0};

const SRegisterLayout kDET_RESET = {"DET_RESET", 0x1201, 16, 0xFFFC, 0xFFFC, 0, 0x3, 0, false};
const SSignalInfo kDET0_RESET = {"DET0_RESET", 0, 1, 0, kOffOn, 2};
const SSignalInfo kDET1_RESET = {"DET1_RESET", 1, 1, 0, kOffOn, 2};

const SRegisterLayout kPRI_SERVAL = {"PRI_SERVAL", 0x1E, 32, 0, 0, 0, 0xFFFFFFFF, 0, false};
const SSignalInfo kSERVAL = {"SERVAL", 0, 32, 0, nullptr, 0};

const SEnumerator kRounding[] = {{0, "ROUND_18_BIT"}, {1, "ROUND_24_BIT"}, {2, "CUT_24_BIT"}};
const SRegisterLayout kDIN_MS_DET_LOW = {"DIN_MS_DET_LOW", 0x11A, 32, 0xBFFFFF80, 0xBFFFFF80, 0, 0x4000007F, 0x25, false};
const SSignalInfo kMS_DET_LOW = {"MS_DET_LOW", 0, 5, 5, nullptr, 0};
const SSignalInfo kROUND_MODE = {"ROUND_MODE", 5, 2, 1, kRounding, 3};
const SSignalInfo kIN0_SELDIR = {"IN0_SELDIR", 30, 1, 0, kOnOff, 2};

const SRamLayout kENT_H1 = {"ENT_H1", 0x20D, 7, "zev\\ent\\register_ent_h1", "ZEV::CRegister_ENT_H1::Get",
                            "ZEV::CRegister_ENT_H1::Set"};
const SRamLayout kSWP_CODE_RAM = {"SWP_CODE_RAM", 0x2000, 4096, "zev\\sweepcntrl\\register_swp_code_ram",
                                  "ZEV::CRegister_SWP_CODE_RAM::Get", "ZEV::CRegister_SWP_CODE_RAM::Set"};
} // namespace

AUD_CNTRL0::CSignal_TRIG_SEL::CSignal_TRIG_SEL(CRegister_AUD_CNTRL0* a_pRegister) : CFieldSignal(a_pRegister, kTRIG_SEL) {}
AUD_CNTRL0::CSignal_MULT_HP::CSignal_MULT_HP(CRegister_AUD_CNTRL0* a_pRegister) : CFieldSignal(a_pRegister, kMULT_HP) {}
AUD_CNTRL0::CSignal_SHIFT_HP::CSignal_SHIFT_HP(CRegister_AUD_CNTRL0* a_pRegister) : CFieldSignal(a_pRegister, kSHIFT_HP) {}
AUD_CNTRL0::CSignal_MULT_DE::CSignal_MULT_DE(CRegister_AUD_CNTRL0* a_pRegister) : CFieldSignal(a_pRegister, kMULT_DE) {}
AUD_CNTRL0::CSignal_SHIFT_DE::CSignal_SHIFT_DE(CRegister_AUD_CNTRL0* a_pRegister) : CFieldSignal(a_pRegister, kSHIFT_DE) {}

CRegister_AUD_CNTRL0::CRegister_AUD_CNTRL0(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister)
    : CRegister_AUD_CNTRL0(a_pHWAccess, a_pStatusRegister, 0) {}
CRegister_AUD_CNTRL0::CRegister_AUD_CNTRL0(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister, unsigned a_udwValue)
    : CPlainRegister(a_pHWAccess, a_pStatusRegister, kAUD_CNTRL0, a_udwValue),
      TRIG_SEL(this), MULT_HP(this), SHIFT_HP(this), MULT_DE(this), SHIFT_DE(this) {}

STATREG::CSignal_A_READY::CSignal_A_READY(CRegister_STATREG* a_pRegister) : CFieldSignal(a_pRegister, kA_READY) {}
STATREG::CSignal_B_READY::CSignal_B_READY(CRegister_STATREG* a_pRegister) : CFieldSignal(a_pRegister, kB_READY) {}
STATREG::CSignal_C_READY::CSignal_C_READY(CRegister_STATREG* a_pRegister) : CFieldSignal(a_pRegister, kC_READY) {}
CRegister_STATREG::CRegister_STATREG(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister)
    : CPlainRegister(a_pHWAccess, a_pStatusRegister, kSTATREG, 0), A_READY(this), B_READY(this), C_READY(this) {}

PRESTAT::CSignal_A_MASK::CSignal_A_MASK(CRegister_PRESTAT* a_pRegister) : CFieldSignal(a_pRegister, kA_MASK) {}
PRESTAT::CSignal_B_MASK::CSignal_B_MASK(CRegister_PRESTAT* a_pRegister) : CFieldSignal(a_pRegister, kB_MASK) {}
CRegister_PRESTAT::CRegister_PRESTAT(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister)
    : CPlainRegister(a_pHWAccess, a_pStatusRegister, kPRESTAT, 0), A_MASK(this), B_MASK(this) {}

DET_RESET::CSignal_DET0_RESET::CSignal_DET0_RESET(CRegister_DET_RESET* a_pRegister) : CFieldSignal(a_pRegister, kDET0_RESET) {}
DET_RESET::CSignal_DET1_RESET::CSignal_DET1_RESET(CRegister_DET_RESET* a_pRegister) : CFieldSignal(a_pRegister, kDET1_RESET) {}
CRegister_DET_RESET::CRegister_DET_RESET(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister)
    : CPlainRegister(a_pHWAccess, a_pStatusRegister, kDET_RESET, 0), DET0_RESET(this), DET1_RESET(this) {}

PRI_SERVAL::CSignal_SERVAL::CSignal_SERVAL(CRegister_PRI_SERVAL* a_pRegister) : CFieldSignal(a_pRegister, kSERVAL) {}
CRegister_PRI_SERVAL::CRegister_PRI_SERVAL(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister)
    : CPlainRegister(a_pHWAccess, a_pStatusRegister, kPRI_SERVAL, 0), SERVAL(this) {}

DIN_MS_DET_LOW::CSignal_MS_DET_LOW::CSignal_MS_DET_LOW(CRegister_DIN_MS_DET_LOW* a_pRegister) : CFieldSignal(a_pRegister, kMS_DET_LOW) {}
DIN_MS_DET_LOW::CSignal_ROUND_MODE::CSignal_ROUND_MODE(CRegister_DIN_MS_DET_LOW* a_pRegister) : CFieldSignal(a_pRegister, kROUND_MODE) {}
DIN_MS_DET_LOW::CSignal_IN0_SELDIR::CSignal_IN0_SELDIR(CRegister_DIN_MS_DET_LOW* a_pRegister) : CFieldSignal(a_pRegister, kIN0_SELDIR) {}
CRegister_DIN_MS_DET_LOW::CRegister_DIN_MS_DET_LOW(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister)
    : CPlainRegister(a_pHWAccess, a_pStatusRegister, kDIN_MS_DET_LOW, 0), MS_DET_LOW(this), ROUND_MODE(this), IN0_SELDIR(this) {}

CRegister_ENT_H1::CRegister_ENT_H1(CHWAccess* a_pHWAccess, CIStatusRegister*) : CRamRegister(a_pHWAccess, kENT_H1) {}
CRegister_SWP_CODE_RAM::CRegister_SWP_CODE_RAM(CHWAccess* a_pHWAccess, CIStatusRegister*)
    : CRamRegister(a_pHWAccess, kSWP_CODE_RAM) {}

CTestDevice::CTestDevice(CHWAccess* a_pHWAccess, CUtility_Interface* a_pUtility, CIStatusRegister* a_pStatusRegister)
    : CHWDeviceBase(a_pUtility), AUD_CNTRL0(a_pHWAccess, a_pStatusRegister), STATREG(a_pHWAccess, a_pStatusRegister),
      PRESTAT(a_pHWAccess, a_pStatusRegister), DET_RESET(a_pHWAccess, a_pStatusRegister),
      PRI_SERVAL(a_pHWAccess, a_pStatusRegister), DIN_MS_DET_LOW(a_pHWAccess, a_pStatusRegister),
      ENT_H1(a_pHWAccess, a_pStatusRegister), SWP_CODE_RAM(a_pHWAccess, a_pStatusRegister)
{
    for (CRegisterBase* pRegister : std::initializer_list<CRegisterBase*>{
             &AUD_CNTRL0, &STATREG, &PRESTAT, &DET_RESET, &PRI_SERVAL, &DIN_MS_DET_LOW, &ENT_H1, &SWP_CODE_RAM})
        m_pRegisterList->push_back(pRegister);
}
} // namespace ZEVTEST
