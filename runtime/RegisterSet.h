// Register sets: the device's values saved as one readable JSON document, held against the
// device (or the device against its defaults) field by field, and written back, all or a
// chosen part. The service does it once for every client: the console, zevctl and Python.
//
//   {"format": "rl_zev register set 1",
//    "device": {"name": "ZEV", "xmlVersion": "...", "generatorVersion": "..."},
//    "registers": [{"name": "AUD_CNTRL0", "signals": {"TRIG_SEL": "MARKER_SIG_3", "MULT_HP": "0000000C/h"}},
//                  {"name": "ENT_H1", "words": "00000001 FFFFFFFE 00000ABC 00000000 00000000 00000000 00000000"}]}
//
// Signal values are the library's own texts (an enumerator name, or eight hexadecimal
// digits and "/h"; "12/d" is taken too); a memory's words are eight hexadecimal digits each,
// separated by single spaces, from word 0. Kept with the runtime so that every door (the
// service, Python in this process) works on sets the same way.
#pragma once

#include "DeviceRuntime.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <unordered_map>

namespace rlzev
{
class CCatalogue;

// A request's body, or a register set's text, as JSON: a tree nested deeper than
// kMaxBodyDepth or a text that is no JSON is refused (SBadRequest) before any of it is built.
// Every door reads what it is handed with it; a_pcWhat names it in the refusal. A register
// set's file goes into a body's "set", so it is one level shallower (ParseSet).
constexpr int kMaxBodyDepth = 6;
nlohmann::json ParseBody(const std::string& a_strText, const char* a_pcWhat = "body", int a_iMaxDepth = kMaxBodyDepth);
nlohmann::json ParseSet(const std::string& a_strText);

// The register map, {"device": {name, xmlVersion, generatorVersion}, "registers": [...]}, keys
// sorted: what sets are checked against, and what the service serves as its map.
std::string CatalogueJson(const CCatalogue& a_rCatalogue);

// One report, and one event of a traced call (a report, a transfer or a change-log line), as
// the answers carry them.
nlohmann::json ReportJson(const SReport& a_rReport);
nlohmann::json EventJson(const SDeviceEvent& a_rEvent);

class CRegisterSets
{
public:
    static const char* const kFormat;  // "rl_zev register set 1"

    // a_rMap: CatalogueJson's document, parsed; kept by the caller.
    CRegisterSets(CDeviceRuntime& a_rRuntime, const nlohmann::json& a_rMap);

    // Each takes the request's body and gives the answer's body and status; a request that
    // breaks a rule throws SBadRequest before anything reaches the device.
    //   save    {"registers": [names] (default all), "memories": bool (default false)}
    //   compare {"set": document} or {"registers": [names]} (the device against its defaults)
    //   apply   {"set": document, "only": [{"register": R, "signal": S}, ...] (default all)}
    using OnDone = std::function<void(int, const std::string&)>;
    int Save(const nlohmann::json& a_rBody, nlohmann::json& a_rAnswer);
    int Compare(const nlohmann::json& a_rBody, nlohmann::json& a_rAnswer);
    // a_OnDone(status, result) runs while the device is still held (for the audit line).
    int Apply(const nlohmann::json& a_rBody, nlohmann::json& a_rAnswer, const OnDone& a_OnDone);
    // The three by name, and whether each changes the device: what a door routes and guards by.
    struct SSetOperation
    {
        const char* m_pcName;
        bool m_bChanging;
        int (*m_pRun)(CRegisterSets&, const nlohmann::json&, nlohmann::json&, const OnDone&);
    };
    static const SSetOperation* Find(const std::string& a_strOperation);
    // One of the three by name ("save", "compare", "apply"), a body that is no JSON object
    // refused as any broken rule is: what every door calls. With "trace": true the answer
    // has the call's "events" (transfers, reports, change-log lines), as any operation's.
    int Run(const std::string& a_strOperation, const nlohmann::json& a_rBody, nlohmann::json& a_rAnswer,
            const OnDone& a_OnDone = {});
    // The bus transfers that failed in the last call: the read-back path takes a host's
    // exception and only reports it, so a door that shows a fault state counts them here.
    std::size_t BusFaults() const { return m_uBusFaults; }

private:
    struct SEntry;
    std::vector<SEntry> Entries(const nlohmann::json& a_rSet) const;
    std::vector<SEntry> Defaults(const nlohmann::json& a_rBody) const;
    const nlohmann::json& Register(const std::string& a_strName) const;
    std::vector<SOutcome> RunCounted(const std::vector<SOperation>& a_rOperations, const SBatchOptions& a_rOptions);

    CDeviceRuntime& m_rRuntime;
    const nlohmann::json& m_rMap;
    std::unordered_map<std::string, std::size_t> m_Index;
    std::size_t m_uBusFaults = 0;
};
} // namespace rlzev
