#include "HostDoubles.h"

#include <cstdio>
#include <stdexcept>

namespace
{
unsigned WordCount(unsigned a_udwByteCount)
{
    return (a_udwByteCount + 3) / 4;
}
} // namespace

std::string Hex(unsigned a_udwValue)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "0x%X", a_udwValue);
    return acText;
}

void CFakeBus::Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount)
{
    if (m_iThrowOnWrite > 0 && --m_iThrowOnWrite == 0)
    {
        m_rLog.push_back("Write " + Hex(a_udwAddress) + " throws");
        throw std::runtime_error("bus fault");
    }
    std::string strLine = "Write " + Hex(a_udwAddress) + " " + std::to_string(a_udwByteCount) + ":";
    for (unsigned i = 0; i < WordCount(a_udwByteCount); ++i)
    {
        strLine += " " + Hex(a_udwpData[i]);
        m_Words[a_udwAddress + i] = a_udwpData[i];
    }
    if (a_udwAddress == 24)
    {
        m_udwPollsSinceReset = 0;
        m_bArmed = true;
    }
    m_rLog.push_back(strLine);
}

void CFakeBus::Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount)
{
    if (m_iThrowOnRead > 0 && --m_iThrowOnRead == 0)
    {
        m_rLog.push_back("Read " + Hex(a_udwAddress) + " throws");
        throw std::runtime_error("bus fault");
    }
    const bool bPoll = a_udwAddress == 24 && a_udwByteCount == 4;
    if (!bPoll || m_bRecordPolls)
        m_rLog.push_back("Read " + Hex(a_udwAddress) + " " + std::to_string(a_udwByteCount));
    if (bPoll)
    {
        ++m_udwPollsSinceReset;
        const bool bReady = m_udwReadyAfterPolls != 0 && m_udwPollsSinceReset >= m_udwReadyAfterPolls;
        a_udwpData[0] = (m_Words[24] & ~0x10000u) | (bReady ? 0x10000u : 0u);
        return;
    }
    for (unsigned i = 0; i < WordCount(a_udwByteCount); ++i)
        a_udwpData[i] = m_Words[a_udwAddress + i];
    if (m_bArmed && a_udwAddress != 30)
    {
        m_Words[30] = m_Words[a_udwAddress];
        m_bArmed = false;
    }
}

void CFakeBus::Wait(unsigned a_udwDuration)
{
    if (m_bRecordPolls || a_udwDuration != 8)
        m_rLog.push_back("Wait " + std::to_string(a_udwDuration));
}

void CRecordingUtility::ReportError(const char* a_pcFile, int, const char* a_pcFunction, const char* a_pcMessage)
{
    m_rLog.push_back(std::string("ReportError ") + a_pcFile + " | " + a_pcFunction + " | " + a_pcMessage);
    m_Reports.push_back(std::string(a_pcFunction) + "|" + a_pcMessage);
    if (m_bThrowOnReport)
        throw std::runtime_error("utility fault");
}

bool CRecordingUtility::StopWaiting()
{
    ++m_udwStopWaitingCalls;
    if (m_bRecordStopWaiting)
        m_rLog.push_back("StopWaiting");
    return m_iStopAtCall > 0 && m_udwStopWaitingCalls == static_cast<unsigned>(m_iStopAtCall);
}

void CRecordingUtility::ReportAccessDenied(const char* a_pcFile, int, const char* a_pcFunction,
                                           const char* a_pcMessage)
{
    m_rLog.push_back(std::string("ReportAccessDenied ") + a_pcFile + " | " + a_pcFunction + " | " + a_pcMessage);
    m_Reports.push_back(std::string(a_pcFunction) + "|" + a_pcMessage);
}

void CRecordingStatus::PrepareSet(unsigned* a_udwpValue)
{
    m_rLog.push_back("PrepareSet " + Hex(*a_udwpValue));
}

void CRecordingStatus::PrepareReset(unsigned* a_udwpValue)
{
    m_rLog.push_back("PrepareReset " + Hex(*a_udwpValue));
}

void CRecordingStatus::PrepareResetAll(unsigned* a_udwpValue)
{
    m_rLog.push_back("PrepareResetAll " + Hex(*a_udwpValue));
    *a_udwpValue = 0xFFFFFFFF;
}
