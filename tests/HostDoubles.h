// Recording doubles of the three host objects. All three write into one log, one line per
// call in call order, so a test states the exact bus traffic and reports it expects.
#pragma once

#include "HostInterfaces.h"

#include <map>
#include <string>
#include <vector>

using CallLog = std::vector<std::string>;

// A bus with a word store and the device's read-back path: after a write to the status
// word (address 24) the next read latches that address's word into address 30, and the
// ready bit (bit 16 of address 24) shows after a number of status polls.
class CFakeBus : public CHWAccess
{
public:
    explicit CFakeBus(CallLog& a_rLog) : m_rLog(a_rLog) {}

    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override;
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override;
    void Wait(unsigned a_udwDuration) override;

    std::map<unsigned, unsigned> m_Words;
    unsigned m_udwReadyAfterPolls = 1;  // 0: never ready
    int m_iThrowOnRead = 0;             // n > 0: the n-th Read from now on throws
    int m_iThrowOnWrite = 0;            // n > 0: the n-th Write from now on throws
    bool m_bRecordPolls = true;         // off for tests that poll thousands of times
    unsigned m_udwPollsSinceReset = 0;

private:
    CallLog& m_rLog;
    bool m_bArmed = false;  // the ready bit was reset: the next read starts a read-back
};

class CRecordingUtility : public CUtility_Interface
{
public:
    explicit CRecordingUtility(CallLog& a_rLog) : m_rLog(a_rLog) {}

    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override;
    bool StopWaiting() override;
    void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                            const char* a_pcMessage) override;

    int m_iStopAtCall = 0;  // n > 0: the n-th StopWaiting answers true
    bool m_bThrowOnReport = false;  // ReportError throws after recording
    unsigned m_udwStopWaitingCalls = 0;
    bool m_bRecordStopWaiting = true;
    std::vector<std::string> m_Reports;  // "function|message", also kept apart from the log

private:
    CallLog& m_rLog;
};

class CRecordingStatus : public CIStatusRegister
{
public:
    explicit CRecordingStatus(CallLog& a_rLog) : m_rLog(a_rLog) {}

    void PrepareSet(unsigned* a_udwpValue) override;
    void PrepareReset(unsigned* a_udwpValue) override;
    void PrepareResetAll(unsigned* a_udwpValue) override;  // leaves all ones

private:
    CallLog& m_rLog;
};

// The three host objects wired together as a host would.
struct SHost
{
    SHost() { Bus.m_pUtility = &Utility; }
    CallLog Log;
    CFakeBus Bus{Log};
    CRecordingUtility Utility{Log};
    CRecordingStatus Status{Log};
};

std::string Hex(unsigned a_udwValue);
