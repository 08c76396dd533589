// A simulated ZEV for hosts without a board: the three host objects the library needs,
// modelling the device's address space as the library sees it.
#pragma once

#include "HostInterfaces.h"
#include "RegisterMap.h"

#include <iosfwd>
#include <unordered_map>
#include <vector>

// The device's address space: a word per register address and per memory word, the
// read-back path of sequentially read registers, write-one-to-clear status registers,
// fault injection, an optional transfer trace and counters.
class CSimBus : public CHWAccess
{
public:
    static const unsigned kStatusAddress = 24;    // PRI_STATUSREG1
    static const unsigned kReadyBit = 0x10000;    // SERDAT_RDY
    static const unsigned kDataAddress = 30;      // PRI_SERVAL

    CSimBus();

    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override;
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override;
    void Wait(unsigned a_udwDuration) override;

    // The device's own view of a word, without a transfer (0 for an unmapped address).
    unsigned Peek(unsigned a_udwAddress) const;
    // The device changes a word by itself (a measurement result, say).
    void Poke(unsigned a_udwAddress, unsigned a_udwValue);
    // The device raises status bits (addresses 24 to 29).
    void RaiseStatus(unsigned a_udwAddress, unsigned a_udwBits);

    // Transfers, one line each, to this stream; null switches the trace off.
    void SetTrace(std::ostream* a_pTrace) { m_pTrace = a_pTrace; }

    // Read-back: SERDAT_RDY shows at this status poll after a start; 0 means never.
    unsigned m_udwReadyAfterPolls = 1;
    // Faults: the n-th Read from now throws (n > 0), or every Read throws (n < 0).
    int m_iThrowOnRead = 0;

    struct SCounters
    {
        unsigned long long m_uReads = 0, m_uWrites = 0, m_uWaits = 0;
        unsigned long long m_uBytesRead = 0, m_uBytesWritten = 0, m_uUnmapped = 0;
    } m_Counters;

private:
    struct SCell
    {
        unsigned m_udwValue = 0;
        unsigned m_udwWidthMask = 0xFFFFFFFF;
        bool m_bSequential = false;
        bool m_bReadOnly = false;
        bool m_bStatus = false;
    };
    struct SMemory
    {
        unsigned m_udwBase;
        bool m_bSequential;
        std::vector<unsigned> m_Words;
    };

    // The word at an address, with its cell for a one-word register; null when unmapped.
    const unsigned* Find(unsigned a_udwAddress, const SCell** a_ppCell, bool* a_pbSequential) const;
    unsigned* Find(unsigned a_udwAddress, const SCell** a_ppCell, bool* a_pbSequential);
    // The memory that holds all of a multi-word transfer, for a one-step copy.
    SMemory* WholeMemory(unsigned a_udwAddress, unsigned a_udwWords);
    void ReadWord(unsigned a_udwAddress, unsigned& a_rudwData);
    void WriteWord(unsigned a_udwAddress, unsigned a_udwData, unsigned a_udwBytes);
    void TraceWords(char a_cKind, unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount);

    std::unordered_map<unsigned, SCell> m_Cells;
    std::vector<SMemory> m_Memories;
    std::ostream* m_pTrace = nullptr;
    bool m_bReadBackPending = false;
    unsigned m_udwPolls = 0;
};

// Write-one-to-clear status registers: a one bit written clears that bit. Software cannot
// raise a status bit, so a "set" clears nothing; a "reset" clears the bits it carries.
class CSimStatusRegister : public CIStatusRegister
{
public:
    void PrepareSet(unsigned* a_udwpValue) override;
    void PrepareReset(unsigned* a_udwpValue) override;
    void PrepareResetAll(unsigned* a_udwpValue) override;
};

// Reports go to a stream, one line each: file:line: function: message.
class CStreamUtility : public CUtility_Interface
{
public:
    explicit CStreamUtility(std::ostream& a_rStream) : m_rStream(a_rStream) {}

    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override;
    bool StopWaiting() override;
    void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction,
                            const char* a_pcMessage) override;

    bool m_bStopWaiting = false;        // fault: the host gives up waiting at once
    bool m_bQuietAccessDenied = false;  // refused directions are counted, not shown
    unsigned m_udwReports = 0;          // reports shown
    unsigned m_udwAccessDenied = 0;     // refused directions, shown or not

private:
    std::ostream& m_rStream;
};

// The three host objects wired together as a host does it.
struct SSimulatedHost
{
    explicit SSimulatedHost(std::ostream& a_rReports) : Utility(a_rReports) { Bus.m_pUtility = &Utility; }
    CSimBus Bus;
    CSimStatusRegister Status;
    CStreamUtility Utility;
};
