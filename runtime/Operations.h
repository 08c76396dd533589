// Every operation a door can ask of a device, once: its name, its arguments with their
// limits, whether it changes the device, what it counts against a request's words, and what
// its answer holds. The service's requests, Python's and C's calls by name, the fuzzers and
// zevctl are driven by this table; the runtime runs each row's handler (RunBatch).
#pragma once

#include "DeviceRuntime.h"

#include <cstddef>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <vector>

class CHWDeviceBase;
class CRegisterBase;
class CParallelRead_ParallelWrite;
class CSequentialRead_ParallelWrite;
template <class TStrategy>
class CRamRegister;

namespace rlzev
{
class CCatalogue;
struct SRegisterEntry;

// A register's objects, for the handlers: its base, its typed block access when it is a
// memory, and its catalogue entry.
struct SRegisterObjects
{
    CRegisterBase* m_pRegister = nullptr;
    CRamRegister<CParallelRead_ParallelWrite>* m_pParallelRam = nullptr;
    CRamRegister<CSequentialRead_ParallelWrite>* m_pSequentialRam = nullptr;
    const SRegisterEntry* m_pEntry = nullptr;
};

// What a handler works on, while its call holds the device.
struct SRunContext
{
    CHWDeviceBase& m_rDevice;
    const CCatalogue& m_rCatalogue;
    const SRegisterObjects* m_pObjects;  // the operation's register, or null: none of that name
    std::ostream& m_rEventLog;           // change-log lines written here become LOG events
    bool m_bKeepApplication;             // reads leave the application's words alone
};
using FHandler = void (*)(const SRunContext&, const SOperation&, SOutcome&);

enum class EArgument
{
    REGISTER,  // a register's name (every operation but DEFAULTS)
    SIGNAL,    // a signal's name; empty or absent: the whole register, where the row allows it
    START,     // the first word
    COUNT,     // words from START on; absent: to the end of the register
    VALUES,    // value texts
    WORDS,     // words as numbers
    VALUE,     // one number
    MODE,      // a typed Set's write mode: 0 immediate, 1 deferred, 2 if changed
    ENABLE,    // a flag, true unless given
    READ_HW    // a flag, false unless given
};

struct SArgumentSpec
{
    EArgument m_eArgument;
    const char* m_pcName;  // as requests and keyword arguments spell it
    bool m_bRequired;
};

// What an answer holds besides its reports.
enum class EAnswer
{
    NONE,
    TEXTS,         // "values": texts
    SERVICE_TEXTS, // "values": texts, also when refused (what the library read before it refused)
    WORDS,         // "words": numbers
    VALUE,         // "value": one number
    RESULT,        // "result": what the library answered
    WORDS_RESULT,  // "words" and "result"
    STATE,         // lock states and the hardware word
    SNAPSHOT       // "snapshot": a script
};

struct SOperationRow
{
    const char* m_pcName;
    EOperation m_eOperation;
    std::vector<SArgumentSpec> m_Arguments;
    bool m_bChanging;     // changes the device or its locks: audited, refused on a read-only server
    EAnswer m_eAnswer;
    FHandler m_pRun;
    const char* m_pcDoes; // one line for help texts
};

// Limits every door applies before an operation reaches the device.
struct SLimits
{
    static constexpr std::size_t kMaxName = 64;
    static constexpr std::size_t kMaxValueText = 64;
    static constexpr std::size_t kMaxValues = 65536;      // value texts in one request
    static constexpr std::size_t kMaxWords = 65536;       // words read or written in one request
    static constexpr std::size_t kMaxOperations = 16384;  // operations in one request
};

const std::vector<SOperationRow>& OperationTable();
const SOperationRow* FindOperation(const std::string& a_strName);
const SOperationRow& RowOf(EOperation a_eOperation);
bool Takes(const SOperationRow& a_rRow, EArgument a_eArgument);

// Whether running it may change the device, its locks or the application's words: a typed
// Get with a read of the hardware hands the application a new word.
bool Changes(const SOperation& a_rOperation);

// Letters, digits and '_', 1 to kMaxName characters.
bool IsName(const std::string& a_strName);
// "ALL" or "all": every register (or every signal) of a lock, unlock or logging request.
bool MeansAll(const std::string& a_strName);
// A value text: 1 to kMaxValueText printable characters, no spaces. Empty: fine; else why not.
std::string ValueTextError(const std::string& a_strText);

// What one request has counted so far against its limits.
struct SBudget
{
    std::size_t m_uValues = 0;
    std::size_t m_uWords = 0;
};

// Checks an operation, whose arguments a door has filled in, against the device's catalogue
// and the request's budget, before anything reaches the device. A COUNT the caller left
// out (a_bCountGiven false) becomes the rest of the register. Returns the refusal's text,
// empty when the operation may run; a_peRefused (may be null) gets the argument it refused:
// START for a range beyond the register, VALUE for a value beyond its field, REGISTER for a
// block of a register that is no memory, MODE, VALUES for a value text or too many of them,
// WORDS for too many words given, COUNT for too many asked in the request.
std::string CheckOperation(const CCatalogue& a_rCatalogue, SOperation& a_rOperation, bool a_bCountGiven,
                           SBudget& a_rBudget, EArgument* a_peRefused = nullptr);
// The texts of the two refusals doors also make on their own, where a call must not wait for
// the device (a typed set, a memory's block): one text wherever it is made. a_strValue: the
// value as given, which may be no number the field could take.
std::string RangeText(const std::string& a_strRegister, unsigned a_udwWords, unsigned a_udwStart, std::size_t a_uRange);
std::string ValueLimitText(const std::string& a_strRegister, const std::string& a_strSignal, unsigned a_udwMax,
                           const std::string& a_strValue);
// The refusals of more values or words than one request takes; the service makes them while
// it reads a body, before the operation is built.
std::string TooManyValuesText();
std::string TooManyWordsText();
// The argument's name in the table ("register", "start", ...).
const char* ArgumentName(EArgument a_eArgument);
} // namespace rlzev
