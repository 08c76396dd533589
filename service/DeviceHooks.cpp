#include "DeviceHooks.h"

#include <cstdio>

namespace rlzev
{
namespace
{
const unsigned kTracedWords = 8;  // a memory transfer is shown by its first words

// The same text as the simulator's own trace, so that a trace reads alike in-process and
// over the network.
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
} // namespace

void CTracingBus::Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount)
{
    m_rInner.Write(a_udwAddress, a_udwpData, a_udwByteCount);
    if (m_rHooks.WantsText())
        m_rHooks.Transfer(TransferText('W', a_udwAddress, a_udwpData, a_udwByteCount));
}

void CTracingBus::Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount)
{
    try
    {
        m_rInner.Read(a_udwAddress, a_udwpData, a_udwByteCount);
    }
    catch (...)
    {
        if (m_rHooks.WantsText())
        {
            char acText[48];
            std::snprintf(acText, sizeof acText, "bus: R 0x%05X %u -> fault", a_udwAddress, a_udwByteCount);
            m_rHooks.Transfer(acText);
        }
        throw;
    }
    if (m_rHooks.WantsText())
        m_rHooks.Transfer(TransferText('R', a_udwAddress, a_udwpData, a_udwByteCount));
}

void CTracingBus::Wait(unsigned a_udwDuration)
{
    m_rInner.Wait(a_udwDuration);
    if (m_rHooks.WantsText())
        m_rHooks.Transfer("bus: wait " + std::to_string(a_udwDuration));
}

void CCapturingUtility::ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage)
{
    m_rHooks.Report(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, false);
    m_rInner.ReportError(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
}

void CCapturingUtility::ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                                           const char* a_pcMessage)
{
    m_rHooks.Report(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, true);
    m_rInner.ReportAccessDenied(a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
}

CLineBuffer::int_type CLineBuffer::overflow(int_type a_iChar)
{
    if (traits_type::eq_int_type(a_iChar, traits_type::eof()))
        return traits_type::not_eof(a_iChar);
    const char c = traits_type::to_char_type(a_iChar);
    if (c == '\n')
    {
        m_rHooks.Line(m_strLine);
        m_strLine.clear();
    }
    else if (m_strLine.size() < 4096)  // a runaway line is cut, not kept without bound
    {
        m_strLine += c;
    }
    return a_iChar;
}

std::streamsize CLineBuffer::xsputn(const char* a_pcText, std::streamsize a_iCount)
{
    for (std::streamsize i = 0; i < a_iCount; ++i)
        overflow(traits_type::to_int_type(a_pcText[i]));
    return a_iCount;
}

CDeviceHooks::CDeviceHooks(CHWAccess& a_rBus, CUtility_Interface& a_rUtility)
    : m_Bus(a_rBus, *this), m_Utility(a_rUtility, *this), m_LineBuffer(*this), m_LogStream(&m_LineBuffer),
      m_Reports(nlohmann::json::array()), m_Events(nlohmann::json::array())
{
    m_Bus.m_pUtility = &m_Utility;
}

void CDeviceHooks::BeginCall(bool a_bTransfers)
{
    m_bInCall = true;
    m_bTransfers = a_bTransfers;
    m_bHubListening = m_Hub.HasSubscribers();
    m_Reports = nlohmann::json::array();
    m_Events = nlohmann::json::array();
}

nlohmann::json CDeviceHooks::EndCall()
{
    m_bInCall = false;
    nlohmann::json Result = {{"reports", std::move(m_Reports)}, {"events", std::move(m_Events)}};
    m_Reports = nlohmann::json::array();
    m_Events = nlohmann::json::array();
    return Result;
}

void CDeviceHooks::Transfer(const std::string& a_strText)
{
    nlohmann::json Event = {{"type", "transfer"}, {"text", a_strText}};
    if (m_Hub.HasSubscribers())
        m_Hub.Publish("transfer", Event.dump());
    if (m_bInCall && m_bTransfers)
        m_Events.push_back(std::move(Event));
}

void CDeviceHooks::Report(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage,
                          bool a_bDenied)
{
    // Library texts are plain bytes; a report must never fail to become JSON.
    auto Text = [](const char* a_pc) { return a_pc == nullptr ? std::string() : std::string(a_pc); };
    nlohmann::json Event = {{"type", "report"},       {"file", Text(a_pcFile)},       {"line", a_iLine},
                            {"function", Text(a_pcFunction)}, {"message", Text(a_pcMessage)}, {"accessDenied", a_bDenied}};
    if (m_Hub.HasSubscribers())
        m_Hub.Publish("report", Event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    if (m_bInCall)
    {
        m_Reports.push_back(Event);
        if (m_bTransfers)
            m_Events.push_back(std::move(Event));
    }
}

void CDeviceHooks::Line(const std::string& a_strText)
{
    nlohmann::json Event = {{"type", "log"}, {"text", a_strText}};
    if (m_Hub.HasSubscribers())
        m_Hub.Publish("log", Event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    if (m_bInCall && m_bTransfers)
        m_Events.push_back(std::move(Event));
}
} // namespace rlzev
