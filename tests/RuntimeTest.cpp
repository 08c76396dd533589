// The device runtime: every call serialised on its device, reports reaching the device
// whose call made them whatever other devices do meanwhile, host faults, and the calls a
// host must not make from inside a call.
#include "DeviceRuntime.h"
#include "Operations.h"
#include "ReportRouter.h"
#include "TransferRuns.h"
#include "ZEV.h"
#include "ZevSimulator.h"
#include "ZEVUtilities.h"
#include "ZevRegisterTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <utility>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace
{
// Keeps the messages of the reports it gets (only ever from its own device's calls).
struct CKeepingUtility : CUtility_Interface
{
    void ReportError(const char*, int, const char*, const char* a_pcMessage) override { m_Messages.push_back(a_pcMessage); }
    bool StopWaiting() override
    {
        if (m_bThrowOnStop)
            throw std::runtime_error("host gave up");
        return m_bStop;
    }
    void ReportAccessDenied(const char*, int, const char*, const char* a_pcMessage) override
    {
        m_Messages.push_back(a_pcMessage);
    }
    std::vector<std::string> m_Messages;
    bool m_bStop = false;
    bool m_bThrowOnStop = false;
};

template <class TBus = CSimBus>
struct SHost
{
    SHost() { Bus.m_pUtility = &Utility; }
    TBus Bus;
    CSimStatusRegister Status;
    CKeepingUtility Utility;
};
using SHostObjects = SHost<>;
// A host and the runtime of its device.
template <class TBus = CSimBus>
struct SRun : SHost<TBus>
{
    rlzev::CDeviceRuntime Runtime{this->Bus, this->Utility, this->Status};
};

// Keeps what it hears; throws once (out of room, say) at the first event that starts with
// m_strThrowOn.
struct CKeepingObserver : rlzev::CDeviceObserver
{
    bool IsListening() const override { return true; }
    void OnEvent(const rlzev::SDeviceEvent& a_rEvent) override
    {
        std::string strText = a_rEvent.m_eKind == rlzev::SDeviceEvent::REPORT ? "report: " + a_rEvent.m_Report.m_strMessage
                                                                              : a_rEvent.m_strText;
        if (!m_strThrowOn.empty() && strText.compare(0, m_strThrowOn.size(), m_strThrowOn) == 0)
        {
            m_strThrowOn.clear();
            throw std::runtime_error("observer full");
        }
        m_Texts.push_back(std::move(strText));
    }
    std::vector<std::string> m_Texts;
    std::string m_strThrowOn;
};

// A report through the library's shared holder: the text service's refusal of a name.
std::string ReportThroughTheHolder(rlzev::CDeviceRuntime& a_rRuntime, const std::string& a_strName, rlzev::SCallRecord* a_pRecord)
{
    return a_rRuntime.Run(
        [&](CZEV& a_rDevice) {
            std::list<std::string> Values;
            std::string strError;
            a_rDevice.ServiceRead(a_strName, "", Values, strError, 0, 1);
            return strError;
        },
        a_pRecord);
}
} // namespace

TEST(Runtime, ReportsReachTheirOwnDeviceWhateverOtherDevicesDo)
{
    SRun<> Served;
    rlzev::CDeviceRuntime& Runtime = Served.Runtime;
    // A second device made, used and dropped over and over on another thread.
    std::atomic<bool> bDone(false);
    std::atomic<unsigned> uOtherWrong(0), uOthers(0);
    std::thread Other([&] {
        while (!bDone)
        {
            SHostObjects Host;
            {
                rlzev::CDeviceRuntime Second(Host.Bus, Host.Utility, Host.Status);
                for (int i = 0; i < 5; ++i)
                {
                    rlzev::SCallRecord Record;
                    ReportThroughTheHolder(Second, "OTHER", &Record);
                    uOtherWrong += Record.m_Reports.size() != 1 || Record.m_Reports[0].m_strMessage != "Invalid register submitted: OTHER";
                }
            }
            uOtherWrong += Host.Utility.m_Messages != std::vector<std::string>(5, "Invalid register submitted: OTHER");
            ++uOthers;
        }
    });
    unsigned uWrong = 0, uCalls = 0;
    // Calls go on until the other thread has made and dropped its device many times meanwhile.
    for (; uCalls < 2000 || uOthers < 20; ++uCalls)
    {
        rlzev::SCallRecord Record;
        ReportThroughTheHolder(Runtime, "SERVED", &Record);
        uWrong += Record.m_Reports.size() != 1 || Record.m_Reports[0].m_strMessage != "Invalid register submitted: SERVED";
    }
    bDone = true;
    Other.join();
    EXPECT_EQ(uWrong, 0u);
    EXPECT_EQ(uOtherWrong.load(), 0u);
    EXPECT_EQ(Served.Utility.m_Messages, std::vector<std::string>(uCalls, "Invalid register submitted: SERVED"));
    // After every other device is gone, reports still arrive.
    rlzev::SCallRecord Record;
    ReportThroughTheHolder(Runtime, "LAST", &Record);
    ASSERT_EQ(Record.m_Reports.size(), 1u);
    EXPECT_EQ(Served.Utility.m_Messages.back(), "Invalid register submitted: LAST");
}

TEST(Runtime, ADeviceMadeOutsideTheRuntimeIsNotHeard)
{
    SHostObjects Raw;
    SRun<> Served;
    const unsigned long long uBefore = rlzev::CReportRouter::Instance().Unrouted();
    {
        CZEV Outside(&Raw.Bus, &Raw.Utility, &Raw.Status);
        std::list<std::string> Values;
        std::string strError;
        Outside.ServiceRead("NOPE", "", Values, strError, 0, 1);
    }
    EXPECT_EQ(rlzev::CReportRouter::Instance().Unrouted(), uBefore + 1) << "counted, and given to nobody else";
    EXPECT_TRUE(Served.Utility.m_Messages.empty());
    // Its destruction cleared the library's holder; the runtime's device still reports.
    ReportThroughTheHolder(Served.Runtime, "STILL", nullptr);
    EXPECT_EQ(Served.Utility.m_Messages, std::vector<std::string>{"Invalid register submitted: STILL"});
}

TEST(Runtime, CallsOfOneDeviceNeverOverlap)
{
    SRun<> Host;
    rlzev::CDeviceRuntime& Runtime = Host.Runtime;
    std::atomic<int> iInside(0), iMost(0);
    std::vector<std::thread> Threads;
    for (int t = 0; t < 4; ++t)
        Threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i)
                Runtime.Run([&](CZEV& a_rDevice) {
                    iMost = std::max(iMost.load(), ++iInside);
                    a_rDevice.AUD_CNTRL0.TRIG_SEL.Get(true);
                    --iInside;
                });
        });
    {
        // A host's own series of calls holds the device throughout.
        auto Handle = Runtime.Acquire();
        iMost = std::max(iMost.load(), ++iInside);
        Handle->DIN_CNTRL0.FIFOLEVEL.Set(3, CSignalBase::HW_WRITE_IMMEDIATE);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ((*Handle).DIN_CNTRL0.FIFOLEVEL.Get(true), 3u);
        --iInside;
    }
    for (std::thread& Thread : Threads)
        Thread.join();
    EXPECT_EQ(iMost.load(), 1);
}

// A bus whose reads throw what no host should: not a std::exception.
struct CStrangeBus : CSimBus
{
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        if (m_bThrow)
            throw 42;
        CSimBus::Read(a_udwAddress, a_udwpData, a_udwByteCount);
    }
    bool m_bThrow = false;
};

