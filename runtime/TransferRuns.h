// The bus transfers as the event stream tells them. Words read one after the other at
// consecutive addresses through the read-back path (six transfers a word and more) are one
// event: the first address, how many words, the first word and the last. A memory read that
// way costs a listener one event, not hundreds of thousands. Every other transfer, and a
// single word read back with its polls, is told as it came, as the simulator traces it.
#pragma once

#include "DeviceRuntime.h"

#include <functional>
#include <string>
#include <vector>

namespace rlzev
{
constexpr unsigned kTracedWords = 8;  // a memory transfer is shown by its first words

// One transfer as the simulator traces it ("bus: W 0x00E00 3 0x00000003"), so that a trace
// reads alike in-process and over the network.
std::string TransferText(char a_cKind, unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount);

class CTransferRuns
{
public:
    // a_udwStatusAddress, a_udwDataAddress: the read-back path's status and data registers.
    CTransferRuns(unsigned a_udwStatusAddress, unsigned a_udwDataAddress, std::function<void(const SDeviceEvent&)> a_Tell)
        : m_udwStatus(a_udwStatusAddress), m_udwData(a_udwDataAddress), m_Tell(std::move(a_Tell))
    {
    }

    // a_cKind: 'R' or 'W'.
    void Transfer(char a_cKind, unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount);
    void Wait(unsigned a_udwDuration);
    // Tells what is held: before any other event, so that the stream keeps the device's order,
    // and as each call ends.
    void Flush();
    // Lets go of what is held untold: nobody listens now, and a listener who comes later in
    // the same call must not get a run begun before it came.
    void Forget();
    bool Holds() const { return m_bRun || m_eCycle != ECycle::NONE; }

private:
    struct SStep  // one transfer (or wait) of a read-back held until its word is complete
    {
        char m_cKind;  // 'R', 'W' or 'w' (a wait: m_udwValue is its duration)
        unsigned m_udwAddress;
        unsigned m_udwValue;
    };
    enum class ECycle
    {
        NONE,    // no read-back under way
        RESET,   // the ready bit reset: a start read comes next
        START,   // started: a wait comes next
        WAITED,  // a status poll or the fetch comes next
        POLLED,  // a wait comes next
    };

    void GiveUp();
    void EndCycle(unsigned a_udwWord);
    void TellText(std::string a_strText);
    void TellSteps(const std::vector<SStep>& a_rSteps);
    void TellRun();

    const unsigned m_udwStatus;
    const unsigned m_udwData;
    std::function<void(const SDeviceEvent&)> m_Tell;

    ECycle m_eCycle = ECycle::NONE;
    std::vector<SStep> m_Cycle;  // the read-back under way, step by step

    // The words read back so far: m_udwWords of them from m_udwAddress on, in m_uTransfers.
    bool m_bRun = false;
    unsigned m_udwAddress = 0;
    unsigned m_udwWords = 0;
    unsigned m_udwFirst = 0;
    unsigned m_udwLast = 0;
    unsigned long long m_uTransfers = 0;
    // The first word's steps, told as they came if no second word joins it.
    std::vector<SStep> m_FirstCycle;
};
} // namespace rlzev
