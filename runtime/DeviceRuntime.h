// One ZEV made safe to share: the device is made here on the host's objects and reached
// only through Run, Acquire and RunBatch, which serialise every call on it, route its
// reports to this device's own utility (and to the caller), and tell an observer of every
// transfer, report and change-log line. The library below stays single-threaded.
#pragma once

#include "Catalogue.h"
#include "HostInterfaces.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CZEV;
class CHWDeviceBase;

namespace rlzev
{
// The device's own constructor and destructor, and its base: one unit includes the device.
CZEV* MakeDevice(CHWAccess& a_rBus, CUtility_Interface& a_rUtility, CIStatusRegister& a_rStatus);
void DropDevice(CZEV* a_pDevice);
CHWDeviceBase& BaseOf(CZEV& a_rDevice);

struct SReport
{
    std::string m_strFile;
    int m_iLine = 0;
    std::string m_strFunction;
    std::string m_strMessage;
    bool m_bAccessDenied = false;  // ReportAccessDenied: a refused direction
};

// One thing the device did.
struct SDeviceEvent
{
    enum EKind
    {
        TRANSFER,  // m_strText: "bus: W 0x00E00 3 0x00000003", as the simulator traces it
        REPORT,    // m_Report
        LOG        // m_strText: one change-log line without its line end
    };
    EKind m_eKind = TRANSFER;
    std::string m_strText;
    SReport m_Report;
    // A TRANSFER that tells words read one after the other through the read-back path:
    // what its text says, as numbers.
    struct SRun
    {
        unsigned long long m_uTransfers = 0;  // 0: one transfer, told by the text alone
        unsigned m_udwAddress = 0;
        unsigned m_udwWords = 0;
        unsigned m_udwFirst = 0;  // the first word read and the last
        unsigned m_udwLast = 0;
    } m_Run;
};

// What the device has done since it was made, for monitoring: read without a call, from any
// thread, while calls go on.
struct SRuntimeCounts
{
    unsigned long long m_uTransfers = 0;  // bus reads and writes the host was asked for
    unsigned long long m_uReports = 0;    // errors and refused directions reported
    unsigned long long m_uFaults = 0;     // bus transfers the host did not finish (it threw)
    unsigned long long m_uCalls = 0;      // calls that held the device (Run, Acquire, batches)
};

// What one call did, kept for its caller: its reports always, all its events when traced.
struct SCallRecord
{
    std::vector<SReport> m_Reports;
    std::vector<SDeviceEvent> m_Events;
    unsigned m_uBusFaults = 0;  // transfers the host did not finish, also those the library caught
};

// Sees every event of the device, on the thread of the call that made it and while that
// call holds the device. It must not call the device. Should it throw (out of room, say),
// the call fails as if the host had, and the register the event told of is no longer
// trusted; a change-log line it cannot take is lost, the lines after it are not.
class CDeviceObserver
{
public:
    virtual ~CDeviceObserver() = default;
    // Asked before an event is built, so that nobody listening costs nothing.
    virtual bool IsListening() const = 0;
    virtual void OnEvent(const SDeviceEvent& a_rEvent) = 0;
};

// The operations a batch carries. Names and value texts are the library's.
enum class EOperation
{
    READ,         // ServiceRead: a signal, a whole register, or memory words as texts
    VALUE,        // GetValueByString
    WRITE,        // ServiceWrite
    LOCK,         // Lock
    UNLOCK,       // Unlock
    LOGGING,      // Logging, of names the device has, to the event stream
    DEFAULTS,     // SetToDefault
    SNAPSHOT,     // SnapShot
    WORDS,        // the hardware's words as numbers, read now: a memory's block moves alone,
                  // and the application's words and every lock state stay
    WRITE_WORDS,  // words from m_udwStart on through ServiceWrite: a memory's block alone
    STATE,        // lock states and the hardware image as last read or written; no transfer
    // The application's typed access, as a host's own code makes it:
    GET,          // a signal's typed Get(m_bReadHw)
    SET,          // a signal's typed Set(m_Words[0], m_udwMode)
    GET_BLOCK,    // a memory's typed Get of m_udwCount words from m_udwStart (m_bReadHw)
    SET_BLOCK,    // a memory's typed Set of m_Words from m_udwStart
    APP_WORDS,    // the application's words as they are: no transfer
    REGISTER_DEFAULTS  // one register's own SetToDefault
};

struct SOperation
{
    EOperation m_eOperation = EOperation::READ;
    std::string m_strRegister;
    std::string m_strSignal;            // empty: the whole register
    std::vector<std::string> m_Values;  // WRITE
    std::vector<unsigned> m_Words;      // WRITE_WORDS, SET (one), SET_BLOCK
    unsigned m_udwStart = 0;
    unsigned m_udwCount = 1;            // READ, WORDS and GET_BLOCK of a memory
    bool m_bEnable = true;              // LOGGING
    bool m_bReadHw = false;             // GET, GET_BLOCK
    unsigned m_udwMode = 0;             // SET: the write mode (0 immediate, 1 deferred, 2 if changed)
};

struct SOutcome
{
    enum EStatus
    {
        DONE,     // the library did it (reports, if any, are in the record)
        REFUSED,  // the library, or a name check the library leaves to its host, said no
        FAULT,    // a host object threw; the batch stopped here
        SKIPPED   // not run: an earlier operation faulted
    };
    EStatus m_eStatus = SKIPPED;
    std::string m_strError;                // the library's error text, or the fault's
    std::vector<std::string> m_Texts;      // READ, VALUE; STATE: the signals' names
    std::vector<unsigned> m_Words;         // WORDS, GET (one), GET_BLOCK; STATE: the hardware image
    bool m_bResult = false;                // SET, SET_BLOCK, GET_BLOCK: what the library answered
    std::vector<unsigned> m_LockStates;    // STATE: the register's own, then each signal's
    std::string m_strSnapshot;             // SNAPSHOT
    SCallRecord m_Record;
};

struct SBatchOptions
{
    bool m_bTrace = false;            // keep every event of each operation in its record
    bool m_bKeepApplication = false;  // reads leave the application's words alone too
                                      // (a whole register's, VALUE's, SNAPSHOT's)
    // Called with the outcomes while the batch still holds the device: what it writes
    // (an audit line) is in the device's order.
    std::function<void(const std::vector<SOperation>&, const std::vector<SOutcome>&)> m_OnDone;
};

class CDeviceRuntime
{
    // One call's hold on the device: its lock, the library's gate, the route of its reports.
    class CCall
    {
    public:
        CCall(CDeviceRuntime& a_rRuntime, SCallRecord* a_pRecord, bool a_bTrace);
        ~CCall();
        CCall(const CCall&) = delete;
        CCall& operator=(const CCall&) = delete;

