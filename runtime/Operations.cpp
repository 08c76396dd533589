#include "Operations.h"

#include "Catalogue.h"
#include "FieldSignal.h"
#include "HWDeviceBase.h"
#include "RamRegister.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <memory>
#include <sstream>

namespace rlzev
{
namespace
{
std::string HexText(unsigned a_udwWord)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "%08X/h", a_udwWord);
    return acText;
}

void Refuse(SOutcome& a_rOutcome, const std::string& a_strError)
{
    a_rOutcome.m_eStatus = SOutcome::REFUSED;
    a_rOutcome.m_strError = a_strError;
}

std::string UnknownRegister(const std::string& a_strName)
{
    return "Invalid register submitted: " + a_strName;
}

bool IsMemory(const SRegisterObjects& a_rObjects)
{
    return a_rObjects.m_pParallelRam != nullptr || a_rObjects.m_pSequentialRam != nullptr;
}

bool GetBlock(const SRegisterObjects& a_rObjects, unsigned* a_pudwWords, unsigned a_udwStart, unsigned a_udwCount,
              bool a_bReadHw)
{
    return a_rObjects.m_pParallelRam != nullptr
               ? a_rObjects.m_pParallelRam->Get(a_pudwWords, a_udwStart, a_udwCount, a_bReadHw)
               : a_rObjects.m_pSequentialRam->Get(a_pudwWords, a_udwStart, a_udwCount, a_bReadHw);
}

// A register's hardware words read now, without a transfer of the rest of a memory and
// without handing them to the application.
void ReadWords(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    const SRegisterObjects& rObjects = *a_rContext.m_pObjects;
    CRegisterBase& rRegister = *rObjects.m_pRegister;
    const CRegisterBase::CServiceAccess View(rRegister);
    if (!IsMemory(rObjects))
    {
        if (a_rOperation.m_udwStart != 0 || a_rOperation.m_udwCount != 1)
            return Refuse(a_rOutcome, RangeText(a_rOperation.m_strRegister, 1, a_rOperation.m_udwStart, a_rOperation.m_udwCount));
        // A signal's service read reads the register and leaves the application's word.
        if (rRegister.GetSignals().empty())
            return Refuse(a_rOutcome, a_rOperation.m_strRegister + " has no signal to read it through");
        std::list<std::string> Ignored;
        std::string strIgnored;
        rRegister.GetSignals().front()->ServiceRead(Ignored, strIgnored);
        a_rOutcome.m_Words.assign(1, rRegister.GetHwImage()[0]);
        return;
    }
    std::vector<unsigned> Block(a_rOperation.m_udwCount + 1);  // the library refuses a null buffer
    const unsigned udwStart = a_rOperation.m_udwStart, udwCount = a_rOperation.m_udwCount;
    if (!GetBlock(rObjects, Block.data(), udwStart, udwCount, true))
        return Refuse(a_rOutcome, ", memory error, RAM frontiers have been hurt.");
    const unsigned* pudwImage = rRegister.GetHwImage() + udwStart;
    a_rOutcome.m_Words.assign(pudwImage, pudwImage + udwCount);
}

void RunRead(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    const SRegisterObjects* pObjects = a_rContext.m_pObjects;
    if (a_rContext.m_bKeepApplication && a_rOperation.m_strSignal.empty() && pObjects != nullptr &&
        !IsMemory(*pObjects))
    {
        ReadWords(a_rContext, a_rOperation, a_rOutcome);
        if (a_rOutcome.m_eStatus == SOutcome::DONE)
            a_rOutcome.m_Texts.push_back(HexText(a_rOutcome.m_Words.front()));
        a_rOutcome.m_Words.clear();
        return;
    }
    std::list<std::string> Texts;
    std::string strError;
    if (!a_rContext.m_rDevice.ServiceRead(a_rOperation.m_strRegister, a_rOperation.m_strSignal, Texts, strError,
                                          a_rOperation.m_udwStart, a_rOperation.m_udwCount))
        Refuse(a_rOutcome, strError);
    a_rOutcome.m_Texts.assign(Texts.begin(), Texts.end());
}