TEST(Runtime, AHostFaultPassesThroughWithTheReportsSoFarAndStopsABatchThere)
{
    SRun<CStrangeBus> Host;
    Host.Bus.m_iThrowOnRead = 3;
    rlzev::SCallRecord Record;
    EXPECT_THROW(Host.Runtime.Run(
                     [](CZEV& a_rDevice) {
                         a_rDevice.PRI_SERVAL.SERVAL.Set(1, CSignalBase::HW_WRITE_IMMEDIATE);  // a refused direction
                         std::list<std::string> Values;
                         std::string strError;
                         for (int i = 0; i < 3; ++i)
                             a_rDevice.ServiceRead("DIN_MS_DET_LOW", "MS_DET_LOW", Values, strError, 0, 1);
                     },
                     &Record),
                 std::runtime_error);
    EXPECT_EQ(std::make_pair(Record.m_uBusFaults, Host.Runtime.Counts().m_uFaults), std::make_pair(1u, 1ull)) << "a read's fault too";
    EXPECT_EQ(Host.Runtime.Counts().m_uReports, 1u);
    ASSERT_EQ(Record.m_Reports.size(), 1u);
    EXPECT_EQ(Record.m_Reports[0].m_strMessage, ",No write access allowed!");
    EXPECT_TRUE(Record.m_Reports[0].m_bAccessDenied);
    EXPECT_EQ(Host.Runtime.Run([](CZEV& a_rDevice) { return a_rDevice.DIN_MS_DET_LOW.MS_DET_LOW.GetLockState(); }), 0u)
        << "and the device is consistent";
    // A fault of any kind, even what is no std::exception, stops a batch there.
    rlzev::SOperation Read;
    Read.m_eOperation = rlzev::EOperation::WORDS;
    Read.m_strRegister = "DIN_MS_DET_LOW";
    Host.Bus.m_bThrow = true;
    const std::vector<rlzev::SOutcome> Outcomes = Host.Runtime.RunBatch({Read, Read}, {});
    EXPECT_EQ(Outcomes[0].m_eStatus, rlzev::SOutcome::FAULT);
    EXPECT_EQ(Outcomes[0].m_strError, "host fault: unknown exception");
    EXPECT_EQ(Outcomes[1].m_eStatus, rlzev::SOutcome::SKIPPED);
}

// A bus whose n-th write from now throws, as a host's may when the board goes away.
struct CFailingBus : CSimBus
{
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        const bool bThrow = m_iThrowOnWrite > 0 && --m_iThrowOnWrite == 0;
        if (bThrow && !m_bTaken)
            throw std::runtime_error("bus write failed");
        CSimBus::Write(a_udwAddress, a_udwpData, a_udwByteCount);
        if (bThrow)
            throw std::runtime_error("bus write failed after the board took the word");
    }
    void Wait(unsigned a_udwDuration) override
    {
        if (std::exchange(m_bThrowOnWait, false))
            throw std::runtime_error("bus wait failed");
        CSimBus::Wait(a_udwDuration);
    }
    int m_iThrowOnWrite = 0;
    bool m_bTaken = false;  // the failing write reaches the hardware before the host throws
    bool m_bThrowOnWait = false;
};

// A program may run the table without a door's check first: a range the register lacks is
// still refused, and a read or a get answers as the doors see it.
TEST(Runtime, AnUncheckedRangeIsRefusedAndReadsAnswerAsTheDoorsSeeThem)
{
    SRun<> Host;
    rlzev::SOperation Words;
    Words.m_eOperation = rlzev::EOperation::WORDS;
    Words.m_strRegister = "DIN_CNTRL0";
    Words.m_udwStart = 1;
    const auto Reads = Host.Bus.m_Counters.m_uReads;
    const rlzev::SOutcome Refused = Host.Runtime.RunBatch({Words}, {})[0];
    EXPECT_EQ(Refused.m_eStatus, rlzev::SOutcome::REFUSED);
    EXPECT_EQ(Refused.m_strError, "DIN_CNTRL0 is a one-word register: no start or count beyond one word");
    EXPECT_EQ(Host.Bus.m_Counters.m_uReads, Reads);
    rlzev::SOperation Read;
    Read.m_eOperation = rlzev::EOperation::READ;
    Read.m_strRegister = "DIN_CNTRL0";
    Host.Bus.Poke(0x100, 7 << 2);
    for (const bool bKeep : {false, true})
    {
        rlzev::SBatchOptions Options;
        Options.m_bKeepApplication = bKeep;
        const rlzev::SOutcome Outcome = Host.Runtime.RunBatch({Read}, Options)[0];
        EXPECT_EQ(Outcome.m_Texts, std::vector<std::string>{"0000001C/h"}) << bKeep;
        EXPECT_TRUE(Outcome.m_Words.empty()) << bKeep;
        EXPECT_TRUE(Outcome.m_Record.m_Events.empty()) << "traced only when asked";
    }
    rlzev::SOperation AppWords = Read;
    AppWords.m_eOperation = rlzev::EOperation::APP_WORDS;
    AppWords.m_udwCount = 2;
    EXPECT_EQ(Host.Runtime.RunBatch({AppWords}, {})[0].m_strError, ", memory error, RAM frontiers have been hurt.");
    // A typed get that keeps the application's words answers the hardware's field, or the
    // application's while the field is locked.
    rlzev::SOperation Get = Read;
    Get.m_eOperation = rlzev::EOperation::GET;
    Get.m_strSignal = "FIFOLEVEL";
    rlzev::SBatchOptions Keep;
    Keep.m_bKeepApplication = true;
    EXPECT_EQ(Host.Runtime.RunBatch({Get}, Keep)[0].m_Words, std::vector<unsigned>{7});
    Host.Bus.Poke(0x100, 9 << 2);
    Host.Runtime.RunBatch({Read}, Keep);  // the hardware's image 9, the application's still 7
    EXPECT_EQ(Host.Runtime.RunBatch({Get}, {})[0].m_Words, std::vector<unsigned>{9});
    AppWords.m_udwCount = 1;
    EXPECT_EQ(Host.Runtime.RunBatch({AppWords}, {})[0].m_Words, std::vector<unsigned>{9u << 2}) << "handed over";
    EXPECT_EQ(Host.Runtime.Run([](CZEV& a_rDevice) {
        a_rDevice.DIN_CNTRL0.FIFOLEVEL.Lock();
        std::string strError;
        EXPECT_TRUE(a_rDevice.ServiceWrite("DIN_CNTRL0", "FIFOLEVEL", {"5/d"}, strError, 0)) << strError;
        return a_rDevice.DIN_CNTRL0.GetHwImage()[0];
    }),
              5u << 2);
    EXPECT_EQ(Host.Runtime.RunBatch({Get}, Keep)[0].m_Words, std::vector<unsigned>{9});
}

