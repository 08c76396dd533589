#include "Catalogue.h"

#include "FieldSignal.h"
#include "HWDeviceBase.h"
#include "PlainRegister.h"
#include "RamRegister.h"

namespace rlzev
{
namespace
{
// A register is a CRegisterBase first and its access strategy second: the strategy says
// which directions reach the hardware.
template <class TStrategy>
bool Uses(const CRegisterBase& a_rRegister)
{
    return dynamic_cast<const TStrategy*>(&a_rRegister) != nullptr;
}

template <class TStrategy>
const SRegisterLayout* LayoutOf(const CRegisterBase& a_rRegister)
{
    const auto* pPlain = dynamic_cast<const CPlainRegister<TStrategy>*>(&a_rRegister);
    return pPlain == nullptr ? nullptr : &pPlain->GetLayout();
}

void Describe(const CRegisterBase& a_rRegister, SRegisterEntry& a_rEntry)
{
    unsigned udwSecond = 0;
    a_rEntry.m_strName = a_rRegister.GetName();
    a_rRegister.GetAdresses(a_rEntry.m_udwAddress, udwSecond);
    a_rEntry.m_udwWidth = a_rRegister.GetWidth();
    a_rEntry.m_udwWords = a_rRegister.GetWordCount();
    // The strategy's class says which directions it moves; the name is for the tools.
    if (Uses<CParallelRead_ParallelWrite>(a_rRegister))
        a_rEntry.m_strAccess = "CParallelRead_ParallelWrite", a_rEntry.m_bReadable = a_rEntry.m_bWritable = true;
    else if (Uses<CSequentialRead_ParallelWrite>(a_rRegister))
        a_rEntry.m_strAccess = "CSequentialRead_ParallelWrite",
        a_rEntry.m_bReadable = a_rEntry.m_bWritable = a_rEntry.m_bReadBack = true;
    else if (Uses<CParallelWrite>(a_rRegister))
        a_rEntry.m_strAccess = "CParallelWrite", a_rEntry.m_bWritable = true;
    else if (Uses<CParallelRead>(a_rRegister))
        a_rEntry.m_strAccess = "CParallelRead", a_rEntry.m_bReadable = true;

    const SRegisterLayout* pLayout = LayoutOf<CParallelRead_ParallelWrite>(a_rRegister);
    if (pLayout == nullptr)
        pLayout = LayoutOf<CSequentialRead_ParallelWrite>(a_rRegister);
    if (pLayout == nullptr)
        pLayout = LayoutOf<CParallelWrite>(a_rRegister);
    if (pLayout == nullptr)
        pLayout = LayoutOf<CParallelRead>(a_rRegister);
    if (pLayout != nullptr)
    {
        a_rEntry.m_bStatus = pLayout->m_bStatus;
        a_rEntry.m_udwDefault = pLayout->m_udwDefaultValue;
        a_rEntry.m_udwUnused = pLayout->m_udwHwUnusedMask;
        // Hidden: not covered by a signal, cleared from the application's word, kept in the hardware's.
        a_rEntry.m_udwHidden = pLayout->m_udwAppUnusedMask & ~pLayout->m_udwHwUnusedMask;
        a_rEntry.m_udwForcedOnes = pLayout->m_udwAppForcedOnes;
        a_rEntry.m_udwHidden |= pLayout->m_udwAppForcedOnes;
    }
    for (const CSignalBase* pSignal : a_rRegister.GetSignals())
    {
        SSignalEntry Signal;
        Signal.m_strName = pSignal->GetName();
        Signal.m_udwDefault = pSignal->GetDefaultValue();
        Signal.m_udwMax = pSignal->GetMaxValue();
        if (const auto* pField = dynamic_cast<const CFieldSignal*>(pSignal))
        {
            Signal.m_udwLow = pField->GetLow();
            for (unsigned udwMax = Signal.m_udwMax; udwMax != 0; udwMax >>= 1)
                ++Signal.m_udwWidth;
        }
        for (const auto& rEnumerator : pSignal->GetEnumerators())
            Signal.m_Enumerators.push_back({rEnumerator.first, rEnumerator.second});
        a_rEntry.m_Signals.push_back(std::move(Signal));
    }
}
} // namespace

const SSignalEntry* SRegisterEntry::FindSignal(const std::string& a_strName) const
{
    for (const SSignalEntry& rSignal : m_Signals)
        if (rSignal.m_strName == a_strName)
            return &rSignal;
    return nullptr;
}

CCatalogue::CCatalogue(const CHWDeviceBase& a_rDevice)
    : m_strName(a_rDevice.GetName()), m_strXmlVersion(a_rDevice.GetXMLVersion()),
      m_strGeneratorVersion(a_rDevice.GetCodeGeneratorVersion())
{
    m_Registers.reserve(a_rDevice.GetRegisters().size());
    for (const CRegisterBase* pRegister : a_rDevice.GetRegisters())
    {
        m_Registers.emplace_back();
        Describe(*pRegister, m_Registers.back());
        m_Index.emplace(m_Registers.back().m_strName, m_Registers.size() - 1);
        m_uSignals += m_Registers.back().m_Signals.size();
    }
}

const SRegisterEntry* CCatalogue::Find(const std::string& a_strName) const
{
    const auto It = m_Index.find(a_strName);
    return It == m_Index.end() ? nullptr : &m_Registers[It->second];
}
} // namespace rlzev