void RunValue(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    std::list<std::string> Texts;
    {
        std::unique_ptr<CRegisterBase::CServiceAccess> pView;
        if (a_rContext.m_bKeepApplication && a_rContext.m_pObjects != nullptr)
            pView.reset(new CRegisterBase::CServiceAccess(*a_rContext.m_pObjects->m_pRegister));
        Texts = a_rContext.m_rDevice.GetValueByString(a_rOperation.m_strRegister, a_rOperation.m_strSignal);
    }
    // The device answers an unknown name with one of these texts instead of a value.
    if (Texts.size() == 1 && (Texts.front() == "Register not found!" || Texts.front() == "Function not found!"))
        Refuse(a_rOutcome, Texts.front());
    else
        a_rOutcome.m_Texts.assign(Texts.begin(), Texts.end());
}

void RunWrite(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    const std::list<std::string> Texts(a_rOperation.m_Values.begin(), a_rOperation.m_Values.end());
    std::string strError;
    if (!a_rContext.m_rDevice.ServiceWrite(a_rOperation.m_strRegister, a_rOperation.m_strSignal, Texts, strError,
                                           a_rOperation.m_udwStart))
        Refuse(a_rOutcome, strError);
}

void RunWriteWords(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    std::list<std::string> Texts;
    for (unsigned udwWord : a_rOperation.m_Words)
        Texts.push_back(HexText(udwWord));
    std::string strError;
    if (!a_rContext.m_rDevice.ServiceWrite(a_rOperation.m_strRegister, "", Texts, strError, a_rOperation.m_udwStart))
        Refuse(a_rOutcome, strError);
}

// The device answers a lock of a signal its register lacks with the register's name; the
// register's own text names the signal, and that is what the caller needs to know.
bool RefuseUnknownSignal(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    const std::string& strSignal = a_rOperation.m_strSignal;
    if (MeansAll(strSignal))
        return false;
    // Every register by one signal's name: the device locks register after register and stops
    // at the first without it, leaving the earlier ones changed. Refused whole, before it starts.
    if (MeansAll(a_rOperation.m_strRegister))
    {
        for (const SRegisterEntry& rEntry : a_rContext.m_rCatalogue.Registers())
            if (rEntry.FindSignal(strSignal) == nullptr)
            {
                Refuse(a_rOutcome, "Invalid register submitted! : " + a_rOperation.m_strRegister);
                return true;
            }
        return false;
    }
    const SRegisterEntry* pEntry = a_rContext.m_pObjects == nullptr ? nullptr : a_rContext.m_pObjects->m_pEntry;
    if (pEntry == nullptr || pEntry->FindSignal(strSignal) != nullptr)
        return false;
    Refuse(a_rOutcome, "Invalid signal submitted! : " + strSignal);
    return true;
}

// Lock and Unlock by name alike: the names checked first, then the device's own call. (The
// call is chosen at run time: a Windows host imports the device's functions from its DLL,
// and an imported function's address is no constant.)
void RunLockState(bool a_bLock, const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    std::string strError;
    if (RefuseUnknownSignal(a_rContext, a_rOperation, a_rOutcome))
        return;
    CHWDeviceBase& rDevice = a_rContext.m_rDevice;
    if (!(a_bLock ? rDevice.Lock(a_rOperation.m_strRegister, a_rOperation.m_strSignal, strError)
                  : rDevice.Unlock(a_rOperation.m_strRegister, a_rOperation.m_strSignal, strError)))
        Refuse(a_rOutcome, strError);
}

void RunLock(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    RunLockState(true, a_rContext, a_rOperation, a_rOutcome);
}

void RunUnlock(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    RunLockState(false, a_rContext, a_rOperation, a_rOutcome);
}

void RunLogging(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    // The library answers Logging with the flag it was given; the names are checked here.
    const std::string& strRegister = a_rOperation.m_strRegister;
    const std::string& strSignal = a_rOperation.m_strSignal;
    const bool bAllRegisters = MeansAll(strRegister);
    const SRegisterEntry* pEntry = a_rContext.m_pObjects == nullptr ? nullptr : a_rContext.m_pObjects->m_pEntry;
    bool bKnown = (bAllRegisters || pEntry != nullptr) && MeansAll(strSignal);
    if (pEntry != nullptr && !bKnown)
        bKnown = pEntry->FindSignal(strSignal) != nullptr;
    for (auto It = a_rContext.m_rCatalogue.Registers().begin();
         bAllRegisters && !bKnown && It != a_rContext.m_rCatalogue.Registers().end(); ++It)
        bKnown = It->FindSignal(strSignal) != nullptr;
    if (!bKnown)
        Refuse(a_rOutcome, bAllRegisters || pEntry != nullptr ? "Invalid signal submitted: " + strSignal
                                                              : UnknownRegister(strRegister));
    else
        a_rContext.m_rDevice.Logging(strRegister, strSignal, &a_rContext.m_rEventLog, a_rOperation.m_bEnable);
}