// A read-only server keeps the application's words: a memory's typed get answers what the
// library's would, hands nothing over (no words at the end included), reads the hardware
// when asked, and is the library's refusal past the end. A set beyond its field is refused.
TEST(Runtime, AMemoryGetThatKeepsTheApplicationsWordsAnswersAsTheLibrarys)
{
    SRun<> Host;
    const rlzev::SRegisterEntry& rMemory = *Host.Runtime.Catalogue().Find("DET_APD_SSRAM");
    const auto Run = [&](rlzev::EOperation a_eOperation, unsigned a_udwStart, unsigned a_udwCount, bool a_bKeep,
                         bool a_bReadHw = false) {
        rlzev::SOperation Operation;
        Operation.m_eOperation = a_eOperation;
        Operation.m_strRegister = rMemory.m_strName;
        Operation.m_udwStart = a_udwStart;
        Operation.m_udwCount = a_udwCount;
        Operation.m_bReadHw = a_bReadHw;
        rlzev::SBatchOptions Options;
        Options.m_bKeepApplication = a_bKeep;
        return Host.Runtime.RunBatch({Operation}, Options)[0];
    };
    const auto AppWord = [&] { return Run(rlzev::EOperation::APP_WORDS, 3, 1, false).m_Words; };
    Host.Bus.Poke(rMemory.m_udwAddress + 3, 0x33);
    const rlzev::SOutcome Fresh = Run(rlzev::EOperation::GET_BLOCK, 3, 1, true, true);
    EXPECT_EQ(std::make_pair(Fresh.m_Words, Fresh.m_bResult), std::make_pair(std::vector<unsigned>{0x33}, true));
    Host.Bus.Poke(rMemory.m_udwAddress + 3, 0x44);
    Run(rlzev::EOperation::WORDS, 3, 1, false);  // the hardware's image now differs from the application's
    EXPECT_TRUE(Run(rlzev::EOperation::GET_BLOCK, rMemory.m_udwWords, 0, true).m_Words.empty());
    const rlzev::SOutcome Kept = Run(rlzev::EOperation::GET_BLOCK, 3, 1, true);
    EXPECT_EQ(std::make_pair(Kept.m_Words, Kept.m_bResult), std::make_pair(std::vector<unsigned>{0x44}, false));
    EXPECT_EQ(AppWord(), std::vector<unsigned>{0x33});
    const rlzev::SOutcome Past = Run(rlzev::EOperation::GET_BLOCK, rMemory.m_udwWords - 96, 200, true);
    EXPECT_FALSE(Past.m_bResult);
    ASSERT_EQ(Past.m_Record.m_Reports.size(), 1u);
    EXPECT_EQ(Past.m_Record.m_Reports[0].m_strMessage, ", memory error, RAM frontiers have been hurt.");
    EXPECT_EQ(Run(rlzev::EOperation::APP_WORDS, rMemory.m_udwWords, 0, false).m_eStatus, rlzev::SOutcome::DONE);
    EXPECT_EQ(Run(rlzev::EOperation::APP_WORDS, rMemory.m_udwWords - 96, 200, false).m_eStatus, rlzev::SOutcome::REFUSED);
    EXPECT_EQ(Run(rlzev::EOperation::GET_BLOCK, 3, 1, false).m_Words, std::vector<unsigned>{0x44});
    EXPECT_EQ(AppWord(), std::vector<unsigned>{0x44}) << "without keeping, handed over";

    rlzev::SOperation Set;
    Set.m_eOperation = rlzev::EOperation::SET;
    Set.m_strRegister = "DIN_CNTRL0";
    Set.m_strSignal = "FIFOLEVEL";
    Set.m_Words = {256};
    const rlzev::SOutcome Refused = Host.Runtime.RunBatch({Set}, {})[0];
    EXPECT_EQ(Refused.m_eStatus, rlzev::SOutcome::REFUSED);
    EXPECT_NE(Refused.m_strError.find("256"), std::string::npos) << Refused.m_strError;
}

TEST(Runtime, AfterAHostFaultTheNextWriteGoesOutWhateverTheImageSays)
{
    SRun<CFailingBus> Host;
    CFailingBus& Bus = Host.Bus;
    rlzev::CDeviceRuntime& Runtime = Host.Runtime;
    const auto Writes = [&] { return Bus.m_Counters.m_uWrites; };
    const auto Run = [&](rlzev::SOperation a_Operation) {
        return Runtime.RunBatch({std::move(a_Operation)}, {})[0];
    };
    rlzev::SOperation Words;
    Words.m_eOperation = rlzev::EOperation::WRITE_WORDS;
    Words.m_strRegister = "DET_APD_SSRAM";
    Words.m_Words = {77, 78};
    Bus.m_iThrowOnWrite = 1;
    EXPECT_EQ(Run(Words).m_eStatus, rlzev::SOutcome::FAULT);
    auto Before = Writes();
    EXPECT_EQ(Run(Words).m_eStatus, rlzev::SOutcome::DONE);
    EXPECT_EQ(Writes(), Before + 1) << "the same words again go out: the hardware never got them";
    EXPECT_EQ(Bus.Peek(0x5000 + 1), 78u);
    // The memory stays distrusted until it is written whole: a block the image has is sent
    // once more, then an unlock writes it whole (the application's zeros) and the image is
    // the hardware's again.
    Before = Writes();
    Run(Words);
    EXPECT_EQ(Writes(), Before + 1);
    Runtime.Run([](CZEV& a_rDevice) { a_rDevice.DET_APD_SSRAM.UnlockAll(); });
    Before = Writes();
    Words.m_Words = {0, 0};
    Run(Words);
    EXPECT_EQ(Writes(), Before) << "trusted again after the whole memory went out";
    // An unlock that reached the board and failed after, the host throwing or an observer
    // when told of it: the library puts the memory back as it was (locked, the service's
    // words in its image) while the hardware holds the application's. The service's words
    // must go out again.
    CKeepingObserver Observer;
    Runtime.AddObserver(Observer);
    for (const bool bObserver : {false, true})
    {
        Runtime.Run([](CZEV& a_rDevice) { a_rDevice.DET_APD_SSRAM.UnlockAll(); a_rDevice.DET_APD_SSRAM.LockAll(); });
        Words.m_Words = {77, 78};
        Run(Words);
        Bus.m_iThrowOnWrite = bObserver ? 0 : 1;
        Bus.m_bTaken = true;
        Observer.m_strThrowOn = bObserver ? "bus: W 0x05000 16384" : "";
        const auto Faults = Runtime.Counts().m_uFaults;
        EXPECT_THROW(Runtime.Run([](CZEV& a_rDevice) { a_rDevice.DET_APD_SSRAM.UnlockAll(); }), std::runtime_error);
        EXPECT_EQ(Runtime.Counts().m_uFaults, Faults + (bObserver ? 0 : 1)) << "an observer's throw is no fault of the host's";
        Bus.m_bTaken = false;
        EXPECT_EQ(Bus.Peek(0x5000 + 1), 0u);
        EXPECT_EQ(Runtime.Run([](CZEV& a_rDevice) { return a_rDevice.DET_APD_SSRAM.GetLockState(); }), unsigned(LOCKED));
        Before = Writes();
        Run(Words);
        EXPECT_EQ(Writes(), Before + 1) << bObserver;
        EXPECT_EQ(Bus.Peek(0x5000 + 1), 78u);
    }
    const auto Faults = Runtime.Counts().m_uFaults;
    Observer.m_strThrowOn = "bus: R 0x05000";
    EXPECT_THROW(Runtime.Run([](CZEV& a_rDevice) { unsigned udwWord = 0; a_rDevice.DET_APD_SSRAM.Get(&udwWord, 0, 1, true); }),
                 std::runtime_error);
    EXPECT_EQ(Runtime.Counts().m_uFaults, Faults) << "nor when a read is told";
    EXPECT_EQ(Observer.m_Texts.back().find("-> fault"), std::string::npos) << "nor is it told as a read that failed";
    Runtime.RemoveObserver(Observer);
    // A read of no words at a memory's end names the address after it, which is no
    // register's: its fault changes nothing, so the memory sends no block it holds.
    Bus.m_iThrowOnRead = 1;
    EXPECT_THROW(Runtime.Run([](CZEV& a_rDevice) { unsigned udwNone = 0; a_rDevice.SWP_CODE_RAM.Get(&udwNone, 4096, 0, true); }),
                 std::runtime_error);
    Words.m_strRegister = "SWP_CODE_RAM";
    Words.m_Words = {0, 0};
    Before = Writes();
    Run(Words);
    EXPECT_EQ(Writes(), Before);

    // A typed set that faulted, then the same value only if changed.
    auto Set = [&](unsigned a_udwValue, CSignalBase::ESignalHwWrite a_eMode) {
        return Runtime.Run([&](CZEV& a_rDevice) { return a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(a_udwValue, a_eMode); });
    };
    Bus.m_iThrowOnWrite = 1;
    EXPECT_THROW(Set(5, CSignalBase::HW_WRITE_IMMEDIATE), std::runtime_error);
    Before = Writes();
    EXPECT_TRUE(Set(5, CSignalBase::HW_WRITE_IF_CHANGED));
    EXPECT_EQ(Writes(), Before + 1);
    EXPECT_EQ((Bus.Peek(0x100) >> 2) & 0xFF, 5u);
    EXPECT_FALSE(Set(5, CSignalBase::HW_WRITE_IF_CHANGED)) << "once written, the image is trusted again";
    // The board took the word and the host threw after. The image says 9 as the hardware
    // does, so only the mark sends the same 9 again, within the same call too; another
    // register stays trusted.
    Runtime.Run([](CZEV& a_rDevice) { a_rDevice.DIN_MS_DET_LOW.MS_DET_LOW.Set(4, CSignalBase::HW_WRITE_IMMEDIATE); });
    Bus.m_iThrowOnWrite = 1;
    Bus.m_bTaken = true;
    Before = Writes();
    EXPECT_TRUE(Runtime.Run([](CZEV& a_rDevice) {
        EXPECT_THROW(a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(9, CSignalBase::HW_WRITE_IMMEDIATE), std::runtime_error);
        return a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(9, CSignalBase::HW_WRITE_IF_CHANGED);
    }));
    Bus.m_bTaken = false;
    EXPECT_EQ(Writes(), Before + 2);
    EXPECT_EQ((Bus.Peek(0x100) >> 2) & 0xFF, 9u);
    EXPECT_FALSE(Runtime.Run([](CZEV& a_rDevice) { return a_rDevice.DIN_MS_DET_LOW.MS_DET_LOW.Set(4, CSignalBase::HW_WRITE_IF_CHANGED); }));
    EXPECT_EQ(Writes(), Before + 2);

    // A fault in the read-back path, which the library catches: the word read is made up,
    // and the register it was for is not named by the transfer that failed. A status poll
    // that throws, a host that gives up waiting by throwing, a wait that throws.
    // A read of the whole word takes it into the application's image too, so only the
    // mark, not a difference between the images, sends the next write.
    for (int iFault = 0; iFault < 3; ++iFault)
    {
        Bus.m_iThrowOnRead = iFault == 0 ? 2 : 0;
        Bus.m_udwReadyAfterPolls = iFault == 1 ? 2 : 1;
        Host.Utility.m_bThrowOnStop = iFault == 1;
        Bus.m_bThrowOnWait = iFault == 2;
        const auto Faults = Runtime.Counts().m_uFaults;
        const unsigned udwRead = Runtime.Run([](CZEV& a_rDevice) {
            a_rDevice.AUD_CNTRL1.GetNotTypedValue(0, 1);
            return a_rDevice.AUD_CNTRL1.MULT_GAIN.Get(false);
        });
        Bus.m_udwReadyAfterPolls = 1;
        Host.Utility.m_bThrowOnStop = false;
        EXPECT_EQ(Runtime.Counts().m_uFaults - Faults, iFault == 0 ? 1u : 0u) << "only a transfer's fault is counted";
        Before = Writes();
        EXPECT_TRUE(Runtime.Run([&](CZEV& a_rDevice) {
            return a_rDevice.AUD_CNTRL1.MULT_GAIN.Set(udwRead, CSignalBase::HW_WRITE_IF_CHANGED);
        })) << iFault;
        EXPECT_EQ(Writes(), Before + 1) << "the made-up word is not taken for the hardware's";
    }
}

