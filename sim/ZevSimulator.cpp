#include "ZevSimulator.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <stdexcept>
#include <string>

const SMapRegister* FindMapRegister(const std::string& a_strName)
{
    for (unsigned i = 0; i < g_udwZevRegisterCount; ++i)
        if (a_strName == g_aZevRegisterMap[i].m_pcName)
            return &g_aZevRegisterMap[i];
    return nullptr;
}

namespace
{
unsigned ByteMask(unsigned a_udwBytes)
{
    return a_udwBytes >= 4 ? 0xFFFFFFFFu : (1u << (8 * a_udwBytes)) - 1u;
}

std::string HexWord(unsigned a_udwValue)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "0x%08X", a_udwValue);
    return acText;
}

std::string HexAddress(unsigned a_udwAddress)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "0x%05X", a_udwAddress);
    return acText;
}

const unsigned kTracedWords = 8;  // a memory transfer is shown by its first words
} // namespace

CSimBus::CSimBus()
{
    for (unsigned i = 0; i < g_udwZevRegisterCount; ++i)
    {
        const SMapRegister& Reg = g_aZevRegisterMap[i];
        if (Reg.m_udwWords > 1)
        {
            m_Memories.push_back({Reg.m_udwAddress, IsSequentiallyRead(Reg), std::vector<unsigned>(Reg.m_udwWords, 0)});
            continue;
        }
        SCell& Cell = m_Cells[Reg.m_udwAddress];
        Cell.m_udwWidthMask = ByteMask(Reg.m_udwWidth / 8);
        Cell.m_bSequential = IsSequentiallyRead(Reg);
        Cell.m_bReadOnly = !Reg.m_bWritable;
        Cell.m_bStatus = Reg.m_bStatus;
    }
}

const unsigned* CSimBus::Find(unsigned a_udwAddress, const SCell** a_ppCell, bool* a_pbSequential) const
{
    *a_ppCell = nullptr;
    *a_pbSequential = false;
    const auto It = m_Cells.find(a_udwAddress);
    if (It != m_Cells.end())
    {
        *a_ppCell = &It->second;
        *a_pbSequential = It->second.m_bSequential;
        return &It->second.m_udwValue;
    }
    for (const SMemory& Memory : m_Memories)
    {
        if (a_udwAddress >= Memory.m_udwBase && a_udwAddress - Memory.m_udwBase < Memory.m_Words.size())
        {
            *a_pbSequential = Memory.m_bSequential;
            return &Memory.m_Words[a_udwAddress - Memory.m_udwBase];
        }
    }
    return nullptr;
}

unsigned* CSimBus::Find(unsigned a_udwAddress, const SCell** a_ppCell, bool* a_pbSequential)
{
    return const_cast<unsigned*>(static_cast<const CSimBus*>(this)->Find(a_udwAddress, a_ppCell, a_pbSequential));
}

unsigned CSimBus::Peek(unsigned a_udwAddress) const
{
    const SCell* pCell = nullptr;
    bool bSequential = false;
    const unsigned* pudwWord = Find(a_udwAddress, &pCell, &bSequential);
    return pudwWord != nullptr ? *pudwWord : 0;
}

void CSimBus::Poke(unsigned a_udwAddress, unsigned a_udwValue)
{
    const SCell* pCell = nullptr;
    bool bSequential = false;
    if (unsigned* pudwWord = Find(a_udwAddress, &pCell, &bSequential))
        *pudwWord = a_udwValue & (pCell != nullptr ? pCell->m_udwWidthMask : 0xFFFFFFFFu);
}

void CSimBus::RaiseStatus(unsigned a_udwAddress, unsigned a_udwBits)
{
    const SCell* pCell = nullptr;
    bool bSequential = false;
    unsigned* pudwWord = Find(a_udwAddress, &pCell, &bSequential);
    if (pudwWord != nullptr && pCell != nullptr && pCell->m_bStatus)
        *pudwWord |= a_udwBits;
}

void CSimBus::TraceWords(char a_cKind, unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount)
{
    if (m_pTrace == nullptr)
        return;
    std::ostream& rOut = *m_pTrace;
    rOut << "bus: " << a_cKind << " " << HexAddress(a_udwAddress) << " " << a_udwByteCount << (a_cKind == 'R' ? " ->" : "");
    const unsigned udwWords = (a_udwByteCount + 3) / 4;
    for (unsigned i = 0; i < udwWords && i < kTracedWords; ++i)
        rOut << " " << HexWord(a_udwpData[i]);
    if (udwWords > kTracedWords)
        rOut << " ... (" << udwWords << " words)";
    rOut << "\n";
}

void CSimBus::WriteWord(unsigned a_udwAddress, unsigned a_udwData, unsigned a_udwBytes)
{
    const SCell* pCell = nullptr;
    bool bSequential = false;
    unsigned* pudwWord = Find(a_udwAddress, &pCell, &bSequential);
    if (pudwWord == nullptr)
    {
        ++m_Counters.m_uUnmapped;
        return;
    }
    if (pCell == nullptr)
    {
        *pudwWord = a_udwData;
        return;
    }
    if (pCell->m_bReadOnly)
        return;
    const unsigned udwData = a_udwData & ByteMask(a_udwBytes) & pCell->m_udwWidthMask;
    if (pCell->m_bStatus)
        *pudwWord &= ~udwData;  // write one to clear
    else
        *pudwWord = udwData;
}