void RunDefaults(const SRunContext& a_rContext, const SOperation&, SOutcome& a_rOutcome)
{
    a_rContext.m_rDevice.SetToDefault();
    a_rOutcome.m_bResult = true;
}

void RunSnapshot(const SRunContext& a_rContext, const SOperation&, SOutcome& a_rOutcome)
{
    std::ostringstream Stream;
    std::vector<std::unique_ptr<CRegisterBase::CServiceAccess>> Views;
    if (a_rContext.m_bKeepApplication)
        for (CRegisterBase* pRegister : a_rContext.m_rDevice.GetRegisters())
            Views.emplace_back(new CRegisterBase::CServiceAccess(*pRegister));
    a_rContext.m_rDevice.SnapShot(Stream);
    a_rOutcome.m_strSnapshot = Stream.str();
}

void RunWords(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    if (a_rContext.m_pObjects == nullptr)
        return Refuse(a_rOutcome, UnknownRegister(a_rOperation.m_strRegister));
    ReadWords(a_rContext, a_rOperation, a_rOutcome);
}

void RunAppWords(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    if (a_rContext.m_pObjects == nullptr)
        return Refuse(a_rOutcome, UnknownRegister(a_rOperation.m_strRegister));
    const CRegisterBase& rRegister = *a_rContext.m_pObjects->m_pRegister;
    const unsigned udwWords = rRegister.GetWordCount();
    if (a_rOperation.m_udwStart > udwWords || a_rOperation.m_udwCount > udwWords - a_rOperation.m_udwStart)
        return Refuse(a_rOutcome, ", memory error, RAM frontiers have been hurt.");
    const unsigned* pudwWords = rRegister.GetAppImage() + a_rOperation.m_udwStart;
    a_rOutcome.m_Words.assign(pudwWords, pudwWords + a_rOperation.m_udwCount);
}

void RunRegisterDefaults(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    if (a_rContext.m_pObjects == nullptr)
        return Refuse(a_rOutcome, UnknownRegister(a_rOperation.m_strRegister));
    a_rOutcome.m_bResult = a_rContext.m_pObjects->m_pRegister->SetToDefault();
}

// The library's Set keeps what fits the field and drops the rest: a value beyond it is refused first.
std::string ValueLimitText(const SOperation& a_rOperation, unsigned a_udwMax)
{
    return rlzev::ValueLimitText(a_rOperation.m_strRegister, a_rOperation.m_strSignal, a_udwMax,
                          a_rOperation.m_Words.size() == 1 ? std::to_string(a_rOperation.m_Words.front()) : "");
}

CFieldSignal* FieldOf(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    if (a_rContext.m_pObjects != nullptr)
        for (CSignalBase* pCandidate : a_rContext.m_pObjects->m_pRegister->GetSignals())
            if (pCandidate->GetName() == a_rOperation.m_strSignal)
                return dynamic_cast<CFieldSignal*>(pCandidate);
    Refuse(a_rOutcome, a_rContext.m_pObjects == nullptr ? UnknownRegister(a_rOperation.m_strRegister)
                                                        : "Invalid signal submitted: " + a_rOperation.m_strSignal);
    return nullptr;
}

void RunGet(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    const CFieldSignal* pSignal = FieldOf(a_rContext, a_rOperation, a_rOutcome);
    if (pSignal == nullptr)
        return;
    if (a_rContext.m_bKeepApplication && !a_rOperation.m_bReadHw)
    {
        // What Get(false) answers, without its copy of the field into the application's word.
        const CRegisterBase& rRegister = *a_rContext.m_pObjects->m_pRegister;
        const unsigned udwWord =
            pSignal->GetLockState() != UNLOCKED ? rRegister.GetAppImage()[0] : rRegister.GetHwImage()[0];
        a_rOutcome.m_Words.assign(1, (udwWord >> pSignal->GetLow()) & pSignal->GetMaxValue());
        return;
    }
    a_rOutcome.m_Words.assign(1, pSignal->Get(a_rOperation.m_bReadHw));
}

