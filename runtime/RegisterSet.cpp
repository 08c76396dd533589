#include "RegisterSet.h"

#include "BadRequest.h"
#include "Catalogue.h"
#include "Operations.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

using nlohmann::json;

namespace rlzev
{
std::string CatalogueJson(const CCatalogue& a_rCatalogue)
{
    using nlohmann::json;
    json Registers = json::array();
    for (const SRegisterEntry& rRegister : a_rCatalogue.Registers())
    {
        json Signals = json::array();
        for (const SSignalEntry& rSignal : rRegister.m_Signals)
        {
            json Enumerators = json::array();
            for (const SEnumeratorEntry& rEnumerator : rSignal.m_Enumerators)
                Enumerators.push_back({{"name", rEnumerator.m_strName}, {"value", rEnumerator.m_udwValue}});
            Signals.push_back({{"name", rSignal.m_strName}, {"low", rSignal.m_udwLow},
                               {"high", rSignal.m_udwLow + rSignal.m_udwWidth - 1}, {"width", rSignal.m_udwWidth},
                               {"default", rSignal.m_udwDefault}, {"max", rSignal.m_udwMax},
                               {"enumerators", std::move(Enumerators)}});
        }
        Registers.push_back({{"name", rRegister.m_strName}, {"address", rRegister.m_udwAddress},
                             {"width", rRegister.m_udwWidth}, {"access", rRegister.m_strAccess},
                             {"readable", rRegister.m_bReadable}, {"writable", rRegister.m_bWritable},
                             {"words", rRegister.m_udwWords}, {"status", rRegister.m_bStatus},
                             {"default", rRegister.m_udwDefault}, {"unused", rRegister.m_udwUnused},
                             {"hidden", rRegister.m_udwHidden}, {"forcedOnes", rRegister.m_udwForcedOnes},
                             {"signals", std::move(Signals)}});
    }
    const json Device = {{"name", a_rCatalogue.DeviceName()}, {"xmlVersion", a_rCatalogue.XmlVersion()},
                         {"generatorVersion", a_rCatalogue.GeneratorVersion()}};
    return json{{"device", Device}, {"registers", std::move(Registers)}}.dump();
}

json ReportJson(const SReport& a_rReport)
{
    return {{"type", "report"},
            {"file", a_rReport.m_strFile},
            {"line", a_rReport.m_iLine},
            {"function", a_rReport.m_strFunction},
            {"message", a_rReport.m_strMessage},
            {"accessDenied", a_rReport.m_bAccessDenied}};
}

json EventJson(const SDeviceEvent& a_rEvent)
{
    if (a_rEvent.m_eKind == SDeviceEvent::REPORT)
        return ReportJson(a_rEvent.m_Report);
    return {{"type", a_rEvent.m_eKind == SDeviceEvent::LOG ? "log" : "transfer"}, {"text", a_rEvent.m_strText}};
}

const char* const CRegisterSets::kFormat = "rl_zev register set 1";

namespace
{
// At most 64 bytes of a text from the request in a message, cut where a character begins
// (the text is UTF-8), a control character as \xNN: a name or value echoed back can neither
// flood a client nor steer its terminal.
std::string Shown(const std::string& a_strText)
{
    std::size_t uEnd = std::min<std::size_t>(a_strText.size(), 64);
    while (uEnd > 0 && uEnd < a_strText.size() && (static_cast<unsigned char>(a_strText[uEnd]) & 0xC0) == 0x80)
        --uEnd;
    std::string strShown;
    for (std::size_t i = 0; i < uEnd; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(a_strText[i]);
        char acEscape[8];
        std::snprintf(acEscape, sizeof acEscape, "\\x%02X", c);
        strShown += c < 0x20 || c == 0x7F ? std::string(acEscape) : std::string(1, static_cast<char>(c));
    }
    return strShown;
}

// Counted on the text before it is parsed: the parser's callback, the other way to refuse a
// deep tree, makes each object's end scan its parent, so an array of many objects costs its
// length squared (a 1 MiB body of empty objects held the device for seconds); and a tree
// built deep is copied and written out recursively, past any stack.
bool NestsTooDeep(const std::string& a_strText, int a_iMaxDepth)
{
    int iDepth = 0;
    bool bString = false;
    for (std::size_t i = 0; i < a_strText.size(); ++i)
    {
        const char c = a_strText[i];
        if (bString)
        {
            if (c == '\\')
                ++i;
            else if (c == '"')
                bString = false;
        }
        else if (c == '"')
            bString = true;
        else if (c == '[' || c == '{')
        {
            if (++iDepth > a_iMaxDepth)
                return true;
        }
        else if (c == ']' || c == '}')
            --iDepth;
    }
    return false;
}

std::string HexText(unsigned a_udwValue)
{
    char acText[16];
    std::snprintf(acText, sizeof acText, "%08X/h", a_udwValue);
    return acText;
}

std::string HexWords(const std::vector<unsigned>& a_rWords)
{
    std::string strText;
    strText.reserve(a_rWords.size() * 9);
    char acWord[12];
    for (std::size_t i = 0; i < a_rWords.size(); ++i)
    {
        std::snprintf(acWord, sizeof acWord, i == 0 ? "%08X" : " %08X", a_rWords[i]);
        strText += acWord;
    }
    return strText;
}

bool Digits(const std::string& a_strText, bool a_bHex, unsigned long long& a_ruValue)
{
    if (a_strText.empty() || a_strText.size() > 10)
        return false;
    a_ruValue = 0;
    for (char c : a_strText)
    {
        const int iDigit = c >= '0' && c <= '9' ? c - '0'
                           : a_bHex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                           : a_bHex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                            : -1;
        if (iDigit < 0)
            return false;
        a_ruValue = a_ruValue * (a_bHex ? 16 : 10) + static_cast<unsigned>(iDigit);
    }
    return a_ruValue <= 0xFFFFFFFFull;
}

// A value text of a signal as a number: an enumerator name, "1F/h" or "0x1F/h", "31/d" or
// "-1/d"; a read of a value that has no name gives the plain signed decimal. False for
// anything else.
bool ValueOf(const json& a_rSignal, const std::string& a_strText, unsigned& a_rudwValue)
{
    for (const json& rEnumerator : a_rSignal["enumerators"])
        if (rEnumerator["name"] == a_strText)
        {
            a_rudwValue = rEnumerator["value"].get<unsigned>();
            return true;
        }
    std::string strNumber = a_strText;
    bool bHex = false;
    if (strNumber.size() > 2 && (strNumber.compare(strNumber.size() - 2, 2, "/h") == 0 ||
                                 strNumber.compare(strNumber.size() - 2, 2, "/H") == 0))
    {
        bHex = true;
        strNumber.resize(strNumber.size() - 2);
        if (strNumber.compare(0, 2, "0x") == 0 || strNumber.compare(0, 2, "0X") == 0)
            strNumber = strNumber.substr(2);
    }
    else if (strNumber.size() > 2 && (strNumber.compare(strNumber.size() - 2, 2, "/d") == 0 ||
                                      strNumber.compare(strNumber.size() - 2, 2, "/D") == 0))
    {
        strNumber.resize(strNumber.size() - 2);
    }
    const bool bNegative = !bHex && !strNumber.empty() && strNumber[0] == '-';
    if (!bHex && !strNumber.empty() && (strNumber[0] == '-' || strNumber[0] == '+'))
        strNumber = strNumber.substr(1);
    unsigned long long uValue = 0;
    if (!Digits(strNumber, bHex, uValue) || (bNegative && uValue > 0x80000000ull))
        return false;
    a_rudwValue = bNegative ? static_cast<unsigned>(0x100000000ull - uValue) : static_cast<unsigned>(uValue);
    return true;
}

// The text a set holds for a value: its enumerator's name, or the hexadecimal the library reads.
std::string TextOf(const json& a_rSignal, unsigned a_udwValue)
{
    for (const json& rEnumerator : a_rSignal["enumerators"])
        if (rEnumerator["value"] == a_udwValue)
            return rEnumerator["name"].get<std::string>();
    return HexText(a_udwValue);
}

const json* FindSignal(const json& a_rRegister, const std::string& a_strName)
{
    for (const json& rSignal : a_rRegister["signals"])
        if (rSignal["name"] == a_strName)
            return &rSignal;
    return nullptr;
}

// A call asked with "trace": true answers with its events, as any operation does.
SBatchOptions Traced(const json& a_rBody)
{
    SBatchOptions Options;
    const auto Trace = a_rBody.find("trace");
    if (Trace != a_rBody.end() && !Trace->is_boolean())
        throw SBadRequest{"field 'trace' must be true or false"};
    Options.m_bTrace = Trace != a_rBody.end() && Trace->get<bool>();
    return Options;
}

void AddEvents(const SBatchOptions& a_rOptions, const std::vector<SOutcome>& a_rOutcomes, json& a_rAnswer)
{
    if (!a_rOptions.m_bTrace)
        return;
    json& rEvents = a_rAnswer["events"] = json::array();
    for (const SOutcome& rOutcome : a_rOutcomes)
        for (const SDeviceEvent& rEvent : rOutcome.m_Record.m_Events)
            rEvents.push_back(EventJson(rEvent));
}

json Reports(const std::vector<SOutcome>& a_rOutcomes)
{
    json Result = json::array();
    for (const SOutcome& rOutcome : a_rOutcomes)
        for (const SReport& rReport : rOutcome.m_Record.m_Reports)
            Result.push_back(ReportJson(rReport));
    return Result;
}

// A host fault stops the batch; its text is the answer's error.
const SOutcome* Fault(const std::vector<SOutcome>& a_rOutcomes)
{
    for (const SOutcome& rOutcome : a_rOutcomes)
        if (rOutcome.m_eStatus == SOutcome::FAULT)
            return &rOutcome;
    return nullptr;
}

std::vector<std::string> Names(const json& a_rBody, const char* a_pcField)
{
    std::vector<std::string> Result;
    const auto It = a_rBody.find(a_pcField);
    if (It == a_rBody.end())
        return Result;
    if (!It->is_array())
        throw SBadRequest{std::string("field '") + a_pcField + "' must be an array of register names"};
    // Each name once: a memory named again would be read again, and the list has no other bound.
    std::set<std::string> Seen;
    for (const json& rName : *It)
    {
        if (!rName.is_string())
            throw SBadRequest{std::string("field '") + a_pcField + "' must be an array of register names"};
        Result.push_back(rName.get<std::string>());
        if (!Seen.insert(Result.back()).second)
            throw SBadRequest{std::string("field '") + a_pcField + "' names " + Shown(Result.back()) + " twice"};
    }
    return Result;
}

void CheckFields(const json& a_rBody, const std::set<std::string>& a_rFields)
{
    if (!a_rBody.is_object())
        throw SBadRequest{"the body must be a JSON object"};
    for (const auto& rItem : a_rBody.items())
        if (a_rFields.count(rItem.key()) == 0)
            throw SBadRequest{"unknown field '" + Shown(rItem.key()) + "'"};
}
} // namespace

json ParseSet(const std::string& a_strText)
{
    return ParseBody(a_strText, "set", kMaxBodyDepth - 1);
}

json ParseBody(const std::string& a_strText, const char* a_pcWhat, int a_iMaxDepth)
{
    if (NestsTooDeep(a_strText, a_iMaxDepth))
        throw SBadRequest{std::string("the ") + a_pcWhat + " nests deeper than " + std::to_string(a_iMaxDepth) + " levels"};
    try
    {
        return json::parse(a_strText);
    }
    catch (const json::exception& e)
    {
        // The parser's message without its "[json.exception...] " prefix.
        std::string strWhat = e.what();
        const std::size_t uEnd = strWhat.find("] ");
        throw SBadRequest{std::string("malformed JSON ") + a_pcWhat + ": " + (uEnd == std::string::npos ? strWhat : strWhat.substr(uEnd + 2))};
    }
}

// One field of a set (a signal's value) or one memory's words.
struct CRegisterSets::SEntry
{
    std::string m_strRegister;
    std::string m_strSignal;       // empty for a memory
    std::string m_strText;         // the set's text of a signal's value
    unsigned m_udwValue = 0;       // and its number
    std::vector<unsigned> m_Words; // a memory's words from word 0
    const json* m_pSignal = nullptr;
};

CRegisterSets::CRegisterSets(CDeviceRuntime& a_rRuntime, const json& a_rMap) : m_rRuntime(a_rRuntime), m_rMap(a_rMap)
{
    const json& rRegisters = m_rMap["registers"];
    for (std::size_t i = 0; i < rRegisters.size(); ++i)
        m_Index[rRegisters[i]["name"].get<std::string>()] = i;
}

const json& CRegisterSets::Register(const std::string& a_strName) const
{
    const auto It = m_Index.find(a_strName);
    if (It == m_Index.end())
        throw SBadRequest{"no register " + Shown(a_strName) + " in this device"};
    return m_rMap["registers"][It->second];
}

int CRegisterSets::Save(const json& a_rBody, json& a_rAnswer)
{
    CheckFields(a_rBody, {"registers", "memories", "trace"});
    std::vector<std::string> Chosen = Names(a_rBody, "registers");
    const auto Memories = a_rBody.find("memories");
    if (Memories != a_rBody.end() && !Memories->is_boolean())
        throw SBadRequest{"field 'memories' must be true or false"};
    const bool bAll = Chosen.empty();
    const bool bMemories = Memories != a_rBody.end() && Memories->get<bool>();
    if (bAll)
        for (const json& rRegister : m_rMap["registers"])
            Chosen.push_back(rRegister["name"].get<std::string>());

    std::vector<SOperation> Operations;
    json Skipped = json::array();
    for (const std::string& strName : Chosen)
    {
        const json& rRegister = Register(strName);
        if (rRegister["words"].get<unsigned>() > 1)
        {
            if (bAll && !bMemories)
                continue;
            SOperation Words;
            Words.m_eOperation = EOperation::WORDS;
            Words.m_strRegister = strName;
            Words.m_udwCount = rRegister["words"].get<unsigned>();
            Operations.push_back(Words);
        }
        else if (!rRegister["readable"].get<bool>())
        {
            Skipped.push_back({{"register", strName}, {"reason", "write-only: it cannot be read"}});
        }
        else
        {
            for (const json& rSignal : rRegister["signals"])
            {
                SOperation Read;
                Read.m_strRegister = strName;
                Read.m_strSignal = rSignal["name"].get<std::string>();
                Operations.push_back(Read);
            }
        }
    }
    const SBatchOptions Options = Traced(a_rBody);
    const std::vector<SOutcome> Outcomes = RunCounted(Operations, Options);
    json Registers = json::array();
    for (std::size_t i = 0; i < Operations.size(); ++i)
    {
        const SOperation& rOperation = Operations[i];
        const SOutcome& rOutcome = Outcomes[i];
        if (rOutcome.m_eStatus != SOutcome::DONE)
            continue;
        if (rOperation.m_eOperation == EOperation::WORDS)
        {
            Registers.push_back({{"name", rOperation.m_strRegister}, {"words", HexWords(rOutcome.m_Words)}});
            continue;
        }
        if (Registers.empty() || Registers.back()["name"] != rOperation.m_strRegister)
            Registers.push_back({{"name", rOperation.m_strRegister}, {"signals", json::object()}});
        Registers.back()["signals"][rOperation.m_strSignal] = rOutcome.m_Texts.empty() ? "" : rOutcome.m_Texts.front();
    }
    a_rAnswer = {{"set", {{"format", kFormat}, {"device", m_rMap["device"]}, {"registers", std::move(Registers)}}},
                 {"skipped", std::move(Skipped)},
                 {"reports", Reports(Outcomes)}};
    AddEvents(Options, Outcomes, a_rAnswer);
    if (const SOutcome* pFault = Fault(Outcomes))
    {
        a_rAnswer["error"] = pFault->m_strError;
        return 500;
    }
    return 200;
}

std::vector<CRegisterSets::SEntry> CRegisterSets::Entries(const json& a_rSet) const
{
    if (!a_rSet.is_object() || a_rSet.value("format", json()) != kFormat)
        throw SBadRequest{std::string("not a register set: its 'format' must be \"") + kFormat + "\""};
    const auto Device = a_rSet.find("device");
    if (Device == a_rSet.end() || !Device->is_object() || Device->value("xmlVersion", json()) != m_rMap["device"]["xmlVersion"])
        throw SBadRequest{"the set was not saved from this device's register description (" +
                          m_rMap["device"]["xmlVersion"].get<std::string>() + ")"};
    const auto Registers = a_rSet.find("registers");
    if (Registers == a_rSet.end() || !Registers->is_array())
        throw SBadRequest{"a register set holds an array 'registers'"};
    std::vector<SEntry> Result;
    std::set<std::string> Seen;
    for (const json& rItem : *Registers)
    {
        if (!rItem.is_object() || !rItem.contains("name") || !rItem["name"].is_string())
            throw SBadRequest{"each register of a set is an object with its 'name'"};
        const std::string strName = rItem["name"].get<std::string>();
        const json& rRegister = Register(strName);
        if (!Seen.insert(strName).second)
            throw SBadRequest{"register " + strName + " is in the set twice"};
        const unsigned udwWords = rRegister["words"].get<unsigned>();
        if (udwWords > 1)
        {
            if (!rItem.contains("words") || !rItem["words"].is_string() || rItem["words"].get_ref<const std::string&>().empty() ||
                rItem.size() != 2)
                throw SBadRequest{strName + " is a memory: its 'words' are hexadecimal words separated by spaces"};
            SEntry Entry;
            Entry.m_strRegister = strName;
            const std::string& strWords = rItem["words"].get_ref<const std::string&>();
            for (std::size_t uAt = 0; uAt < strWords.size(); uAt += 9)
            {
                unsigned long long uWord = 0;
                const std::string strWord = strWords.substr(uAt, 8);
                if (strWord.size() != 8 || !Digits(strWord, true, uWord) || (uAt + 8 < strWords.size() && strWords[uAt + 8] != ' '))
                    throw SBadRequest{strName + ": word " + std::to_string(uAt / 9) + " is not eight hexadecimal digits"};
                Entry.m_Words.push_back(static_cast<unsigned>(uWord));
            }
            if (Entry.m_Words.size() > udwWords)
                throw SBadRequest{strName + " has " + std::to_string(udwWords) + " words, the set " +
                                  std::to_string(Entry.m_Words.size())};
            Result.push_back(std::move(Entry));
            continue;
        }
        if (!rItem.contains("signals") || !rItem["signals"].is_object() || rItem.size() != 2)
            throw SBadRequest{strName + ": its 'signals' are an object of signal names and value texts"};
        for (const auto& rValue : rItem["signals"].items())
        {
            SEntry Entry;
            Entry.m_strRegister = strName;
            Entry.m_strSignal = rValue.key();
            Entry.m_pSignal = FindSignal(rRegister, Entry.m_strSignal);
            if (Entry.m_pSignal == nullptr)
                throw SBadRequest{"no signal " + Shown(Entry.m_strSignal) + " in register " + strName};
            if (!rValue.value().is_string())
                throw SBadRequest{strName + "." + Entry.m_strSignal + ": a value is a text"};
            Entry.m_strText = rValue.value().get<std::string>();
            if (!ValueOf(*Entry.m_pSignal, Entry.m_strText, Entry.m_udwValue) ||
                Entry.m_udwValue > (*Entry.m_pSignal)["max"].get<unsigned>())
                throw SBadRequest{strName + "." + Entry.m_strSignal + ": \"" + Shown(Entry.m_strText) +
                                  "\" is not a value of it (an enumerator name, 1F/h or 31/d up to " +
                                  std::to_string((*Entry.m_pSignal)["max"].get<unsigned>()) + ")"};
            Result.push_back(std::move(Entry));
        }
    }
    return Result;
}

std::vector<CRegisterSets::SEntry> CRegisterSets::Defaults(const json& a_rBody) const
{
    std::vector<std::string> Chosen = Names(a_rBody, "registers");
    const bool bAll = Chosen.empty();
    if (bAll)
        for (const json& rRegister : m_rMap["registers"])
            Chosen.push_back(rRegister["name"].get<std::string>());
    std::vector<SEntry> Result;
    for (const std::string& strName : Chosen)
    {
        const json& rRegister = Register(strName);
        const unsigned udwWords = rRegister["words"].get<unsigned>();
        if (udwWords > 1)
        {
            if (!bAll)  // a memory's defaults are its words all 0
            {
                Result.push_back(SEntry());
                Result.back().m_strRegister = strName;
                Result.back().m_Words.assign(udwWords, 0);
            }
            continue;
        }
        for (const json& rSignal : rRegister["signals"])
        {
            SEntry Entry;
            Entry.m_strRegister = strName;
            Entry.m_strSignal = rSignal["name"].get<std::string>();
            Entry.m_pSignal = &rSignal;
            Entry.m_udwValue = rSignal["default"].get<unsigned>();
            Entry.m_strText = TextOf(rSignal, Entry.m_udwValue);
            Result.push_back(std::move(Entry));
        }
    }
    return Result;
}

int CRegisterSets::Compare(const json& a_rBody, json& a_rAnswer)
{
    CheckFields(a_rBody, {"set", "registers", "trace"});
    if (a_rBody.contains("set") && a_rBody.contains("registers"))
        throw SBadRequest{"compare takes a 'set', or the 'registers' to hold against their defaults"};
    const std::vector<SEntry> Entries = a_rBody.contains("set") ? this->Entries(a_rBody["set"]) : Defaults(a_rBody);
    std::vector<SOperation> Operations;
    json Skipped = json::array();
    std::vector<const SEntry*> Compared;
    for (const SEntry& rEntry : Entries)
    {
        if (!Register(rEntry.m_strRegister)["readable"].get<bool>())
        {
            if (Skipped.empty() || Skipped.back()["register"] != rEntry.m_strRegister)
                Skipped.push_back({{"register", rEntry.m_strRegister}, {"reason", "write-only: it cannot be read"}});
            continue;
        }
        SOperation Operation;
        Operation.m_strRegister = rEntry.m_strRegister;
        Operation.m_strSignal = rEntry.m_strSignal;
        if (rEntry.m_strSignal.empty())
        {
            Operation.m_eOperation = EOperation::WORDS;
            Operation.m_udwCount = static_cast<unsigned>(rEntry.m_Words.size());
        }
        Operations.push_back(Operation);
        Compared.push_back(&rEntry);
    }
    const SBatchOptions Options = Traced(a_rBody);
    const std::vector<SOutcome> Outcomes = RunCounted(Operations, Options);
    json Differences = json::array();
    std::size_t uCompared = 0;
    for (std::size_t i = 0; i < Outcomes.size(); ++i)
    {
        const SEntry& rEntry = *Compared[i];
        const SOutcome& rOutcome = Outcomes[i];
        if (rOutcome.m_eStatus != SOutcome::DONE)
            continue;
        if (rEntry.m_strSignal.empty())
        {
            for (std::size_t w = 0; w < rEntry.m_Words.size() && w < rOutcome.m_Words.size(); ++w, ++uCompared)
                if (rEntry.m_Words[w] != rOutcome.m_Words[w])
                    Differences.push_back({{"register", rEntry.m_strRegister}, {"word", w},
                                           {"set", HexText(rEntry.m_Words[w])}, {"device", HexText(rOutcome.m_Words[w])}});
            continue;
        }
        ++uCompared;
        const std::string strDevice = rOutcome.m_Texts.empty() ? "" : rOutcome.m_Texts.front();
        unsigned udwDevice = 0;
        if (!ValueOf(*rEntry.m_pSignal, strDevice, udwDevice) || udwDevice != rEntry.m_udwValue)
            Differences.push_back({{"register", rEntry.m_strRegister}, {"signal", rEntry.m_strSignal},
                                   {"set", rEntry.m_strText}, {"device", strDevice}});
    }
    a_rAnswer = {{"differences", std::move(Differences)}, {"compared", uCompared}, {"skipped", std::move(Skipped)},
                 {"reports", Reports(Outcomes)}};
    AddEvents(Options, Outcomes, a_rAnswer);
    if (const SOutcome* pFault = Fault(Outcomes))
    {
        a_rAnswer["error"] = pFault->m_strError;
        return 500;
    }
    return 200;
}

const CRegisterSets::SSetOperation* CRegisterSets::Find(const std::string& a_strOperation)
{
    static const SSetOperation kOperations[] = {
        {"save", false, [](CRegisterSets& r, const json& b, json& a, const OnDone&) { return r.Save(b, a); }},
        {"compare", false, [](CRegisterSets& r, const json& b, json& a, const OnDone&) { return r.Compare(b, a); }},
        {"apply", true, [](CRegisterSets& r, const json& b, json& a, const OnDone& d) {
             return r.Apply(b, a, d ? d : [](int, const std::string&) {});
         }}};
    for (const SSetOperation& rOperation : kOperations)
        if (a_strOperation == rOperation.m_pcName)
            return &rOperation;
    return nullptr;
}

std::vector<SOutcome> CRegisterSets::RunCounted(const std::vector<SOperation>& a_rOperations,
                                                const SBatchOptions& a_rOptions)
{
    std::vector<SOutcome> Outcomes = m_rRuntime.RunBatch(a_rOperations, a_rOptions);
    for (const SOutcome& rOutcome : Outcomes)
        m_uBusFaults += rOutcome.m_Record.m_uBusFaults;
    return Outcomes;
}

int CRegisterSets::Run(const std::string& a_strOperation, const json& a_rBody, json& a_rAnswer, const OnDone& a_OnDone)
{
    m_uBusFaults = 0;  // a refused call reached no bus
    const SSetOperation* const pOperation = Find(a_strOperation);
    if (!pOperation)
        throw SBadRequest{"no such set operation: " + Shown(a_strOperation)};
    return pOperation->m_pRun(*this, a_rBody, a_rAnswer, a_OnDone);
}

int CRegisterSets::Apply(const json& a_rBody, json& a_rAnswer, const OnDone& a_OnDone)
{
    CheckFields(a_rBody, {"set", "only", "trace"});
    if (!a_rBody.contains("set"))
        throw SBadRequest{"missing field 'set'"};
    std::vector<SEntry> Entries = this->Entries(a_rBody["set"]);
    // What to apply: whole entries (a register, a field) and ranges of a memory's words.
    std::map<std::string, std::vector<std::pair<unsigned, unsigned>>> Ranges;  // register: (start, count)
    const auto Only = a_rBody.find("only");
    if (Only != a_rBody.end())
    {
        const char* const pcShape = "field 'only' must be an array of {\"register\": R, \"signal\": S} (signal optional) "
                                    "or {\"register\": R, \"start\": N, \"count\": N} (a memory's words)";
        if (!Only->is_array())
            throw SBadRequest{pcShape};
        std::set<std::pair<std::string, std::string>> Chosen;
        unsigned long long uRangeWords = 0;
        std::size_t uRanges = 0;
        for (const json& rItem : *Only)
        {
            // A field misspelt would widen the write to the whole register: every field is known.
            if (rItem.is_object())
                for (const auto& rField : rItem.items())
                    if (rField.key() != "register" && rField.key() != "signal" && rField.key() != "start" && rField.key() != "count")
                        throw SBadRequest{"unknown field '" + Shown(rField.key()) + "' in 'only'"};
            const bool bRange = rItem.is_object() && (rItem.contains("start") || rItem.contains("count"));
            if (!rItem.is_object() || !rItem.contains("register") || !rItem["register"].is_string() ||
                (rItem.contains("signal") && (!rItem["signal"].is_string() || bRange)) ||
                (bRange && !(rItem.contains("start") && rItem["start"].is_number_unsigned() && rItem.contains("count") &&
                             rItem["count"].is_number_unsigned() && rItem["count"].get<unsigned long long>() > 0)))
                throw SBadRequest{pcShape};
            const std::string strRegister = rItem["register"].get<std::string>();
            const std::string strSignal = rItem.value("signal", std::string());
            const SEntry* pFound = nullptr;
            for (const SEntry& rEntry : Entries)
                if (pFound == nullptr && rEntry.m_strRegister == strRegister && (strSignal.empty() || rEntry.m_strSignal == strSignal))
                    pFound = &rEntry;
            if (pFound == nullptr)
                throw SBadRequest{"the set has no " + Shown(strRegister) + (strSignal.empty() ? "" : "." + Shown(strSignal))};
            if (!bRange)
            {
                Chosen.insert({strRegister, strSignal});
                continue;
            }
            const unsigned long long uStart = rItem["start"].get<unsigned long long>();
            const unsigned long long uCount = rItem["count"].get<unsigned long long>();
            const std::size_t uWords = pFound->m_Words.size();
            if (!pFound->m_strSignal.empty() || uCount > uWords || uStart > uWords - uCount)
                throw SBadRequest{"the set has no words " + std::to_string(uStart) + " to " +
                                  (uCount > uWords ? std::string("beyond") : std::to_string(uStart + uCount - 1)) + " of " + strRegister};
            // Ranges repeat what a set holds once: their words are bounded as a request's are.
            uRangeWords += uCount;
            if (uRangeWords > SLimits::kMaxWords || ++uRanges > SLimits::kMaxOperations)
                throw SBadRequest{"too many words: at most " + std::to_string(SLimits::kMaxWords) + " in one request"};
            Ranges[strRegister].push_back({static_cast<unsigned>(uStart), static_cast<unsigned>(uCount)});
        }
        std::vector<SEntry> Kept;
        for (SEntry& rEntry : Entries)
            if (Chosen.count({rEntry.m_strRegister, ""}) != 0 || Chosen.count({rEntry.m_strRegister, rEntry.m_strSignal}) != 0)
                Kept.push_back(std::move(rEntry));
            else if (rEntry.m_strSignal.empty() && Ranges.count(rEntry.m_strRegister) != 0)
                Kept.push_back(std::move(rEntry));
        Entries.swap(Kept);
        for (auto It = Ranges.begin(); It != Ranges.end();)  // a whole register chosen too: the whole wins
            It = Chosen.count({It->first, ""}) != 0 ? Ranges.erase(It) : std::next(It);
    }
    std::vector<SOperation> Operations;
    std::vector<const SEntry*> Applied;
    json Skipped = json::array();
    for (const SEntry& rEntry : Entries)
    {
        if (!Register(rEntry.m_strRegister)["writable"].get<bool>())
        {
            if (Skipped.empty() || Skipped.back()["register"] != rEntry.m_strRegister)
                Skipped.push_back({{"register", rEntry.m_strRegister}, {"reason", "read-only: it cannot be written"}});
            continue;
        }
        const auto Range = Ranges.find(rEntry.m_strRegister);
        if (rEntry.m_strSignal.empty() && Range != Ranges.end())
        {
            for (const auto& rRange : Range->second)
            {
                SOperation Operation;
                Operation.m_strRegister = rEntry.m_strRegister;
                Operation.m_eOperation = EOperation::WRITE_WORDS;
                Operation.m_udwStart = rRange.first;
                Operation.m_Words.assign(rEntry.m_Words.begin() + rRange.first, rEntry.m_Words.begin() + rRange.first + rRange.second);
                Operations.push_back(std::move(Operation));
                Applied.push_back(&rEntry);
            }
            continue;
        }
        SOperation Operation;
        Operation.m_strRegister = rEntry.m_strRegister;
        if (rEntry.m_strSignal.empty())
        {
            Operation.m_eOperation = EOperation::WRITE_WORDS;
            Operation.m_Words = rEntry.m_Words;
        }
        else
        {
            // The text the library takes for the value: "31/d" in a hand-edited set goes out as
            // 0000001F/h, an enumerator by its name.
            Operation.m_eOperation = EOperation::WRITE;
            Operation.m_strSignal = rEntry.m_strSignal;
            Operation.m_Values = {TextOf(*rEntry.m_pSignal, rEntry.m_udwValue)};
        }
        Operations.push_back(std::move(Operation));
        Applied.push_back(&rEntry);
    }
    SBatchOptions Options = Traced(a_rBody);
    std::size_t uWritten = 0, uRefused = 0;
    Options.m_OnDone = [&](const std::vector<SOperation>&, const std::vector<SOutcome>& a_rOutcomes) {
        for (const SOutcome& rOutcome : a_rOutcomes)
        {
            uWritten += rOutcome.m_eStatus == SOutcome::DONE;
            uRefused += rOutcome.m_eStatus == SOutcome::REFUSED;
        }
        const SOutcome* pFault = Fault(a_rOutcomes);
        a_OnDone(pFault != nullptr ? 500 : 200,
                 pFault != nullptr ? pFault->m_strError
                                   : std::to_string(uWritten) + " written, " + std::to_string(uRefused) + " refused");
    };
    const std::vector<SOutcome> Outcomes = RunCounted(Operations, Options);
    json Results = json::array();
    for (std::size_t i = 0; i < Outcomes.size(); ++i)
    {
        json Result = {{"register", Applied[i]->m_strRegister}};
        if (!Applied[i]->m_strSignal.empty())
            Result["signal"] = Applied[i]->m_strSignal;
        if (Operations[i].m_eOperation == EOperation::WRITE_WORDS && Ranges.count(Applied[i]->m_strRegister) != 0)
            Result["start"] = Operations[i].m_udwStart, Result["count"] = Operations[i].m_Words.size();
        const SOutcome& rOutcome = Outcomes[i];
        Result["status"] = rOutcome.m_eStatus == SOutcome::DONE      ? 200
                           : rOutcome.m_eStatus == SOutcome::REFUSED ? 422
                           : rOutcome.m_eStatus == SOutcome::FAULT   ? 500
                                                                     : 424;
        if (rOutcome.m_eStatus != SOutcome::DONE)
            Result["error"] = rOutcome.m_eStatus == SOutcome::SKIPPED ? "not run: an earlier operation faulted" : rOutcome.m_strError;
        Results.push_back(std::move(Result));
    }
    a_rAnswer = {{"results", std::move(Results)}, {"written", uWritten}, {"refused", uRefused},
                 {"skipped", std::move(Skipped)}, {"reports", Reports(Outcomes)}};
    AddEvents(Options, Outcomes, a_rAnswer);
    if (const SOutcome* pFault = Fault(Outcomes))
    {
        a_rAnswer["error"] = pFault->m_strError;
        return 500;
    }
    return 200;
}
} // namespace rlzev
