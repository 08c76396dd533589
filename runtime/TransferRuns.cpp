#include "TransferRuns.h"

#include <cstdio>

namespace rlzev
{
std::string TransferText(char a_cKind, unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount)
{
    char acPart[40];
    std::snprintf(acPart, sizeof acPart, "bus: %c 0x%05X %u%s", a_cKind, a_udwAddress, a_udwByteCount,
                  a_cKind == 'R' ? " ->" : "");
    std::string strText = acPart;
    const unsigned udwWords = (a_udwByteCount + 3) / 4;
    for (unsigned i = 0; i < udwWords && i < kTracedWords; ++i)
    {
        std::snprintf(acPart, sizeof acPart, " 0x%08X", a_udwpData[i]);
        strText += acPart;
    }
    if (udwWords > kTracedWords)
        strText += " ... (" + std::to_string(udwWords) + " words)";
    return strText;
}

void CTransferRuns::Transfer(char a_cKind, unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount)
{
    // A read-back, step by step: reset the ready bit, start, then (wait, poll) until ready,
    // a wait, and the fetch of the word. Anything else ends the attempt.
    const bool bWord = a_udwByteCount == 4;
    switch (m_eCycle)
    {
    case ECycle::NONE:
        break;
    case ECycle::RESET:
        if (a_cKind == 'R' && bWord)
        {
            m_Cycle.push_back({a_cKind, a_udwAddress, a_udwpData[0]});
            m_eCycle = ECycle::START;
            return;
        }
        break;
    case ECycle::WAITED:
        if (a_cKind == 'R' && bWord && a_udwAddress == m_udwStatus)
        {
            m_Cycle.push_back({a_cKind, a_udwAddress, a_udwpData[0]});
            m_eCycle = ECycle::POLLED;
            return;
        }
        if (a_cKind == 'R' && bWord && a_udwAddress == m_udwData)
        {
            m_Cycle.push_back({a_cKind, a_udwAddress, a_udwpData[0]});
            EndCycle(a_udwpData[0]);
            return;
        }
        break;
    case ECycle::START:
    case ECycle::POLLED:
        break;
    }
    if (m_eCycle != ECycle::NONE)
        GiveUp();
    if (a_cKind == 'W' && bWord && a_udwAddress == m_udwStatus)
    {
        m_Cycle.push_back({a_cKind, a_udwAddress, a_udwpData[0]});
        m_eCycle = ECycle::RESET;
        return;
    }
    Flush();
    TellText(TransferText(a_cKind, a_udwAddress, a_udwpData, a_udwByteCount));
}

void CTransferRuns::Wait(unsigned a_udwDuration)
{
    if (m_eCycle == ECycle::START || m_eCycle == ECycle::POLLED)
    {
        m_Cycle.push_back({'w', 0, a_udwDuration});
        m_eCycle = ECycle::WAITED;
        return;
    }
    Flush();
    TellText("bus: wait " + std::to_string(a_udwDuration));
}

void CTransferRuns::Flush()
{
    if (m_eCycle != ECycle::NONE)
        GiveUp();
    if (m_bRun)
        TellRun();
}

void CTransferRuns::Forget()
{
    m_eCycle = ECycle::NONE;
    m_Cycle.clear();
    m_bRun = false;
    m_FirstCycle.clear();
}

// Not a read-back after all: what came is told as it came, after the run it follows. (Each
// is let go before it is told: an observer that throws leaves nothing half told behind.)
void CTransferRuns::GiveUp()
{
    if (m_bRun)
        TellRun();
    m_eCycle = ECycle::NONE;
    std::vector<SStep> Steps;
    Steps.swap(m_Cycle);
    TellSteps(Steps);
}

void CTransferRuns::EndCycle(unsigned a_udwWord)
{
    m_eCycle = ECycle::NONE;
    std::vector<SStep> Cycle;
    Cycle.swap(m_Cycle);
    const unsigned udwAddress = Cycle[1].m_udwAddress;  // the start read's
    if (m_bRun && udwAddress == m_udwAddress + m_udwWords)
    {
        ++m_udwWords;
        m_udwLast = a_udwWord;
        m_uTransfers += Cycle.size();
        Cycle.clear();
        m_Cycle.swap(Cycle);  // (its room, for the next word)
        return;
    }
    if (m_bRun)
        TellRun();
    m_bRun = true;
    m_udwAddress = udwAddress;
    m_udwWords = 1;
    m_udwFirst = m_udwLast = a_udwWord;
    m_uTransfers = Cycle.size();
    m_FirstCycle.swap(Cycle);
}

void CTransferRuns::TellText(std::string a_strText)
{
    SDeviceEvent Event;
    Event.m_strText = std::move(a_strText);
    m_Tell(Event);
}

void CTransferRuns::TellSteps(const std::vector<SStep>& a_rSteps)
{
    for (const SStep& rStep : a_rSteps)
        TellText(rStep.m_cKind == 'w' ? "bus: wait " + std::to_string(rStep.m_udwValue)
                                      : TransferText(rStep.m_cKind, rStep.m_udwAddress, &rStep.m_udwValue, 4));
}

void CTransferRuns::TellRun()
{
    m_bRun = false;
    if (m_udwWords == 1)
    {
        std::vector<SStep> Steps;
        Steps.swap(m_FirstCycle);
        TellSteps(Steps);
        return;
    }
    char acText[128];
    std::snprintf(acText, sizeof acText, "bus: R 0x%05X %u words -> 0x%08X ... 0x%08X (read back, %llu transfers)",
                  m_udwAddress, m_udwWords, m_udwFirst, m_udwLast, m_uTransfers);
    SDeviceEvent Event;
    Event.m_strText = acText;
    Event.m_Run = {m_uTransfers, m_udwAddress, m_udwWords, m_udwFirst, m_udwLast};
    m_Tell(Event);
}
} // namespace rlzev
