// Fuzzes the device service's request handling (no sockets): requests built from the input
// bytes, half of them shaped like real ones, go to one served simulated device. After each,
// a refused request (400, 401, 403, 404, 405, 413) must have made no transfer and changed no
// word, flag or lock state, and every answer must be a JSON object.
#include "DeviceRuntime.h"
#include "DeviceService.h"
#include "ZEV.h"
#include "ZevSimulator.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <sstream>

namespace
{
const std::string kToken = "fuzz-token-0123456789abcdef";

struct SServed
{
    SServed()
        : Host(Reports), Runtime(Host.Bus, Host.Utility, Host.Status), Service(Runtime, {kToken, false, nullptr}),
          ReadOnly(Runtime, {kToken, true, nullptr})
    {
        Host.Utility.m_bQuietAccessDenied = true;
        Runtime.Run([](CZEV& a_rDevice) { a_rDevice.SetToDefault(); });
    }
    std::ostream Reports{nullptr};
    SSimulatedHost Host;
    rlzev::CDeviceRuntime Runtime;
    rlzev::CDeviceService Service;
    rlzev::CDeviceService ReadOnly;
};

// Transfers and every word, flag and lock state, folded into one number.
unsigned long long Fingerprint(SServed& a_rServed)
{
    return a_rServed.Runtime.Run([&](CZEV& a_rDevice) {
    unsigned long long uHash = 1469598103934665603ull;
    auto Mix = [&uHash](unsigned long long a_uValue) { uHash = (uHash ^ a_uValue) * 1099511628211ull; };
    const auto& C = a_rServed.Host.Bus.m_Counters;
    Mix(C.m_uReads);
    Mix(C.m_uWrites);
    Mix(C.m_uWaits);
    for (const CRegisterBase* pRegister : a_rDevice.GetRegisters())
    {
        Mix(pRegister->GetLockState() * 2 + pRegister->IsWritePending());
        const unsigned* pudwHw = pRegister->GetHwImage();
        const unsigned* pudwApp = pRegister->GetAppImage();
        for (unsigned i = 0; i < pRegister->GetWordCount(); ++i)
            Mix((static_cast<unsigned long long>(pudwHw[i]) << 32) | pudwApp[i]);
        for (const CSignalBase* pSignal : pRegister->GetSignals())
            Mix(pSignal->GetLockState());
    }
    return uHash;
    });
}

struct SBytes
{
    const uint8_t* m_pData;
    size_t m_uSize;
    uint8_t Take() { return m_uSize == 0 ? 0 : (--m_uSize, *m_pData++); }
    std::string Text(size_t a_uMax)
    {
        const size_t uLength = std::min<size_t>(Take() % (a_uMax + 1), m_uSize);
        std::string strText(reinterpret_cast<const char*>(m_pData), uLength);
        m_pData += uLength;
        m_uSize -= uLength;
        return strText;
    }
};

std::string JsonText(const std::string& a_strText)
{
    return nlohmann::json(a_strText).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A body with the fields a request may have, each present or not, well-formed or not; in a
// batch, each operation names itself.
std::string ShapedBody(const rlzev::CCatalogue& a_rCatalogue, SBytes& a_rIn, bool a_bOperation = false)
{
    const std::vector<rlzev::SOperationRow>& rTable = rlzev::OperationTable();
    static const char* const apcValues[] = {"1/d", "-2/d", "0x1F/h", "FFFFFFFF/h", "4294967296/d", "MARKER_SIG_3",
                                            "ON", "12", "/d", "1a/h"};
    std::string strBody = "{";
    auto Field = [&](const std::string& a_strName, const std::string& a_strValue) {
        strBody += (strBody.size() > 1 ? "," : "") + JsonText(a_strName) + ":" + a_strValue;
    };
    if (a_bOperation)
    {
        // Every operation of the table, and one there is not.
        const std::size_t uPick = a_rIn.Take() % (rTable.size() + 1);
        Field("op", JsonText(uPick < rTable.size() ? rTable[uPick].m_pcName : "nope"));
    }
    const uint8_t uFields = a_rIn.Take();
    const auto& rRegisters = a_rCatalogue.Registers();
    const rlzev::SRegisterEntry& Reg = rRegisters[(a_rIn.Take() * 256u + a_rIn.Take()) % rRegisters.size()];
    if (uFields & 1)
        Field("register", JsonText(a_rIn.Take() < 240 ? Reg.m_strName : a_rIn.Text(40)));
    if (uFields & 2)
    {
        const uint8_t uPick = a_rIn.Take();
        std::string strSignal = Reg.m_Signals.empty() ? "" : Reg.m_Signals[uPick % Reg.m_Signals.size()].m_strName;
        if (uPick >= 240)
            strSignal = uPick & 1 ? "ALL" : a_rIn.Text(40);
        Field("signal", JsonText(strSignal));
    }
    if (uFields & 4)
    {
        std::string strValues = "[";
        for (unsigned i = 0, n = a_rIn.Take() % 6; i < n; ++i)
        {
            const uint8_t uPick = a_rIn.Take();
            strValues += (i > 0 ? "," : "") + JsonText(uPick < 200 ? apcValues[uPick % 10] : a_rIn.Text(20));
        }
        Field("values", strValues + "]");
    }
    if (uFields & 8)
        Field("start", std::to_string(a_rIn.Take() % 16 == 0 ? Reg.m_udwWords + a_rIn.Take() % 3 : a_rIn.Take() % 8));
    if (uFields & 16)
        Field("count", std::to_string(a_rIn.Take() % 16 == 0 ? Reg.m_udwWords + a_rIn.Take() % 3 : a_rIn.Take() % 8));
    if (uFields & 32)
        Field("enable", a_rIn.Take() & 1 ? "true" : "false");
    if (uFields & 32 && uFields & 4)
        Field("words", a_rIn.Take() & 1 ? "[1,2,4294967295]" : "[4294967296]");
    if (uFields & 32 && uFields & 8)
    {
        const uint8_t uPick = a_rIn.Take();
        Field("value", std::to_string(uPick & 1 ? uPick : 0xFFFFFFFFu));
        Field("mode", std::to_string(uPick % 4));
        Field("readHw", uPick & 2 ? "true" : "false");
    }
    if (uFields & 64)
        Field(a_rIn.Text(10), a_rIn.Text(10));  // an unknown field, or malformed JSON
    return strBody + (uFields & 128 ? "" : "}");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* a_pData, size_t a_uSize)
{
    static SServed* s_pServed = new SServed;  // one device for the whole run, as a server keeps one
    SServed& S = *s_pServed;
    SBytes In{a_pData, a_uSize};
    static const char* const apcMethods[] = {"GET", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "HEAD", "post"};
    // The paths that are not operations of the table, then the table's.
    static const std::vector<std::string> Operations = [] {
        std::vector<std::string> Names = {"device", "registers", "events", "map", "sets/save", "sets/compare",
                                          "sets/apply"};
        for (const rlzev::SOperationRow& rRow : rlzev::OperationTable())
            Names.push_back(rRow.m_pcName);
        Names.push_back("batch");
        Names.push_back("registers/");
        return Names;
    }();
    const unsigned uOperations = static_cast<unsigned>(Operations.size());
    const auto& rRegisters = S.Runtime.Catalogue().Registers();
    const uint8_t uHead = In.Take();
    const uint8_t uPath = In.Take();
    rlzev::SHttpRequest Request;
    Request.m_strMethod = apcMethods[uHead & 7];
    Request.m_strPath = uPath < 240 ? "/api/v1/" + Operations[uPath % uOperations] : In.Text(40);
    if (uPath % uOperations == uOperations - 1)
        Request.m_strPath += In.Take() & 1 ? rRegisters[In.Take() % rRegisters.size()].m_strName : In.Text(40);
    if ((uHead >> 3) % 4 == 0)
        Request.m_strQuery = "trace=1";
    const unsigned uAuth = (uHead >> 5) % 4;
    Request.m_strAuthorization = uAuth == 0 ? "" : uAuth == 1 ? "Bearer " + kToken.substr(1) : "Bearer " + kToken;
    if (uPath % uOperations == uOperations - 2 && In.Take() % 4 != 0)
    {
        Request.m_strBody = "{\"operations\":[";
        for (unsigned i = 0, n = In.Take() % 4; i < n; ++i)
            Request.m_strBody += (i > 0 ? "," : "") + ShapedBody(S.Runtime.Catalogue(), In, true);
        Request.m_strBody += In.Take() % 8 == 0 ? "]" : "]}";
    }
    else
    {
        Request.m_strBody = In.Take() & 1 ? ShapedBody(S.Runtime.Catalogue(), In) : In.Text(255);
    }
    Request.m_strClient = "fuzz";

    // Read-back faults now and then, so that reports travel too.
    S.Runtime.Run([&](CZEV&) {
        S.Host.Bus.m_udwReadyAfterPolls = uHead % 16 == 15 ? 0 : 1;
        S.Host.Bus.m_iThrowOnRead = uHead % 32 == 14 ? -1 : 0;
    });

    const unsigned long long uBefore = Fingerprint(S);
    const rlzev::SHttpResponse Response = (uAuth == 3 ? S.ReadOnly : S.Service).Handle(Request);
    const bool bRefused = Response.m_iStatus == 400 || Response.m_iStatus == 401 || Response.m_iStatus == 403 ||
                          Response.m_iStatus == 404 || Response.m_iStatus == 405 || Response.m_iStatus == 413;
    if (bRefused && Fingerprint(S) != uBefore)
    {
        std::fprintf(stderr, "refused request changed the device: %d %s\n", Response.m_iStatus, Response.m_strBody.c_str());
        std::abort();
    }
    // The map is the generated file, served as it is.
    const bool bMap = Request.m_strPath == "/api/v1/map" && Response.m_iStatus == 200;
    if (!bMap && !nlohmann::json::parse(Response.m_strBody, nullptr, false).is_object())
    {
        std::fprintf(stderr, "answer is not a JSON object: %s\n", Response.m_strBody.c_str());
        std::abort();
    }
    return 0;
}