void RunSet(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    CFieldSignal* pSignal = FieldOf(a_rContext, a_rOperation, a_rOutcome);
    if (pSignal == nullptr)
        return;
    if (a_rOperation.m_Words.size() != 1 || a_rOperation.m_Words.front() > pSignal->GetMaxValue())
        return Refuse(a_rOutcome, ValueLimitText(a_rOperation, pSignal->GetMaxValue()));
    a_rOutcome.m_bResult =
        pSignal->Set(a_rOperation.m_Words.front(), static_cast<CSignalBase::ESignalHwWrite>(a_rOperation.m_udwMode));
}

bool RefuseNonMemory(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    if (a_rContext.m_pObjects != nullptr && IsMemory(*a_rContext.m_pObjects))
        return false;
    Refuse(a_rOutcome, a_rContext.m_pObjects == nullptr ? UnknownRegister(a_rOperation.m_strRegister)
                                                        : a_rOperation.m_strRegister + " is not a memory");
    return true;
}

void RunGetBlock(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    if (RefuseNonMemory(a_rContext, a_rOperation, a_rOutcome))
        return;
    const unsigned udwStart = a_rOperation.m_udwStart, udwCount = a_rOperation.m_udwCount;
    const CRegisterBase& rRegister = *a_rContext.m_pObjects->m_pRegister;
    if (a_rContext.m_bKeepApplication && !a_rOperation.m_bReadHw &&
        udwStart <= rRegister.GetWordCount() && udwCount <= rRegister.GetWordCount() - udwStart)
    {
        // What Get(.., false) answers, without its copy of the memory into the application's words.
        const unsigned* pudwWords =
            (rRegister.GetLockState() == UNLOCKED ? rRegister.GetHwImage() : rRegister.GetAppImage()) + udwStart;
        a_rOutcome.m_Words.assign(pudwWords, pudwWords + udwCount);
        return;
    }
    std::vector<unsigned> Words(udwCount + 1);  // the library refuses a null buffer
    a_rOutcome.m_bResult = GetBlock(*a_rContext.m_pObjects, Words.data(), udwStart, udwCount, a_rOperation.m_bReadHw);
    Words.pop_back();
    a_rOutcome.m_Words = std::move(Words);
}

void RunSetBlock(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    if (RefuseNonMemory(a_rContext, a_rOperation, a_rOutcome))
        return;
    const SRegisterObjects& rObjects = *a_rContext.m_pObjects;
    const unsigned udwCount = static_cast<unsigned>(a_rOperation.m_Words.size());
    const unsigned* pudwWords = udwCount == 0 ? nullptr : a_rOperation.m_Words.data();
    a_rOutcome.m_bResult = rObjects.m_pParallelRam != nullptr
                               ? rObjects.m_pParallelRam->Set(pudwWords, a_rOperation.m_udwStart, udwCount, false)
                               : rObjects.m_pSequentialRam->Set(pudwWords, a_rOperation.m_udwStart, udwCount, false);
}

void RunState(const SRunContext& a_rContext, const SOperation& a_rOperation, SOutcome& a_rOutcome)
{
    if (a_rContext.m_pObjects == nullptr)
        return Refuse(a_rOutcome, UnknownRegister(a_rOperation.m_strRegister));
    const CRegisterBase& rRegister = *a_rContext.m_pObjects->m_pRegister;
    a_rOutcome.m_LockStates.push_back(rRegister.GetLockState());
    for (const CSignalBase* pSignal : rRegister.GetSignals())
    {
        a_rOutcome.m_LockStates.push_back(pSignal->GetLockState());
        a_rOutcome.m_Texts.push_back(pSignal->GetName());
    }
    if (rRegister.GetWordCount() == 1)
        a_rOutcome.m_Words.assign(1, rRegister.GetHwImage()[0]);
}

