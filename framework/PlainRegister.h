// The behaviour every generated one-word register shares. A generated register derives
// from CPlainRegister<its access strategy>, so that it is a CRegisterBase first and its
// strategy second, and adds only its constants and its signal members.
#pragma once

#include "FieldSignal.h"
#include "ParallelRead.h"
#include "ParallelRead_ParallelWrite.h"
#include "ParallelWrite.h"
#include "SequentialRead_ParallelWrite.h"

// The constants of one register, as the generator computes them from the description.
struct SRegisterLayout
{
    const char* m_pcName;
    unsigned m_udwAddress;
    unsigned m_udwWidth;           // 16, 24 or 32 bits
    unsigned m_udwHwUnusedMask;    // bits inside the width no signal covers, hidden bits excepted
    unsigned m_udwAppUnusedMask;   // the same for the application value word, hidden bits included
    unsigned m_udwAppForcedOnes;   // hidden bits the application value word always holds as 1
    unsigned m_udwDefaultMask;     // every signal's field and the hidden bits
    unsigned m_udwDefaultValue;
    bool m_bStatus;                // write-one-to-clear status register
};

template <class TStrategy>
class CPlainRegister : public CRegisterBase, public TStrategy
{
    friend class CFieldSignal;

public:
    ~CPlainRegister() override;
    bool SetToDefault() override;
    std::vector<unsigned> GetNotTypedValue(unsigned a_udwStart, unsigned a_udwCount) override;

    // Inspection for tools: the constants the register was made with.
    const SRegisterLayout& GetLayout() const { return m_rLayout; }

protected:
    CPlainRegister(CHWAccess* a_pHWAccess, CIStatusRegister* a_pStatusRegister, const SRegisterLayout& a_rLayout,
                   unsigned a_udwInitialValue);

    // Published by the generated status registers only.
    bool ResetAllStatusBits();

private:
    bool ResetsUnusedBits() override;
    void ReadHW() override;
    bool WriteHW() override;
    void SetNotTypedValue(std::vector<unsigned>& a_rValues, unsigned a_udwStart) override;

    SRegisterWords& Words() { return m_Words; }
    bool IsStatusRegister() const { return m_rLayout.m_bStatus; }

    SRegisterWords m_Words;
    const SRegisterLayout& m_rLayout;
};

// Compiled once in the library for the four strategies.
extern template class RL_ZEV_EXPORT CPlainRegister<CParallelRead>;
extern template class RL_ZEV_EXPORT CPlainRegister<CParallelWrite>;
extern template class RL_ZEV_EXPORT CPlainRegister<CParallelRead_ParallelWrite>;
extern template class RL_ZEV_EXPORT CPlainRegister<CSequentialRead_ParallelWrite>;