    private:
        friend class CDeviceRuntime;
        CDeviceRuntime& m_rRuntime;
        CCall* m_pOuter = nullptr;  // the call this one is made from (a host calling another device)
        CUtility_Interface* m_pOuterRoute = nullptr;
        std::unique_lock<std::mutex> m_Lock;
    };

public:
    // The host's objects, which must outlive the runtime. No transfer happens here; set the
    // device to its defaults with a call.
    CDeviceRuntime(CHWAccess& a_rBus, CUtility_Interface& a_rUtility, CIStatusRegister& a_rStatus);
    ~CDeviceRuntime();
    CDeviceRuntime(const CDeviceRuntime&) = delete;
    CDeviceRuntime& operator=(const CDeviceRuntime&) = delete;

    // Runs a_Call(device) while no other call reaches this device; its reports go to the
    // host's utility and, with a_pRecord, into the record (every event too when a_bTrace).
    // A host exception passes through, with the record holding what came before it.
    // Calling a device from inside its own call, directly or through other devices' hosts,
    // throws std::logic_error.
    template <class TCall>
    auto Run(TCall&& a_Call, SCallRecord* a_pRecord = nullptr, bool a_bTrace = false)
        -> decltype(a_Call(std::declval<CZEV&>()))
    {
        CCall Call(*this, a_pRecord, a_bTrace);
        return a_Call(*m_pDevice);
    }

    // The device held for a series of calls, as Run holds it for one.
    class CHandle
    {
    public:
        CZEV& operator*() const { return m_rDevice; }
        CZEV* operator->() const { return &m_rDevice; }

    private:
        friend class CDeviceRuntime;
        CHandle(CDeviceRuntime& a_rRuntime, SCallRecord* a_pRecord)
            : m_Call(a_rRuntime, a_pRecord, false), m_rDevice(*a_rRuntime.m_pDevice)
        {
        }
        CCall m_Call;
        CZEV& m_rDevice;
    };
    CHandle Acquire(SCallRecord* a_pRecord = nullptr) { return CHandle(*this, a_pRecord); }

    // The operations in order, in one call; each outcome keeps its own reports. A host
    // exception stops the batch at its operation (FAULT); what came before stays done.
    std::vector<SOutcome> RunBatch(const std::vector<SOperation>& a_rOperations, const SBatchOptions& a_rOptions);

    // One operation of the table, on a thread already inside a call of this device (Run,
    // Acquire): its handler's work and answer, its reports in that call's record. A host
    // exception passes through, as in Run. Elsewhere it throws std::logic_error.
    SOutcome RunHeld(const SOperation& a_rOperation, bool a_bKeepApplication = false);

    // Every event from now on goes to a_rObserver too, until it is removed.
    void AddObserver(CDeviceObserver& a_rObserver);
    void RemoveObserver(CDeviceObserver& a_rObserver);
    // Change-log lines written here become LOG events (the target of the LOGGING operation).
    std::ostream& EventLog();

    SRuntimeCounts Counts() const;

    // What the device is made of; made with the device, never changed: read it without a call.
    const CCatalogue& Catalogue() const { return *m_pCatalogue; }

    // True on a thread inside a device call: a device must not be made or destroyed there
    // (it would wait for its own call to end).
    static bool IsInsideCall();

private:
    struct SHooks;
    static CCall*& CurrentCall();  // the innermost call on this thread
    void RunOne(const SOperation& a_rOperation, const SBatchOptions& a_rOptions, SOutcome& a_rOutcome);

    std::mutex m_Mutex;
    std::unique_ptr<SHooks> m_pHooks;
    CZEV* m_pDevice = nullptr;
    std::unique_ptr<CCatalogue> m_pCatalogue;
};
} // namespace rlzev
