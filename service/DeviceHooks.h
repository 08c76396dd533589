// What the service puts between a device and the host's own objects: a bus that forwards
// every call unchanged and tells of each transfer, a utility that forwards every report and
// keeps it, and a stream for change-log lines. A device served over the network is
// constructed on these, so that what one request caused can be handed back with its answer
// and everything the device does reaches the event stream.
#pragma once

#include "EventHub.h"
#include "HostInterfaces.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <streambuf>
#include <string>

namespace rlzev
{
class CDeviceHooks;

class CTracingBus : public CHWAccess
{
public:
    CTracingBus(CHWAccess& a_rInner, CDeviceHooks& a_rHooks) : m_rInner(a_rInner), m_rHooks(a_rHooks) {}
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override;
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override;
    void Wait(unsigned a_udwDuration) override;

private:
    CHWAccess& m_rInner;
    CDeviceHooks& m_rHooks;
};

class CCapturingUtility : public CUtility_Interface
{
public:
    CCapturingUtility(CUtility_Interface& a_rInner, CDeviceHooks& a_rHooks) : m_rInner(a_rInner), m_rHooks(a_rHooks) {}
    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override;
    bool StopWaiting() override { return m_rInner.StopWaiting(); }
    void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                            const char* a_pcMessage) override;

private:
    CUtility_Interface& m_rInner;
    CDeviceHooks& m_rHooks;
};

// Change-log text arrives in pieces; a line is an event once it is complete.
class CLineBuffer : public std::streambuf
{
public:
    explicit CLineBuffer(CDeviceHooks& a_rHooks) : m_rHooks(a_rHooks) {}

protected:
    int_type overflow(int_type a_iChar) override;
    std::streamsize xsputn(const char* a_pcText, std::streamsize a_iCount) override;

private:
    CDeviceHooks& m_rHooks;
    std::string m_strLine;
};

class CDeviceHooks
{
public:
    // a_rBus and a_rUtility are the host's; the device is to be constructed on Bus() and
    // Utility(). The hooks set Bus().m_pUtility to Utility().
    CDeviceHooks(CHWAccess& a_rBus, CUtility_Interface& a_rUtility);

    CHWAccess& Bus() { return m_Bus; }
    CUtility_Interface& Utility() { return m_Utility; }
    std::ostream& LogStream() { return m_LogStream; }
    CEventHub& Events() { return m_Hub; }

    // Between these, what the device does is also kept for the caller: reports always,
    // transfers and log lines when a_bTransfers. Called with device calls serialised.
    void BeginCall(bool a_bTransfers);
    nlohmann::json EndCall();  // {"reports": [...], "events": [...]} as kept

private:
    friend class CTracingBus;
    friend class CCapturingUtility;
    friend class CLineBuffer;

    bool WantsText() const { return m_bInCall ? m_bTransfers || m_bHubListening : m_Hub.HasSubscribers(); }
    void Transfer(const std::string& a_strText);
    void Report(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage, bool a_bDenied);
    void Line(const std::string& a_strText);

    CEventHub m_Hub;
    CTracingBus m_Bus;
    CCapturingUtility m_Utility;
    CLineBuffer m_LineBuffer;
    std::ostream m_LogStream;
    bool m_bInCall = false;
    bool m_bTransfers = false;
    bool m_bHubListening = false;
    nlohmann::json m_Reports;
    nlohmann::json m_Events;
};
} // namespace rlzev