// A bus that calls back into a device while a transfer of its own device runs.
struct CCallingBus : CSimBus
{
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        CSimBus::Write(a_udwAddress, a_udwpData, a_udwByteCount);
        if (m_Call)
            m_Call();
    }
    std::function<void()> m_Call;
};

TEST(Runtime, CallsAHostMustNotMakeFromInsideACallAreRefused)
{
    SRun<CCallingBus> Host, Other;
    CCallingBus& Bus = Host.Bus;
    rlzev::CDeviceRuntime& Runtime = Host.Runtime;
    auto Write = [&] { Runtime.Run([](CZEV& a_rDevice) { a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(1, CSignalBase::HW_WRITE_IMMEDIATE); }); };

    Bus.m_Call = [&] { Runtime.Run([](CZEV&) {}); };
    EXPECT_THROW(Write(), std::logic_error) << "its own device: it would wait for itself";
    Bus.m_Call = [&] { SRun<> Made; };
    EXPECT_THROW(Write(), std::logic_error) << "a device made: it would wait for this call";
    EXPECT_FALSE(rlzev::CDeviceRuntime::IsInsideCall());
    // Another device may be called; its reports go to it, and then to this one again.
    Bus.m_Call = [&] {
        EXPECT_TRUE(rlzev::CDeviceRuntime::IsInsideCall());
        ReportThroughTheHolder(Other.Runtime, "INNER", nullptr);
        Bus.m_Call = nullptr;
    };
    rlzev::SCallRecord Record;
    Runtime.Run(
        [](CZEV& a_rDevice) {
            a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(2, CSignalBase::HW_WRITE_IMMEDIATE);
            std::list<std::string> Values;
            std::string strError;
            a_rDevice.ServiceRead("OUTER", "", Values, strError, 0, 1);
        },
        &Record);
    EXPECT_EQ(Other.Utility.m_Messages, std::vector<std::string>{"Invalid register submitted: INNER"});
    ASSERT_EQ(Record.m_Reports.size(), 1u);
    EXPECT_EQ(Record.m_Reports[0].m_strMessage, "Invalid register submitted: OUTER");

    // An operation of the table inside a call of its own device only; a value read there
    // hands the hardware's field to the application unless told to keep the application's.
    rlzev::SOperation Value;
    Value.m_eOperation = rlzev::EOperation::VALUE;
    Value.m_strRegister = "DIN_CNTRL0";
    Value.m_strSignal = "FIFOLEVEL";
    EXPECT_THROW(Runtime.RunHeld(Value), std::logic_error);
    EXPECT_THROW(Other.Runtime.Run([&](CZEV&) { return Runtime.RunHeld(Value); }), std::logic_error);
    Bus.Poke(0x100, 7 << 2);
    for (const bool bKeep : {true, false})
    {
        const auto Outcome = Runtime.Run([&](CZEV& a_rDevice) {
            const rlzev::SOutcome Held = Runtime.RunHeld(Value, bKeep);
            return std::make_pair(Held, (a_rDevice.DIN_CNTRL0.GetAppImage()[0] >> 2) & 0xFF);
        });
        EXPECT_EQ(Outcome.first.m_eStatus, rlzev::SOutcome::DONE);
        EXPECT_EQ(Outcome.first.m_Texts, std::vector<std::string>{"7"});
        EXPECT_EQ(Outcome.second, bKeep ? 2u : 7u) << bKeep;
    }
    Bus.Poke(0x100, 9 << 2);  // untold, the hardware's field is handed over
    EXPECT_EQ(Runtime.Run([&](CZEV& a_rDevice) {
        Runtime.RunHeld(Value);
        return (a_rDevice.DIN_CNTRL0.GetAppImage()[0] >> 2) & 0xFF;
    }),
              9u);
    rlzev::SOperation Get;  // a typed get reads the hardware only when asked to
    Get.m_eOperation = rlzev::EOperation::GET;
    Get.m_strRegister = "DIN_CNTRL0";
    Get.m_strSignal = "FIFOLEVEL";
    const auto Reads = Bus.m_Counters.m_uReads;
    EXPECT_EQ(Runtime.Run([&](CZEV&) { return Runtime.RunHeld(Get); }).m_eStatus, rlzev::SOutcome::DONE);
    EXPECT_EQ(Bus.m_Counters.m_uReads, Reads);
}