const SArgumentSpec kRegister{EArgument::REGISTER, "register", true};
const SArgumentSpec kSignal{EArgument::SIGNAL, "signal", true};
const SArgumentSpec kWholeOrSignal{EArgument::SIGNAL, "signal", false};
const SArgumentSpec kStart{EArgument::START, "start", false};
const SArgumentSpec kCount{EArgument::COUNT, "count", false};
const SArgumentSpec kValues{EArgument::VALUES, "values", true};
const SArgumentSpec kWords{EArgument::WORDS, "words", true};
const SArgumentSpec kValue{EArgument::VALUE, "value", true};
const SArgumentSpec kMode{EArgument::MODE, "mode", false};
const SArgumentSpec kEnable{EArgument::ENABLE, "enable", false};
const SArgumentSpec kReadHw{EArgument::READ_HW, "readHw", false};
} // namespace

const std::vector<SOperationRow>& OperationTable()
{
    static const std::vector<SOperationRow> kTable = {
        {"read", EOperation::READ, {kRegister, kWholeOrSignal, kStart, kCount}, false, EAnswer::SERVICE_TEXTS,
         &RunRead, "ServiceRead: a signal's value, a whole register's word, or memory words, as texts"},
        {"value", EOperation::VALUE, {kRegister, kSignal}, false, EAnswer::TEXTS, &RunValue,
         "GetValueByString: a signal's value as its enumerator name or a signed decimal"},
        {"words", EOperation::WORDS, {kRegister, kStart, kCount}, false, EAnswer::WORDS, &RunWords,
         "the hardware's words, read now; the application's words and every lock stay"},
        {"state", EOperation::STATE, {kRegister}, false, EAnswer::STATE, &RunState,
         "lock states and the hardware word as last read or written; no transfer"},
        {"write", EOperation::WRITE, {kRegister, kWholeOrSignal, kValues, kStart}, true, EAnswer::NONE,
         &RunWrite, "ServiceWrite: value texts to a signal, a whole register, or memory words from start on"},
        {"writeWords", EOperation::WRITE_WORDS, {kRegister, kWords, kStart}, true, EAnswer::NONE,
         &RunWriteWords, "ServiceWrite of words as numbers, from start on"},
        {"lock", EOperation::LOCK, {kRegister, kSignal}, true, EAnswer::NONE, &RunLock,
         "Lock: signals frozen against the application"},
        {"unlock", EOperation::UNLOCK, {kRegister, kSignal}, true, EAnswer::NONE, &RunUnlock,
         "Unlock: signals handed back to the application"},
        {"logging", EOperation::LOGGING, {kRegister, kSignal, kEnable}, true, EAnswer::NONE, &RunLogging,
         "Logging: change-log lines of the named signals"},
        {"defaults", EOperation::DEFAULTS, {}, true, EAnswer::RESULT, &RunDefaults,
         "SetToDefault: every register's defaults, in list order"},
        {"registerDefaults", EOperation::REGISTER_DEFAULTS, {kRegister}, true, EAnswer::RESULT,
         &RunRegisterDefaults, "one register's SetToDefault"},
        {"snapshot", EOperation::SNAPSHOT, {}, false, EAnswer::SNAPSHOT, &RunSnapshot,
         "SnapShot: the device's snapshot script"},
        {"get", EOperation::GET, {kRegister, kSignal, kReadHw}, false, EAnswer::VALUE, &RunGet,
         "a signal's typed Get"},
        {"set", EOperation::SET, {kRegister, kSignal, kValue, kMode}, true, EAnswer::RESULT, &RunSet,
         "a signal's typed Set"},
        {"getBlock", EOperation::GET_BLOCK, {kRegister, kStart, kCount, kReadHw}, false, EAnswer::WORDS_RESULT,
         &RunGetBlock, "a memory's typed Get of words"},
        {"setBlock", EOperation::SET_BLOCK, {kRegister, kStart, kWords}, true, EAnswer::RESULT, &RunSetBlock,
         "a memory's typed Set of words"},
        {"appWords", EOperation::APP_WORDS, {kRegister, kStart, kCount}, false, EAnswer::WORDS, &RunAppWords,
         "the application's words as they are; no transfer"},
    };
    return kTable;
}

const SOperationRow* FindOperation(const std::string& a_strName)
{
    for (const SOperationRow& rRow : OperationTable())
        if (a_strName == rRow.m_pcName)
            return &rRow;
    return nullptr;
}