void CSimBus::ReadWord(unsigned a_udwAddress, unsigned& a_rudwData)
{
    const SCell* pCell = nullptr;
    bool bSequential = false;
    unsigned* pudwWord = Find(a_udwAddress, &pCell, &bSequential);
    if (pudwWord == nullptr)
    {
        ++m_Counters.m_uUnmapped;
        a_rudwData = 0;
        return;
    }
    if (bSequential)
    {
        // The device cannot answer directly: the word is latched into PRI_SERVAL and
        // SERDAT_RDY follows after the configured number of status polls.
        Poke(kDataAddress, *pudwWord);
        m_bReadBackPending = true;
        m_udwPolls = 0;
        a_rudwData = 0;
        return;
    }
    if (a_udwAddress == kStatusAddress && m_bReadBackPending)
    {
        ++m_udwPolls;
        if (m_udwReadyAfterPolls != 0 && m_udwPolls >= m_udwReadyAfterPolls)
        {
            *pudwWord |= kReadyBit;
            m_bReadBackPending = false;
        }
    }
    a_rudwData = *pudwWord;
}

CSimBus::SMemory* CSimBus::WholeMemory(unsigned a_udwAddress, unsigned a_udwWords)
{
    for (SMemory& Memory : m_Memories)
        if (a_udwAddress >= Memory.m_udwBase && a_udwAddress - Memory.m_udwBase + a_udwWords <= Memory.m_Words.size())
            return &Memory;
    return nullptr;
}

void CSimBus::Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount)
{
    ++m_Counters.m_uWrites;
    m_Counters.m_uBytesWritten += a_udwByteCount;
    TraceWords('W', a_udwAddress, a_udwpData, a_udwByteCount);
    const unsigned udwWords = a_udwByteCount / 4;
    if (SMemory* pMemory = udwWords > 1 && a_udwByteCount % 4 == 0 ? WholeMemory(a_udwAddress, udwWords) : nullptr)
    {
        std::copy(a_udwpData, a_udwpData + udwWords, pMemory->m_Words.begin() + (a_udwAddress - pMemory->m_udwBase));
        return;
    }
    for (unsigned i = 0; i * 4 < a_udwByteCount; ++i)
        WriteWord(a_udwAddress + i, a_udwpData[i], a_udwByteCount - i * 4);
}

void CSimBus::Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount)
{
    ++m_Counters.m_uReads;
    if (m_iThrowOnRead < 0 || (m_iThrowOnRead > 0 && --m_iThrowOnRead == 0))
    {
        if (m_pTrace != nullptr)
            *m_pTrace << "bus: R " << HexAddress(a_udwAddress) << " " << a_udwByteCount << " -> fault\n";
        throw std::runtime_error("simulated bus fault");
    }
    m_Counters.m_uBytesRead += a_udwByteCount;
    const unsigned udwWords = a_udwByteCount / 4;
    SMemory* pMemory = udwWords > 1 && a_udwByteCount % 4 == 0 ? WholeMemory(a_udwAddress, udwWords) : nullptr;
    if (pMemory != nullptr && !pMemory->m_bSequential)
    {
        const auto Begin = pMemory->m_Words.begin() + (a_udwAddress - pMemory->m_udwBase);
        std::copy(Begin, Begin + udwWords, a_udwpData);
    }
    else
    {
        for (unsigned i = 0; i * 4 < a_udwByteCount; ++i)
            ReadWord(a_udwAddress + i, a_udwpData[i]);
    }
    TraceWords('R', a_udwAddress, a_udwpData, a_udwByteCount);
}

void CSimBus::Wait(unsigned a_udwDuration)
{
    ++m_Counters.m_uWaits;
    if (m_pTrace != nullptr)
        *m_pTrace << "bus: wait " << a_udwDuration << "\n";
}

void CSimStatusRegister::PrepareSet(unsigned* a_udwpValue)
{
    *a_udwpValue = 0;
}

void CSimStatusRegister::PrepareReset(unsigned*)
{
}

void CSimStatusRegister::PrepareResetAll(unsigned* a_udwpValue)
{
    *a_udwpValue = 0xFFFFFFFF;
}

void CStreamUtility::ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage)
{
    ++m_udwReports;
    // In one piece: a daemon's other writers of the same stream (its audit lines) cannot split it.
    const auto Text = [](const char* a_pcText) { return a_pcText == nullptr ? "" : a_pcText; };
    const std::string strLine = std::string(Text(a_pcFile)) + ":" + std::to_string(a_iLine) + ": " + Text(a_pcFunction) +
                                ": " + Text(a_pcMessage) + "\n";
    m_rStream.write(strLine.data(), static_cast<std::streamsize>(strLine.size()));
    m_rStream.flush();
}

bool CStreamUtility::StopWaiting()
{
    return m_bStopWaiting;
}

void CStreamUtility::ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                                        const char* a_pcMessage)
{
    ++m_udwAccessDenied;
    if (!m_bQuietAccessDenied)
        ReportError(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
}