namespace
{
// Runs a_Scenario in a process of its own under a watchdog: a deadlock fails the test in
// bounded time instead of hanging the suite. The scenario exits 0 when it ends as it must.
void InAProcessOfItsOwn(const std::function<int()>& a_Scenario)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::thread([] {
                std::this_thread::sleep_for(std::chrono::seconds(30));
                std::fputs("deadlocked\n", stderr);
                std::_Exit(3);
            }).detach();
            std::_Exit(a_Scenario());
        },
        testing::ExitedWithCode(0), "");
}

void SleepFor(int a_iMilliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(a_iMilliseconds));
}
} // namespace

TEST(Runtime, AHostCallingAnotherDeviceNeverDeadlocksWithAMakerAndThatDevicesCaller)
{
    // A is in a call of X whose host calls Y; B calls Y; C makes a device meanwhile. C waits
    // for A, B for C: A must still reach Y.
    InAProcessOfItsOwn([] {
        SRun<> HostX, HostY;
        rlzev::CDeviceRuntime &X = HostX.Runtime, &Y = HostY.Runtime;
        std::atomic<bool> bInside(false), bGo(false);
        std::thread A([&] {
            X.Run([&](CZEV&) {
                bInside = true;
                while (!bGo)
                    SleepFor(5);
                Y.Run([](CZEV& a_rDevice) { a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(3, CSignalBase::HW_WRITE_IMMEDIATE); });
            });
        });
        while (!bInside)
            SleepFor(5);
        std::thread C([] { SRun<> Made; });
        SleepFor(200);  // C waits for A to leave
        std::thread B([&] { Y.Run([](CZEV&) {}); });
        SleepFor(200);  // B waits for C
        bGo = true;
        A.join();
        B.join();
        C.join();
        if (HostY.Bus.Peek(0x100) != 3u << 2)
            return 1;
        // Likewise a device being destroyed while a call of another device reaches it.
        SHostObjects HostZ;
        std::unique_ptr<rlzev::CDeviceRuntime> pZ(new rlzev::CDeviceRuntime(HostZ.Bus, HostZ.Utility, HostZ.Status));
        rlzev::CDeviceRuntime* pCalled = pZ.get();
        bInside = bGo = false;
        std::thread A2([&] {
            Y.Run([&](CZEV&) {
                bInside = true;
                while (!bGo)
                    SleepFor(5);
                pCalled->Run([](CZEV& a_rDevice) { a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(4, CSignalBase::HW_WRITE_IMMEDIATE); });
            });
        });
        while (!bInside)
            SleepFor(5);
        std::thread D([&] { pZ.reset(); });
        SleepFor(200);  // D waits for A2
        bGo = true;
        A2.join();
        D.join();
        return HostZ.Bus.Peek(0x100) == 4u << 2 ? 0 : 1;
    });
}

TEST(Runtime, ACallBackIntoADeviceThroughAnotherDevicesHostIsRefused)
{
    // X's host calls Y, and Y's host calls X: X would wait for itself.
    InAProcessOfItsOwn([] {
        CCallingBus BusX, BusY;
        CSimStatusRegister Status;
        CKeepingUtility Utility;
        BusX.m_pUtility = BusY.m_pUtility = &Utility;
        rlzev::CDeviceRuntime X(BusX, Utility, Status), Y(BusY, Utility, Status);
        auto Write = [](CZEV& a_rDevice) { a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(1, CSignalBase::HW_WRITE_IMMEDIATE); };
        // Once each: the closure is gone once its bus forgets it, so it keeps nothing of its own.
        auto Once = [&](CCallingBus& a_rBus, rlzev::CDeviceRuntime& a_rOther) {
            a_rBus.m_Call = [&a_rBus, &a_rOther, Write] {
                rlzev::CDeviceRuntime& rOther = a_rOther;
                const auto fWrite = Write;
                a_rBus.m_Call = nullptr;
                rOther.Run(fWrite);
            };
        };
        Once(BusX, Y);
        Once(BusY, X);
        try
        {
            X.Run(Write);
        }
        catch (const std::logic_error&)
        {
            // Both devices are free again.
            X.Run(Write);
            Y.Run(Write);
            return rlzev::CDeviceRuntime::IsInsideCall() ? 1 : 0;
        }
        return 2;
    });
}

TEST(Runtime, EventsReachTheRecordsAndObserversThatAskedForThem)
{
    SRun<> Host;
    rlzev::CDeviceRuntime& Runtime = Host.Runtime;
    CKeepingObserver Observer;
    Runtime.AddObserver(Observer);
    rlzev::SCallRecord Plain, Traced;
    auto Write = [](CZEV& a_rDevice) { a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(3, CSignalBase::HW_WRITE_IMMEDIATE); };
    Runtime.Run(Write, &Plain);
    Runtime.Run(Write, &Traced, true);
    EXPECT_TRUE(Plain.m_Events.empty()) << "a record keeps events only when traced";
    ASSERT_EQ(Traced.m_Events.size(), 1u);
    EXPECT_EQ(Traced.m_Events[0].m_strText, "bus: W 0x00100 4 0x0000000C");
    EXPECT_EQ(Observer.m_Texts, std::vector<std::string>(2, "bus: W 0x00100 4 0x0000000C"));
    // A change-log line written outside any call is the observer's, not the last call's record.
    Runtime.EventLog() << std::string(5000, 'x') << "\nnext\n";
    EXPECT_EQ(Traced.m_Events.size(), 1u);
    ASSERT_EQ(Observer.m_Texts.size(), 4u);
    EXPECT_EQ(Observer.m_Texts[2], std::string(4096, 'x')) << "a runaway line is cut";
    EXPECT_EQ(Observer.m_Texts[3], "next") << "a line starts empty";
    {
        rlzev::SCallRecord Held;
        const rlzev::CDeviceRuntime::CHandle Handle = Runtime.Acquire(&Held);
        Write(*Handle);
        EXPECT_TRUE(Held.m_Events.empty()) << "a held device's record keeps no events";
    }
    // A logging operation's own default: on, unless told off (the rest: the conformance cases).
    rlzev::SOperation Logging;
    Logging.m_eOperation = rlzev::EOperation::LOGGING;
    Logging.m_strRegister = "DIN_CNTRL0";
    Logging.m_strSignal = "ALL";
    Runtime.RunBatch({Logging}, {});
    Runtime.Run([](CZEV& a_rDevice) { a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(4, CSignalBase::HW_WRITE_IMMEDIATE); });
    EXPECT_EQ(Observer.m_Texts.back(), "Register: DIN_CNTRL0 Signal: FIFOLEVEL Changed from value: 3 to value: 4");
    // An observer that cannot take a change-log line loses that line, not the change log.
    Observer.m_strThrowOn = "Register: DIN_CNTRL0";
    rlzev::SCallRecord Lost;
    Runtime.Run([](CZEV& a_rDevice) { a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(5, CSignalBase::HW_WRITE_IMMEDIATE); }, &Lost, true);
    Runtime.Run([](CZEV& a_rDevice) { a_rDevice.DIN_CNTRL0.FIFOLEVEL.Set(6, CSignalBase::HW_WRITE_IMMEDIATE); });
    EXPECT_TRUE(Observer.m_strThrowOn.empty());
    ASSERT_FALSE(Lost.m_Events.empty());
    EXPECT_EQ(Lost.m_Events.back().m_strText, "Register: DIN_CNTRL0 Signal: FIFOLEVEL Changed from value: 4 to value: 5")
        << "the call's own trace keeps it";
    EXPECT_EQ(Observer.m_Texts.back(), "Register: DIN_CNTRL0 Signal: FIFOLEVEL Changed from value: 5 to value: 6");
    EXPECT_EQ(std::count_if(Observer.m_Texts.begin(), Observer.m_Texts.end(),
                            [](const std::string& a_strText) { return a_strText.find("to value: 5") != std::string::npos; }),
              0);
    // Nor does one that cannot take a report keep it from the host.
    Observer.m_strThrowOn = "report: ";
    EXPECT_THROW(Runtime.Run([](CZEV& a_rDevice) { a_rDevice.PRI_SERVAL.SERVAL.Set(1, CSignalBase::HW_WRITE_IMMEDIATE); }),
                 std::runtime_error);
    EXPECT_EQ(Host.Utility.m_Messages, std::vector<std::string>{",No write access allowed!"});
    Runtime.RemoveObserver(Observer);
    const std::size_t uHeard = Observer.m_Texts.size();
    Runtime.Run(Write);
    EXPECT_EQ(Observer.m_Texts.size(), uHeard) << "removed, it hears nothing more";
}