const SOperationRow& RowOf(EOperation a_eOperation)
{
    for (const SOperationRow& rRow : OperationTable())
        if (rRow.m_eOperation == a_eOperation)
            return rRow;
    return OperationTable().front();  // every operation has its row (the runtime's tests check it)
}

bool Takes(const SOperationRow& a_rRow, EArgument a_eArgument)
{
    for (const SArgumentSpec& rArgument : a_rRow.m_Arguments)
        if (rArgument.m_eArgument == a_eArgument)
            return true;
    return false;
}

bool Changes(const SOperation& a_rOperation)
{
    const bool bTypedRead = a_rOperation.m_eOperation == EOperation::GET || a_rOperation.m_eOperation == EOperation::GET_BLOCK;
    return RowOf(a_rOperation.m_eOperation).m_bChanging || (bTypedRead && a_rOperation.m_bReadHw);
}

bool IsName(const std::string& a_strName)
{
    if (a_strName.empty() || a_strName.size() > SLimits::kMaxName)
        return false;
    for (char c : a_strName)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

bool MeansAll(const std::string& a_strName)
{
    return a_strName == "ALL" || a_strName == "all";
}

std::string ValueTextError(const std::string& a_strText)
{
    if (a_strText.empty() || a_strText.size() > SLimits::kMaxValueText)
        return "a value text has 1 to " + std::to_string(SLimits::kMaxValueText) + " characters";
    for (char c : a_strText)
        if (c < '!' || c > '~')
            return "a value text has printable characters only, no spaces";
    return "";
}

std::string RangeText(const std::string& a_strRegister, unsigned a_udwWords, unsigned a_udwStart, std::size_t a_uRange)
{
    if (a_udwWords == 1)
        return a_strRegister + " is a one-word register: no start or count beyond one word";
    return "range beyond the memory: " + a_strRegister + " has words 0 to " + std::to_string(a_udwWords - 1) +
           ", the request " +
           (a_uRange == 0 ? "starts at word " + std::to_string(a_udwStart)
                          : "names words " + std::to_string(a_udwStart) + " to " +
                                std::to_string(a_udwStart + a_uRange - 1));
}

std::string ValueLimitText(const std::string& a_strRegister, const std::string& a_strSignal, unsigned a_udwMax,
                           const std::string& a_strValue)
{
    return "Value limit exceeded: " + a_strRegister + "." + a_strSignal + " takes 0 to " + std::to_string(a_udwMax) +
           (a_strValue.empty() ? "" : ", not " + a_strValue);
}

const char* ArgumentName(EArgument a_eArgument)
{
    static const char* const apcNames[] = {"register", "signal", "start", "count", "values",
                                           "words",    "value",  "mode",  "enable", "readHw"};
    return apcNames[static_cast<int>(a_eArgument)];
}

std::string CheckOperation(const CCatalogue& a_rCatalogue, SOperation& a_rOperation, bool a_bCountGiven,
                           SBudget& a_rBudget, EArgument* a_peRefused)
{
    EArgument eIgnored = EArgument::REGISTER;
    EArgument& rRefused = a_peRefused != nullptr ? *a_peRefused : eIgnored;
    // A name the device lacks is the library's to refuse, with its own text; a door may keep
    // names within its own rules first (the service: letters, digits and '_').
    const SRegisterEntry* pEntry = a_rCatalogue.Find(a_rOperation.m_strRegister);
    const unsigned udwWords = pEntry == nullptr ? 0 : pEntry->m_udwWords;
    if (!a_bCountGiven)  // the rest of the register
        a_rOperation.m_udwCount = std::max(udwWords, a_rOperation.m_udwStart) - a_rOperation.m_udwStart;
    // What one operation carries is bounded before anything else is looked at, as the service
    // bounds it while reading a body: the same refusal whatever the range.
    rRefused = EArgument::VALUES;
    if (a_rOperation.m_Values.size() > SLimits::kMaxValues)
        return TooManyValuesText();
    rRefused = EArgument::WORDS;
    if (a_rOperation.m_Words.size() > SLimits::kMaxWords)
        return TooManyWordsText();
    std::size_t uRange = 0;  // words the range names, to be within the register
    switch (a_rOperation.m_eOperation)
    {
    case EOperation::SET:
    {
        rRefused = EArgument::MODE;
        if (a_rOperation.m_udwMode > 2)
            return "field 'mode' is 0 (immediate), 1 (deferred) or 2 (if changed)";
        rRefused = EArgument::VALUE;
        const SSignalEntry* pSignal = pEntry == nullptr ? nullptr : pEntry->FindSignal(a_rOperation.m_strSignal);
        if (pSignal != nullptr && (a_rOperation.m_Words.size() != 1 || a_rOperation.m_Words.front() > pSignal->m_udwMax))
            return ValueLimitText(a_rOperation, pSignal->m_udwMax);
        break;
    }
    case EOperation::GET_BLOCK:
    case EOperation::SET_BLOCK:
        rRefused = EArgument::REGISTER;
        if (pEntry != nullptr && udwWords == 1)
            return a_rOperation.m_strRegister + " is not a memory";
        uRange = a_rOperation.m_eOperation == EOperation::GET_BLOCK ? a_rOperation.m_udwCount : a_rOperation.m_Words.size();
        a_rBudget.m_uWords += uRange;
        break;
    case EOperation::READ:
        uRange = a_rOperation.m_udwCount;
        // The text service reads a register whole, whatever range it answers.
        a_rBudget.m_uWords += std::max<std::size_t>(udwWords, uRange);
        break;
    case EOperation::WORDS:
    case EOperation::APP_WORDS:
        uRange = a_rOperation.m_udwCount;
        a_rBudget.m_uWords += uRange;
        rRefused = EArgument::START;
        if (udwWords == 1 && uRange != 1)  // a one-word register's word 0, no fewer
            return RangeText(a_rOperation.m_strRegister, 1, a_rOperation.m_udwStart, uRange);
        break;
    case EOperation::WRITE:
        rRefused = EArgument::VALUES;
        for (const std::string& rText : a_rOperation.m_Values)
        {
            const std::string strError = ValueTextError(rText);
            if (!strError.empty())
                return strError;
        }
        a_rBudget.m_uValues += a_rOperation.m_Values.size();
        // A memory takes its values as words from the start, whatever signal is named.
        uRange = a_rOperation.m_strSignal.empty() || udwWords > 1 ? a_rOperation.m_Values.size() : 0;
        break;
    case EOperation::WRITE_WORDS:
        a_rBudget.m_uWords += a_rOperation.m_Words.size();
        uRange = a_rOperation.m_Words.size();
        break;
    case EOperation::DEFAULTS:
        // A word for each register it writes: 16,384 of them were 7 million transfers.
        a_rBudget.m_uWords += a_rCatalogue.Registers().size();
        break;
    case EOperation::REGISTER_DEFAULTS:
        a_rBudget.m_uWords += udwWords;
        break;
    default:
        break;
    }
    // A memory range lies within the memory; a one-word register has no range. (What has no
    // start names no range.)
    rRefused = EArgument::START;
    if (pEntry != nullptr)
    {
        const std::string& strName = a_rOperation.m_strRegister;
        const unsigned udwStart = a_rOperation.m_udwStart;
        if (udwWords == 1 ? udwStart != 0 || uRange > 1 : udwStart > udwWords || uRange > udwWords - udwStart)
            return RangeText(strName, udwWords, udwStart, uRange);
    }
    // The library would report a block set's words a null pointer: refused here, alike at
    // every door (after the range, which a door may check first itself).
    rRefused = EArgument::WORDS;
    if (a_rOperation.m_eOperation == EOperation::SET_BLOCK && a_rOperation.m_Words.empty())
        return "no words to set: a block set takes one word or more";
    // A request's budget is no argument's range: a value error at every door, not an index.
    rRefused = EArgument::VALUES;
    if (a_rBudget.m_uValues > SLimits::kMaxValues)
        return TooManyValuesText();
    rRefused = EArgument::COUNT;
    if (a_rBudget.m_uWords > SLimits::kMaxWords)
        return TooManyWordsText();
    return "";
}

std::string TooManyValuesText()
{
    return "too many values: at most " + std::to_string(SLimits::kMaxValues);
}

std::string TooManyWordsText()
{
    return "too many words: at most " + std::to_string(SLimits::kMaxWords) + " in one request";
}
} // namespace rlzev