// A host asking the library's holder whether to stop waiting gets its own device's answer
// inside a call, and "stop" outside any (nobody is waiting for it there).
TEST(Runtime, TheHoldersStopWaitingIsTheCallingDevicesOwn)
{
    SRun<> Host;
    auto Ask = [](CZEV&) { return CZEVUtilities::GetInstance().StopWaiting(); };
    EXPECT_FALSE(Host.Runtime.Run(Ask));
    Host.Utility.m_bStop = true;
    EXPECT_TRUE(Host.Runtime.Run(Ask));
    Host.Utility.m_bStop = false;
    EXPECT_TRUE(CZEVUtilities::GetInstance().StopWaiting());
    // The router forwards a refused direction the same way, and counts one with no call.
    rlzev::CReportRouter& rRouter = rlzev::CReportRouter::Instance();
    Host.Runtime.Run([&](CZEV&) { rRouter.ReportAccessDenied("f", 1, "g", "denied"); });
    EXPECT_EQ(Host.Utility.m_Messages, std::vector<std::string>{"denied"});
    const unsigned long long uUnrouted = rRouter.Unrouted();
    rRouter.ReportAccessDenied("f", 1, "g", "nobody's");
    EXPECT_EQ(rRouter.Unrouted(), uUnrouted + 1);
    EXPECT_EQ(Host.Utility.m_Messages.size(), 1u);
}

TEST(Runtime, TheRouterTakesTheHolderFromADeviceMadeBeforeAndComesBackAfterAny)
{
    SHostObjects Raw, Served;
    {
        // A device made on the library directly holds the library's holder first (an earlier
        // test's runtime may have left the router there).
        CZEVUtilities::GetInstance().ResetUtilityInterface();
        CZEV Outside(&Raw.Bus, &Raw.Utility, &Raw.Status);
        rlzev::CDeviceRuntime Runtime(Served.Bus, Served.Utility, Served.Status);
        ReportThroughTheHolder(Runtime, "MINE", nullptr);
        EXPECT_EQ(Served.Utility.m_Messages, std::vector<std::string>{"Invalid register submitted: MINE"});
        EXPECT_TRUE(Raw.Utility.m_Messages.empty());
    }
    // Once a device is dropped, the router is back at once, for whoever routes next.
    CKeepingUtility Routed;
    {
        SRun<> Dropped;
    }
    CUtility_Interface* pBefore = rlzev::ExchangeRoute(&Routed);
    CZEVUtilities::GetInstance().ReportError("file", 1, "function", "message");
    rlzev::ExchangeRoute(pBefore);
    EXPECT_EQ(Routed.m_Messages, std::vector<std::string>{"message"});
}

// With the first already in, a second thread's Enter is held out until the first leaves, and
// then let in. A second never let in is left waiting (the test has failed), not joined: no hang.
static void ExpectHeldOutUntilLeft(std::function<void()> a_Enter, std::function<void()> a_Leave,
                                   const std::function<void()>& a_LeaveFirst, const char* a_pcWhat)
{
    auto pIn = std::make_shared<std::atomic<bool>>(false);
    std::thread Second([pIn, a_Enter, a_Leave] {
        a_Enter();
        *pIn = true;
        a_Leave();
    });
    SleepFor(100);  // ample time to pass, if it wrongly could
    EXPECT_FALSE(pIn->load()) << a_pcWhat;
    a_LeaveFirst();
    for (int i = 0; i < 500 && !pIn->load(); ++i)
        SleepFor(10);
    EXPECT_TRUE(pIn->load()) << "not let in when the first left: " << a_pcWhat;
    if (pIn->load())
        Second.join();
    else
        Second.detach();
}

TEST(Runtime, MakingADeviceAndCallingOneWaitForEachOther)
{
    rlzev::CLibraryGate* pGate = &rlzev::CLibraryGate::Instance();
    auto EnterShared = [pGate] { pGate->EnterShared(); };
    auto LeaveShared = [pGate] { pGate->LeaveShared(); };
    auto EnterAlone = [pGate] { pGate->EnterAlone(); };
    auto LeaveAlone = [pGate] { pGate->LeaveAlone(); };
    EnterShared();
    ExpectHeldOutUntilLeft(EnterAlone, LeaveAlone, LeaveShared, "a device was made during a call");
    EnterAlone();
    ExpectHeldOutUntilLeft(EnterShared, LeaveShared, LeaveAlone, "a call ran while a device was made");
    EnterAlone();
    ExpectHeldOutUntilLeft(EnterAlone, LeaveAlone, LeaveAlone, "two devices were made at once");
}

TEST(Runtime, AProcessThatLostNoReportCountsNone)
{
    // In a process of its own: earlier tests of this program lose reports on purpose.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(rlzev::CReportRouter::Instance().Unrouted() == 0 ? 0 : 1), testing::ExitedWithCode(0), "");
}

// The stream's transfers: words read back one after the other at consecutive addresses are one
// event; a lone word read back, anything that breaks the pattern, and every other transfer are
// told as they came, in the device's order.
TEST(Runtime, WordsReadBackInARowAreOneEventAndEverythingElseIsToldAsItCame)
{
    const unsigned kStatus = 0x18, kData = 0x1E, kReady = 0x10000;
    std::vector<rlzev::SDeviceEvent> Told;
    rlzev::CTransferRuns Runs(kStatus, kData, [&](const rlzev::SDeviceEvent& a_rEvent) { Told.push_back(a_rEvent); });
    auto R = [&](unsigned a_udwAddress, unsigned a_udwValue) { Runs.Transfer('R', a_udwAddress, &a_udwValue, 4); };
    auto Word = [&](unsigned a_udwAddress, unsigned a_udwValue, unsigned a_udwPolls, bool a_bReady = true) {
        const unsigned udwMask = kReady;
        Runs.Transfer('W', kStatus, &udwMask, 4);
        R(a_udwAddress, 0);
        for (unsigned i = 1; i <= a_udwPolls; ++i)
        {
            Runs.Wait(8);
            R(kStatus, a_bReady && i == a_udwPolls ? kReady : 0);
        }
        Runs.Wait(50);
        if (a_bReady)
            R(kData, a_udwValue);
    };
    auto Texts = [&] {
        std::vector<std::string> Texts;
        for (const rlzev::SDeviceEvent& rEvent : Told)
            Texts.push_back(rEvent.m_strText);
        Told.clear();
        return Texts;
    };
    const std::vector<std::string> kLone = {"bus: W 0x00018 4 0x00010000", "bus: R 0x10008 4 -> 0x00000000", "bus: wait 8",
                                            "bus: R 0x00018 4 -> 0x00010000", "bus: wait 50", "bus: R 0x0001E 4 -> 0x00000099"};

    // Three words in a row, one of them polled twice; nothing is told before the run ends.
    Word(0x10004, 0x11, 1);
    Word(0x10005, 0x12, 2);
    Word(0x10006, 0x13, 1);
    EXPECT_TRUE(Told.empty());
    Runs.Flush();
    ASSERT_EQ(Told.size(), 1u);
    const rlzev::SDeviceEvent::SRun& rRun = Told[0].m_Run;
    EXPECT_EQ(std::vector<unsigned long long>({rRun.m_uTransfers, rRun.m_udwAddress, rRun.m_udwWords, rRun.m_udwFirst, rRun.m_udwLast}),
              std::vector<unsigned long long>({20, 0x10004, 3, 0x11, 0x13}));
    EXPECT_EQ(Texts(), std::vector<std::string>{"bus: R 0x10004 3 words -> 0x00000011 ... 0x00000013 (read back, 20 transfers)"});

    // A lone word, and a word at a gap (each lone), step by step, before the transfer after them.
    Word(0x10008, 0x99, 1);
    Word(0x1000A, 0x99, 1);
    const unsigned udwDirect = 7;
    Runs.Transfer('W', 0x100, &udwDirect, 2);
    std::vector<std::string> Expected = kLone;
    for (const std::string& strStep : kLone)
        Expected.push_back(strStep == "bus: R 0x10008 4 -> 0x00000000" ? "bus: R 0x1000A 4 -> 0x00000000" : strStep);
    Expected.push_back("bus: W 0x00100 2 0x00000007");
    EXPECT_EQ(Texts(), Expected);
    EXPECT_EQ(Told.size(), 0u);

    // A word never ready breaks the run: the run so far, then the broken word's steps as they
    // came, then the next word (lone again).
    Word(0x10000, 1, 1);
    Word(0x10001, 2, 1);
    Word(0x10002, 0, 2, false);
    Word(0x10008, 0x99, 1);
    Runs.Wait(3);  // not a read-back's: ends it
    const std::vector<std::string> Broken = Texts();
    ASSERT_EQ(Broken.size(), 1u + 7 + kLone.size() + 1);
    EXPECT_EQ(Broken[0], "bus: R 0x10000 2 words -> 0x00000001 ... 0x00000002 (read back, 12 transfers)");
    EXPECT_EQ(std::vector<std::string>(Broken.begin() + 1, Broken.begin() + 8),
              std::vector<std::string>({"bus: W 0x00018 4 0x00010000", "bus: R 0x10002 4 -> 0x00000000", "bus: wait 8",
                                        "bus: R 0x00018 4 -> 0x00000000", "bus: wait 8", "bus: R 0x00018 4 -> 0x00000000",
                                        "bus: wait 50"}));
    EXPECT_EQ(std::vector<std::string>(Broken.begin() + 8, Broken.end() - 1), kLone);
    EXPECT_EQ(Broken.back(), "bus: wait 3");
    // What only looks like a read-back is none (a write where it reads, a read where it
    // writes, a fetch from elsewhere and the data word read after it): with the word after
    // it, no run, every step told as it came.
    struct SLike
    {
        char m_cReset, m_cStart, m_cFetch;
        unsigned m_udwFetch;
        bool m_bDataAfter;
    };
    for (const SLike& Like : {SLike{'W', 'W', 'R', kData, false}, SLike{'W', 'R', 'W', kData, false},
                              SLike{'W', 'R', 'R', 0x100, true}, SLike{'R', 'R', 'R', kData, false}})
    {
        const unsigned udwMask = kReady, udwWord = 0x10003;
        Runs.Transfer(Like.m_cReset, kStatus, &udwMask, 4);
        Runs.Transfer(Like.m_cStart, 0x10003, &udwWord, 4);
        Runs.Wait(8);
        R(kStatus, kReady);
        Runs.Wait(50);
        Runs.Transfer(Like.m_cFetch, Like.m_udwFetch, &udwWord, 4);
        if (Like.m_bDataAfter)
            R(kData, 7);
        Word(0x10004, 0x11, 1);
        Runs.Flush();
        EXPECT_EQ(Texts().size(), Like.m_bDataAfter ? 13u : 12u) << Like.m_cReset << Like.m_cStart << Like.m_cFetch;
    }
    // A read-back let go half way (given up, or forgotten) leaves nothing behind: the steps
    // after it are no rest of one (else they would make a word at the status's address).
    for (const bool bForget : {false, true})
    {
        const unsigned udwMask = kReady, udwWord = 0;
        Runs.Transfer('W', kStatus, &udwMask, 4);
        R(0x10002, 0);
        if (bForget)
            Runs.Forget();
        else
            Runs.Transfer('W', 0x100, &udwWord, 4);
        Runs.Wait(8);
        R(kStatus, kReady);
        Runs.Wait(50);
        R(kData, 5);
        Word(kStatus + 1, 0x11, 1);
        Runs.Flush();
        EXPECT_EQ(Texts().size(), bForget ? 10u : 13u) << bForget;
    }
    // What a device without listeners lets go: a read-back begun, not nothing.
    const unsigned udwReset = kReady;
    EXPECT_FALSE(Runs.Holds());
    Runs.Transfer('W', kStatus, &udwReset, 4);
    EXPECT_TRUE(Runs.Holds());
    Runs.Forget();
    EXPECT_FALSE(Runs.Holds());

    // What nobody heard is let go: words after it are a run of their own. An observer that
    // throws loses what it was told then, and nothing of it is told again.
    Word(0x10000, 1, 1);
    Word(0x10001, 2, 1);
    Runs.Forget();
    Word(0x10005, 5, 1);
    Word(0x10006, 6, 1);
    Runs.Flush();
    EXPECT_EQ(Texts(), std::vector<std::string>{"bus: R 0x10005 2 words -> 0x00000005 ... 0x00000006 (read back, 12 transfers)"});
    bool bThrow = true;
    rlzev::CTransferRuns Failing(kStatus, kData, [&](const rlzev::SDeviceEvent& a_rEvent) {
        if (std::exchange(bThrow, false))
            throw std::runtime_error("full");
        Told.push_back(a_rEvent);
    });
    const unsigned udwMask = kReady;
    Failing.Transfer('W', kStatus, &udwMask, 4);
    EXPECT_THROW(Failing.Flush(), std::runtime_error);
    for (unsigned i = 0; i < 2; ++i)
    {
        Failing.Transfer('W', kStatus, &udwMask, 4);
        const unsigned audwSteps[] = {0, kReady, 0x30 + i};
        Failing.Transfer('R', 0x10300 + i, &audwSteps[0], 4);
        Failing.Wait(8);
        Failing.Transfer('R', kStatus, &audwSteps[1], 4);
        Failing.Wait(50);
        Failing.Transfer('R', kData, &audwSteps[2], 4);
    }
    Failing.Flush();
    EXPECT_EQ(Texts(), std::vector<std::string>{"bus: R 0x10300 2 words -> 0x00000030 ... 0x00000031 (read back, 12 transfers)"});
}

// Through the runtime: an observer hears the run before a report that follows it, or as the
// call ends, and the call's own trace keeps every transfer.
TEST(Runtime, AnObserverHearsAMemoryReadBackAsOneEventAndTheTraceEveryTransfer)
{
    SRun<> Host;
    CKeepingObserver Observer;
    Host.Runtime.AddObserver(Observer);
    rlzev::SCallRecord Traced;
    auto Read = [](CZEV& a_rDevice) {
        std::vector<unsigned> Words(49152);
        a_rDevice.SWP_DATA_RAM.Get(Words.data(), 0, 49152, true);
    };
    Host.Runtime.Run(Read, &Traced, true);
    Host.Runtime.Run([&](CZEV& a_rDevice) {
        Read(a_rDevice);
        a_rDevice.PRI_SERVAL.SERVAL.Set(1, CSignalBase::HW_WRITE_IMMEDIATE);  // a refused direction
    });
    Host.Runtime.RemoveObserver(Observer);
    ASSERT_EQ(Observer.m_Texts.size(), 3u);
    for (unsigned i : {0u, 1u})
        EXPECT_EQ(Observer.m_Texts[i].rfind("bus: R 0x10000 49152 words -> ", 0), 0u) << Observer.m_Texts[i];
    EXPECT_EQ(Observer.m_Texts[2].rfind("report: ", 0), 0u) << Observer.m_Texts[2];
    EXPECT_EQ(Traced.m_Events.size(), 6u * 49152);
}

// An observer that stops listening in the middle of a read-back is not told the words it heard
// before as part of a later run, whichever step it missed: once it listens again, the run
// starts afresh. Every transfer is counted, heard or not.
TEST(Runtime, ARunPartlyUnheardIsLetGo)
{
    struct CSteppingBus : CSimBus
    {
        void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
        {
            CSimBus::Write(a_udwAddress, a_udwpData, a_udwByteCount);
            m_OnStep(++m_uSteps);
        }
        void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
        {
            CSimBus::Read(a_udwAddress, a_udwpData, a_udwByteCount);
            m_OnStep(++m_uSteps);
        }
        void Wait(unsigned a_udwDuration) override
        {
            CSimBus::Wait(a_udwDuration);
            m_OnStep(++m_uSteps);
        }
        std::function<void(unsigned)> m_OnStep = [](unsigned) {};
        unsigned m_uSteps = 0;
    };
    struct CSwitchedObserver : CKeepingObserver
    {
        bool IsListening() const override { return m_bListening; }
        bool m_bListening = true;
    };
    // A word read back is six steps: a status write, the start (a read), a wait, the poll, a
    // wait, the fetch. Deaf from one step of word 1 to the one given.
    auto Heard = [](unsigned a_uDeaf, unsigned a_uListening) {
        SRun<CSteppingBus> Host;
        CSwitchedObserver Observer;
        Host.Runtime.AddObserver(Observer);
        Host.Bus.m_OnStep = [&](unsigned a_uStep) {
            if (a_uStep == a_uDeaf || a_uStep == a_uListening)
                Observer.m_bListening = a_uStep == a_uListening;
        };
        Host.Runtime.Run([](CZEV& a_rDevice) {
            std::vector<unsigned> Words(10);
            a_rDevice.SWP_DATA_RAM.Get(Words.data(), 0, 10, true);
        });
        Host.Runtime.RemoveObserver(Observer);
        EXPECT_EQ(Host.Runtime.Counts().m_uTransfers, Host.Bus.m_Counters.m_uReads + Host.Bus.m_Counters.m_uWrites);
        EXPECT_EQ(Host.Bus.m_Counters.m_uReads, 30u);
        return Observer.m_Texts;
    };
    const std::vector<std::string> Texts = Heard(7, 19);
    ASSERT_EQ(Texts.size(), 1u);
    EXPECT_EQ(Texts[0].rfind("bus: R 0x10003 7 words -> ", 0), 0u) << Texts[0];
    for (unsigned uStep : {7u, 8u, 9u})  // the status write, the start, the wait missed
        for (const std::string& strText : Heard(uStep, uStep + 1))
            EXPECT_EQ(strText.find("0x10000 "), std::string::npos) << "step " << uStep << ": " << strText;
}

// More than one request takes is refused as that before any range (here past the memory's end
// too), naming what carried it: the argument a door turns into its own error.
TEST(Runtime, AnOperationCarryingTooMuchIsRefusedBeforeItsRange)
{
    SRun<> R;
    rlzev::SOperation Write;
    Write.m_eOperation = rlzev::EOperation::WRITE;
    Write.m_strRegister = "ENT_H1";
    Write.m_udwStart = 8;
    Write.m_Values.assign(rlzev::SLimits::kMaxValues + 1, "1/d");
    rlzev::SOperation Block = Write;
    Block.m_eOperation = rlzev::EOperation::SET_BLOCK;
    Block.m_Values.clear();
    Block.m_Words.assign(rlzev::SLimits::kMaxWords + 1, 1u);
    for (auto [Operation, strText, eArgument] : {std::make_tuple(Write, rlzev::TooManyValuesText(), rlzev::EArgument::VALUES),
                                                 std::make_tuple(Block, rlzev::TooManyWordsText(), rlzev::EArgument::WORDS)})
    {
        rlzev::SBudget Budget;
        rlzev::EArgument eRefused = rlzev::EArgument::REGISTER;
        EXPECT_EQ(rlzev::CheckOperation(R.Runtime.Catalogue(), Operation, true, Budget, &eRefused), strText);
        EXPECT_EQ(eRefused, eArgument) << strText;
    }
}

// What every door shows of a register comes from here: the directions from the strategy of
// each kind, the defaults and the bits no signal covers from the register's own layout.
TEST(Runtime, TheCatalogueIsTheDeviceAsTabled)
{
    SRun<> R;
    const rlzev::CCatalogue& rCatalogue = R.Runtime.Catalogue();
    for (const zevtable::SRow& Row : zevtable::kTable)
    {
        SCOPED_TRACE(Row.m_pcName);
        const rlzev::SRegisterEntry* pEntry = rCatalogue.Find(Row.m_pcName);
        ASSERT_NE(pEntry, nullptr);
        EXPECT_EQ(pEntry->m_udwAddress, Row.m_udwAddress);
        EXPECT_EQ(pEntry->m_udwWidth, Row.m_udwWidth);
        EXPECT_EQ(pEntry->m_udwWords, Row.m_udwWords ? Row.m_udwWords : 1u);
        EXPECT_EQ(pEntry->IsMemory(), Row.m_udwWords != 0);
        EXPECT_EQ(pEntry->m_udwDefault, Row.m_udwWords ? 0u : Row.m_udwDefault);
        EXPECT_EQ(pEntry->m_bReadable, Row.m_cAccess != 'W');
        EXPECT_EQ(pEntry->m_bWritable, Row.m_cAccess != 'R');
        EXPECT_EQ(pEntry->m_bReadBack, Row.m_cAccess == 'S');
        if (Row.m_udwWords)  // a memory has words, no bits of a register's own
        {
            EXPECT_EQ(std::make_tuple(pEntry->m_bStatus, pEntry->m_udwUnused | pEntry->m_udwHidden | pEntry->m_udwForcedOnes),
                      std::make_tuple(false, 0u));
        }
    }
    struct SBits
    {
        const char* m_pcName;
        unsigned m_udwUnused, m_udwHidden, m_udwForcedOnes;
        bool m_bStatus;
    };
    // One of each kind: read back, write-only, read-only, a status register, forced bits.
    for (const SBits& Bits : {SBits{"AUD_CNTRL0", 0x00F00000, 0, 0, false}, SBits{"DIN_STROBE", 0xFFFC, 0, 0, false},
                              SBits{"SR0_A_LASTADR", 0xC0000000, 0, 0, false},
                              SBits{"PRI_STATUSREG1", 0x7FFE0000, 0x80010000, 0, true},
                              SBits{"PRI_PRESTATREG_MASK1", 0xFFFE0000, 0x10000, 0x10000, false}})
    {
        SCOPED_TRACE(Bits.m_pcName);
        ASSERT_NE(rCatalogue.Find(Bits.m_pcName), nullptr);
        const rlzev::SRegisterEntry& rEntry = *rCatalogue.Find(Bits.m_pcName);
        EXPECT_EQ(rEntry.m_udwUnused, Bits.m_udwUnused);
        EXPECT_EQ(rEntry.m_udwHidden, Bits.m_udwHidden);
        EXPECT_EQ(rEntry.m_udwForcedOnes, Bits.m_udwForcedOnes);
        EXPECT_EQ(rEntry.m_bStatus, Bits.m_bStatus);
    }
    EXPECT_EQ(rCatalogue.Find("PRI_PRESTATREG_MASK1")->m_udwDefault, 0x1FFFFu) << "its forced bit in the default too";
    EXPECT_EQ(rCatalogue.Registers().size(), 441u);
    EXPECT_EQ(rCatalogue.SignalCount(), 2316u) << "what a door sizes its tables of signals by";
}

