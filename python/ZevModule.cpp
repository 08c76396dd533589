// The ZEV from Python: the framework bound once (device, registers, memories, signals, the
// host interfaces), the simulated device's host objects, and the register map from which
// the Python package builds its attribute tree and enumerations at import time.
#include "ZEV.h"
#include "ZevSimulator.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <unordered_map>

namespace py = pybind11;

namespace
{
// A Python integer as a 32-bit word: anything else is refused before the device sees it.
unsigned Word(const py::handle& a_rValue, const char* a_pcWhat)
{
    if (!py::isinstance<py::int_>(a_rValue) || py::isinstance<py::bool_>(a_rValue))
        throw py::type_error(std::string(a_pcWhat) + " must be an int, not " +
                             std::string(py::str(py::type::of(a_rValue).attr("__name__"))));
    const py::int_ Value = py::reinterpret_borrow<py::int_>(a_rValue);
    if (Value < py::int_(0) || Value > py::int_(0xFFFFFFFFull))
        throw py::value_error(std::string(a_pcWhat) + " " + std::string(py::str(a_rValue)) +
                              " is not a 32-bit word (0 to 4294967295)");
    return Value.cast<unsigned>();
}

// ---- Host objects written in Python -------------------------------------------------------
// Each forwards the library's call to the Python method of the same name. A Python exception
// becomes pybind11's error_already_set, a C++ exception the library treats like any host
// exception; pybind11 turns it back into the original Python exception at the call boundary.


class PyBus : public CHWAccess
{
public:
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        py::gil_scoped_acquire Gil;
        py::function Method = py::get_override(static_cast<const CHWAccess*>(this), "Write");
        if (!Method)
            throw std::runtime_error("the bus has no Write method");
        py::list Words;
        for (unsigned i = 0; i < (a_udwByteCount + 3) / 4; ++i)
            Words.append(a_udwpData[i]);
        Method(a_udwAddress, Words, a_udwByteCount);
    }
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        py::gil_scoped_acquire Gil;
        py::function Method = py::get_override(static_cast<const CHWAccess*>(this), "Read");
        if (!Method)
            throw std::runtime_error("the bus has no Read method");
        const py::object Result = Method(a_udwAddress, a_udwByteCount);
        const unsigned udwWords = (a_udwByteCount + 3) / 4;
        const py::sequence Words = py::reinterpret_borrow<py::sequence>(Result);
        if (!py::isinstance<py::sequence>(Result) || py::len(Words) != udwWords)
            throw py::value_error("Read must return a sequence of " + std::to_string(udwWords) + " word(s)");
        for (unsigned i = 0; i < udwWords; ++i)
            a_udwpData[i] = Word(Words[i], "a word read");
    }
    void Wait(unsigned a_udwDuration) override
    {
        py::gil_scoped_acquire Gil;
        py::function Method = py::get_override(static_cast<const CHWAccess*>(this), "Wait");
        if (Method)
            Method(a_udwDuration);
    }
};

class PyUtility : public CUtility_Interface
{
public:
    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
    {
        PYBIND11_OVERRIDE_PURE_NAME(void, CUtility_Interface, "ReportError", ReportError, std::string(a_pcFile),
                                    a_iLine, std::string(a_pcFunction), std::string(a_pcMessage));
    }
    bool StopWaiting() override { PYBIND11_OVERRIDE_PURE_NAME(bool, CUtility_Interface, "StopWaiting", StopWaiting); }
    void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
    {
        PYBIND11_OVERRIDE_PURE_NAME(void, CUtility_Interface, "ReportAccessDenied", ReportAccessDenied,
                                    std::string(a_pcFile), a_iLine, std::string(a_pcFunction), std::string(a_pcMessage));
    }
};

// Python prepares a status word by returning it.
class PyStatusRegister : public CIStatusRegister
{
public:
    void PrepareSet(unsigned* a_udwpValue) override { Prepare("PrepareSet", a_udwpValue); }
    void PrepareReset(unsigned* a_udwpValue) override { Prepare("PrepareReset", a_udwpValue); }
    void PrepareResetAll(unsigned* a_udwpValue) override { Prepare("PrepareResetAll", a_udwpValue); }

private:
    void Prepare(const char* a_pcName, unsigned* a_udwpValue)
    {
        py::gil_scoped_acquire Gil;
        py::function Method = py::get_override(static_cast<const CIStatusRegister*>(this), a_pcName);
        if (!Method)
            throw std::runtime_error(std::string("the status register has no ") + a_pcName + " method");
        *a_udwpValue = Word(Method(*a_udwpValue), "a prepared status word");
    }
};

// Reports kept for Python: (file, line, function, message, access_denied) in order.
class CReportLog : public CUtility_Interface
{
public:
    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
    {
        m_Reports.emplace_back(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, false);
    }
    bool StopWaiting() override { return m_bStopWaiting; }
    void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
    {
        m_Reports.emplace_back(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, true);
    }
    std::vector<std::tuple<std::string, int, std::string, std::string, bool>> m_Reports;
    bool m_bStopWaiting = false;
};

// Change-log text to a Python file-like object, a line at a time.
class CPyLineStream : public std::streambuf
{
public:
    explicit CPyLineStream(py::object a_File) : m_File(std::move(a_File)), m_Stream(this) {}
    std::ostream& Stream() { return m_Stream; }
    const py::object& File() const { return m_File; }

protected:
    int_type overflow(int_type a_iChar) override
    {
        if (traits_type::eq_int_type(a_iChar, traits_type::eof()))
            return traits_type::not_eof(a_iChar);
        m_strLine += traits_type::to_char_type(a_iChar);
        if (a_iChar == '\n')
        {
            py::gil_scoped_acquire Gil;
            m_File.attr("write")(py::str(m_strLine));
            m_strLine.clear();
        }
        return a_iChar;
    }

private:
    py::object m_File;
    std::ostream m_Stream;
    std::string m_strLine;
};

// ---- The device and its parts ----------------------------------------------------------

class CPyDevice;

// A field, typed: values in and out as ints, or as members of its enumeration.
class CPySignal
{
public:
    CPySignal(std::shared_ptr<CPyDevice> a_pDevice, CFieldSignal* a_pSignal) : m_pDevice(std::move(a_pDevice)), m_pSignal(a_pSignal) {}

    bool Set(const py::handle& a_rValue, int a_iMode)
    {
        unsigned udwValue = Word(a_rValue, "a signal value");
        if (udwValue > m_pSignal->GetMaxValue())
            throw py::value_error(m_pSignal->GetName() + " takes 0 to " + std::to_string(m_pSignal->GetMaxValue()) +
                                  ", not " + std::to_string(udwValue));
        return m_pSignal->Set(udwValue, static_cast<CSignalBase::ESignalHwWrite>(a_iMode));
    }
    py::object Get(bool a_bReadHW)
    {
        const unsigned udwValue = m_pSignal->Get(a_bReadHW);
        if (!m_Members.empty())
        {
            const auto It = m_Members.find(udwValue);
            if (It != m_Members.end())
                return It->second;
        }
        return py::int_(udwValue);
    }
    void SetEnumeration(const py::object& a_rEnum)
    {
        m_Enum = a_rEnum;
        m_Members.clear();
        for (const py::handle Member : a_rEnum)
            m_Members[Member.attr("value").cast<unsigned>()] = py::reinterpret_borrow<py::object>(Member);
    }

    std::shared_ptr<CPyDevice> m_pDevice;  // the signal keeps its device, and so the host objects, alive
    CFieldSignal* m_pSignal;
    py::object m_Enum = py::none();
    std::unordered_map<unsigned, py::object> m_Members;
};

class CPyRegister
{
public:
    CPyRegister(std::shared_ptr<CPyDevice> a_pDevice, CRegisterBase* a_pRegister)
        : m_pDevice(std::move(a_pDevice)), m_pRegister(a_pRegister),
          m_pParallelRam(dynamic_cast<CRamRegister<CParallelRead_ParallelWrite>*>(a_pRegister)),
          m_pSequentialRam(dynamic_cast<CRamRegister<CSequentialRead_ParallelWrite>*>(a_pRegister))
    {
    }
    bool IsMemory() const { return m_pParallelRam != nullptr || m_pSequentialRam != nullptr; }
    unsigned Size() const { return m_pParallelRam ? m_pParallelRam->GetRAMSize() : m_pSequentialRam ? m_pSequentialRam->GetRAMSize() : 1; }

    // Memory words: start and count are checked here so that Python gets an exception; the
    // library's own refusal (and its report) stays for what the host would pass.
    std::vector<unsigned> Get(unsigned a_udwStart, py::object a_Count, bool a_bReadHW)
    {
        RequireMemory();
        const unsigned udwCount = a_Count.is_none() ? (a_udwStart < Size() ? Size() - a_udwStart : 0) : a_Count.cast<unsigned>();
        CheckRange(a_udwStart, udwCount);
        std::vector<unsigned> Words(udwCount);
        if (udwCount == 0)
            return Words;
        const bool bOk = m_pParallelRam ? m_pParallelRam->Get(Words.data(), a_udwStart, udwCount, a_bReadHW)
                                        : m_pSequentialRam->Get(Words.data(), a_udwStart, udwCount, a_bReadHW);
        if (!bOk)
            throw py::value_error("the memory refused the range");
        return Words;
    }
    bool Set(const py::object& a_rValues, unsigned a_udwStart)
    {
        RequireMemory();
        std::vector<unsigned> Words;
        if (py::isinstance<py::buffer>(a_rValues))
        {
            const py::buffer_info Info = py::reinterpret_borrow<py::buffer>(a_rValues).request();
            if (Info.ndim != 1 || Info.itemsize != 4 || (Info.format != "I" && Info.format != "L" && Info.format != "=I" && Info.format != "<I"))
                throw py::type_error("a buffer of words must be one-dimensional unsigned 32-bit (format 'I'), not '" + Info.format + "'");
            const unsigned* pudwData = static_cast<const unsigned*>(Info.ptr);
            if (Info.strides[0] == 4)
                Words.assign(pudwData, pudwData + Info.shape[0]);
            else
                for (py::ssize_t i = 0; i < Info.shape[0]; ++i)
                    Words.push_back(*reinterpret_cast<const unsigned*>(static_cast<const char*>(Info.ptr) + i * Info.strides[0]));
        }
        else
        {
            if (!py::isinstance<py::sequence>(a_rValues) || py::isinstance<py::str>(a_rValues))
                throw py::type_error("words must be a sequence of ints or a buffer of unsigned 32-bit words");
            for (const py::handle Value : py::reinterpret_borrow<py::sequence>(a_rValues))
                Words.push_back(Word(Value, "a memory word"));
        }
        CheckRange(a_udwStart, static_cast<unsigned long long>(Words.size()));
        if (Words.empty())
            return true;
        return m_pParallelRam ? m_pParallelRam->Set(Words.data(), a_udwStart, static_cast<unsigned>(Words.size()), false)
                              : m_pSequentialRam->Set(Words.data(), a_udwStart, static_cast<unsigned>(Words.size()), false);
    }

    std::shared_ptr<CPyDevice> m_pDevice;
    CRegisterBase* m_pRegister;

private:
    void RequireMemory() const
    {
        if (!IsMemory())
            throw py::type_error(m_pRegister->GetName() + " is not a memory");
    }
    void CheckRange(unsigned a_udwStart, unsigned long long a_uCount) const
    {
        if (a_udwStart > Size() || a_uCount > Size() - a_udwStart)
            throw py::index_error(m_pRegister->GetName() + " has words 0 to " + std::to_string(Size() - 1) + ": start " +
                                  std::to_string(a_udwStart) + " and " + std::to_string(a_uCount) + " word(s) reach beyond");
    }

    CRamRegister<CParallelRead_ParallelWrite>* m_pParallelRam;
    CRamRegister<CSequentialRead_ParallelWrite>* m_pSequentialRam;
};

// The device and the host objects it was given: the device keeps them alive.
class CPyDevice
{
public:
    CPyDevice(py::object a_Bus, py::object a_Utility, py::object a_Status)
        : m_Bus(std::move(a_Bus)), m_Utility(std::move(a_Utility)), m_Status(std::move(a_Status))
    {
        auto Require = [](const py::object& a_rObject, bool a_bFits, const char* a_pcWhat) {
            if (!a_bFits)
                throw py::type_error(std::string(a_pcWhat) + ", not " +
                                     std::string(py::str(py::type::of(a_rObject).attr("__name__"))));
        };
        Require(m_Bus, py::isinstance<CHWAccess>(m_Bus), "bus must be a zev.HWAccess (a SimBus, or a subclass)");
        Require(m_Utility, py::isinstance<CUtility_Interface>(m_Utility), "utility must be a zev.Utility (a ReportLog, or a subclass)");
        Require(m_Status, py::isinstance<CIStatusRegister>(m_Status),
                "status must be a zev.StatusRegister (a SimStatusRegister, or a subclass)");
        CHWAccess* pBus = m_Bus.cast<CHWAccess*>();
        CUtility_Interface* pUtility = m_Utility.cast<CUtility_Interface*>();
        if (pBus->m_pUtility == nullptr)
            pBus->m_pUtility = pUtility;  // as a host wires it
        m_pDevice.reset(new CZEV(pBus, pUtility, m_Status.cast<CIStatusRegister*>()));
    }
    ~CPyDevice()
    {
        m_pDevice.reset();  // before the host objects and the log streams it uses
    }

    std::ostream* LogStream(const py::object& a_rFile)
    {
        if (a_rFile.is_none())
            return nullptr;
        if (!py::hasattr(a_rFile, "write"))
            throw py::type_error("the log goes to a file-like object with a write method, not " +
                                 std::string(py::str(py::type::of(a_rFile).attr("__name__"))));
        for (const auto& pStream : m_Logs)
            if (pStream->File().is(a_rFile))
                return &pStream->Stream();
        m_Logs.emplace_back(new CPyLineStream(a_rFile));
        return &m_Logs.back()->Stream();
    }

    py::object m_Bus, m_Utility, m_Status;
    std::vector<std::unique_ptr<CPyLineStream>> m_Logs;
    std::unique_ptr<CZEV> m_pDevice;
};

// A refusal of the text service, with the library's own text.
struct SServiceError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

std::list<std::string> Texts(const std::vector<std::string>& a_rValues)
{
    return std::list<std::string>(a_rValues.begin(), a_rValues.end());
}
} // namespace

PYBIND11_MODULE(_zev, m)
{
    m.doc() = "The ZEV register-access library (rl_zev) bound for Python; use the zev package.";
    static py::exception<SServiceError> s_ServiceError(m, "ServiceError", PyExc_RuntimeError);
    py::register_exception_translator([](std::exception_ptr a_pException) {
        try
        {
            if (a_pException)
                std::rethrow_exception(a_pException);
        }
        catch (const SServiceError& e)
        {
            s_ServiceError(e.what());
        }
    });
    auto Check = [](bool a_bOk, const std::string& a_strError) {
        if (!a_bOk)
            throw SServiceError(a_strError);
    };

    py::class_<CHWAccess, PyBus>(m, "HWAccess", "The bus: subclass it and define Write(address, words, byte_count), "
                                                "Read(address, byte_count) -> words, Wait(duration)")
        .def(py::init<>());
    py::class_<CUtility_Interface, PyUtility>(m, "Utility", "Reports: subclass it and define ReportError(file, line, "
                                                            "function, message), StopWaiting() -> bool, "
                                                            "ReportAccessDenied(file, line, function, message)")
        .def(py::init<>());
    py::class_<CIStatusRegister, PyStatusRegister>(m, "StatusRegister", "Status-word preparation: subclass it and define "
                                                                        "PrepareSet(word), PrepareReset(word), "
                                                                        "PrepareResetAll(word), each returning the word")
        .def(py::init<>());

    // The simulated ZEV's host objects.
    py::class_<CSimBus, CHWAccess>(m, "SimBus", "The simulated ZEV's address space")
        .def(py::init<>())
        .def("peek", &CSimBus::Peek, py::arg("address"))
        .def("poke", &CSimBus::Poke, py::arg("address"), py::arg("value"))
        .def("raise_status", &CSimBus::RaiseStatus, py::arg("address"), py::arg("bits"))
        .def_readwrite("ready_after_polls", &CSimBus::m_udwReadyAfterPolls)
        .def_readwrite("throw_on_read", &CSimBus::m_iThrowOnRead)
        .def_property_readonly("reads", [](const CSimBus& a_rBus) { return a_rBus.m_Counters.m_uReads; })
        .def_property_readonly("writes", [](const CSimBus& a_rBus) { return a_rBus.m_Counters.m_uWrites; })
        .def_property_readonly("waits", [](const CSimBus& a_rBus) { return a_rBus.m_Counters.m_uWaits; });
    py::class_<CSimStatusRegister, CIStatusRegister>(m, "SimStatusRegister", "Write-one-to-clear status preparation")
        .def(py::init<>());
    py::class_<CReportLog, CUtility_Interface>(m, "ReportLog", "Keeps every report: (file, line, function, message, access_denied)")
        .def(py::init<>())
        .def_readonly("reports", &CReportLog::m_Reports)
        .def_readwrite("stop_waiting", &CReportLog::m_bStopWaiting)
        .def("clear", [](CReportLog& a_rLog) { a_rLog.m_Reports.clear(); });

    py::class_<CPySignal>(m, "Signal", py::dynamic_attr())
        .def("set", &CPySignal::Set, py::arg("value"), py::arg("mode") = 0,
             "Typed Set: the value (an int, or a member of the enumeration) and the write mode; the library's result")
        .def("get", &CPySignal::Get, py::arg("read_hw") = false, "Typed Get: the enumeration's member, or an int")
        .def("lock", [](CPySignal& s) { s.m_pSignal->Lock(); })
        .def("unlock", [](CPySignal& s) { return s.m_pSignal->Unlock(); })
        .def("value_text", [](CPySignal& s) { return s.m_pSignal->GetValueByString(); })
        .def("service_read", [Check](CPySignal& s) {
            std::list<std::string> Values;
            std::string strError;
            Check(s.m_pSignal->ServiceRead(Values, strError), strError);
            return Values;
        })
        .def("service_write", [Check](CPySignal& s, const std::vector<std::string>& a_rValues) {
            std::string strError;
            Check(s.m_pSignal->ServiceWrite(Texts(a_rValues), strError), strError);
        }, py::arg("values"))
        .def("logging", [](CPySignal& s, const py::object& a_rFile, bool a_bEnable) {
            return s.m_pSignal->Logging(s.m_pDevice->LogStream(a_rFile), a_bEnable);
        }, py::arg("file"), py::arg("enable") = true)
        .def_property_readonly("name", [](const CPySignal& s) { return s.m_pSignal->GetName(); })
        .def_property_readonly("low", [](const CPySignal& s) { return s.m_pSignal->GetLow(); })
        .def_property_readonly("max", [](const CPySignal& s) { return s.m_pSignal->GetMaxValue(); })
        .def_property_readonly("lock_state", [](const CPySignal& s) { return s.m_pSignal->GetLockState(); })
        .def_property("Enum", [](const CPySignal& s) { return s.m_Enum; }, &CPySignal::SetEnumeration)
        .def("__repr__", [](const CPySignal& s) { return "<zev signal " + s.m_pSignal->GetName() + ">"; });

    py::class_<CPyRegister>(m, "Register", py::dynamic_attr())
        .def_property_readonly("name", [](const CPyRegister& r) { return r.m_pRegister->GetName(); })
        .def_property_readonly("address", [](const CPyRegister& r) {
            unsigned udwFirst = 0, udwSecond = 0;
            r.m_pRegister->GetAdresses(udwFirst, udwSecond);
            return udwFirst;
        })
        .def_property_readonly("width", [](const CPyRegister& r) { return r.m_pRegister->GetWidth(); })
        .def_property_readonly("words", &CPyRegister::Size)
        .def_property_readonly("is_memory", &CPyRegister::IsMemory)
        .def_property_readonly("lock_state", [](const CPyRegister& r) { return r.m_pRegister->GetLockState(); })
        .def("read", [](CPyRegister& r, unsigned a_udwStart, unsigned a_udwCount) {
            return r.m_pRegister->GetNotTypedValue(a_udwStart, a_udwCount);
        }, py::arg("start") = 0, py::arg("count") = 1, "The register's words as the application sees them (no transfer)")
        .def("get", &CPyRegister::Get, py::arg("start") = 0, py::arg("count") = py::none(), py::arg("read_hw") = true,
             "Memory words from start (default: to the end)")
        .def("set", &CPyRegister::Set, py::arg("words"), py::arg("start") = 0,
             "Memory words from start: a list of ints or any buffer of unsigned 32-bit words")
        .def("service_read", [Check](CPyRegister& r, const std::string& a_strSignal, unsigned a_udwStart, unsigned a_udwCount) {
            std::list<std::string> Values;
            std::string strError;
            Check(r.m_pRegister->ServiceRead(a_strSignal, Values, strError, a_udwStart, a_udwCount), strError);
            return Values;
        }, py::arg("signal") = "", py::arg("start") = 0, py::arg("count") = 1)
        .def("service_write", [Check](CPyRegister& r, const std::vector<std::string>& a_rValues, const std::string& a_strSignal,
                                      unsigned a_udwStart) {
            std::string strError;
            Check(r.m_pRegister->ServiceWrite(a_strSignal, Texts(a_rValues), strError, a_udwStart), strError);
        }, py::arg("values"), py::arg("signal") = "", py::arg("start") = 0)
        .def("lock", [Check](CPyRegister& r, const std::string& a_strSignal) {
            std::string strError;
            Check(r.m_pRegister->Lock(a_strSignal, strError), strError);
        }, py::arg("signal") = "ALL")
        .def("unlock", [Check](CPyRegister& r, const std::string& a_strSignal) {
            std::string strError;
            Check(r.m_pRegister->Unlock(a_strSignal, strError), strError);
        }, py::arg("signal") = "ALL")
        .def("set_to_default", [](CPyRegister& r) { return r.m_pRegister->SetToDefault(); })
        .def("__repr__", [](const CPyRegister& r) { return "<zev register " + r.m_pRegister->GetName() + ">"; });

    py::class_<CPyDevice, std::shared_ptr<CPyDevice>>(m, "Device")
        .def(py::init<py::object, py::object, py::object>(), py::arg("bus"), py::arg("utility"), py::arg("status"))
        .def("_parts", [](const std::shared_ptr<CPyDevice>& d) {
            // Every register with its signals, in list order, for the package's attribute tree.
            py::list Registers;
            for (CRegisterBase* pRegister : d->m_pDevice->GetRegisters())
            {
                py::list Signals;
                for (CSignalBase* pSignal : pRegister->GetSignals())
                    if (CFieldSignal* pField = dynamic_cast<CFieldSignal*>(pSignal))
                        Signals.append(py::cast(CPySignal(d, pField)));
                Registers.append(py::make_tuple(py::cast(CPyRegister(d, pRegister)), Signals));
            }
            return Registers;
        })
        .def_property_readonly("name", [](const CPyDevice& d) { return d.m_pDevice->GetName(); })
        .def_property_readonly("xml_version", [](const CPyDevice& d) { return d.m_pDevice->GetXMLVersion(); })
        .def_property_readonly("generator_version", [](const CPyDevice& d) { return d.m_pDevice->GetCodeGeneratorVersion(); })
        .def_property_readonly("bus", [](const CPyDevice& d) { return d.m_Bus; })
        .def_property_readonly("utility", [](const CPyDevice& d) { return d.m_Utility; })
        .def_property_readonly("status", [](const CPyDevice& d) { return d.m_Status; })
        .def("set_to_default", [](CPyDevice& d) { return d.m_pDevice->SetToDefault(); })
        .def("snapshot", [](CPyDevice& d) {
            std::ostringstream Text;
            d.m_pDevice->SnapShot(Text);
            return Text.str();
        })
        .def("lock_all", [](CPyDevice& d) { d.m_pDevice->LockAll(); })
        .def("unlock_all", [](CPyDevice& d) { d.m_pDevice->UnlockAll(); })
        .def("lock", [Check](CPyDevice& d, const std::string& a_strRegister, const std::string& a_strSignal) {
            std::string strError;
            Check(d.m_pDevice->Lock(a_strRegister, a_strSignal, strError), strError);
        }, py::arg("register"), py::arg("signal"))
        .def("unlock", [Check](CPyDevice& d, const std::string& a_strRegister, const std::string& a_strSignal) {
            std::string strError;
            Check(d.m_pDevice->Unlock(a_strRegister, a_strSignal, strError), strError);
        }, py::arg("register"), py::arg("signal"))
        .def("logging", [](CPyDevice& d, const std::string& a_strRegister, const std::string& a_strSignal,
                           const py::object& a_rFile, bool a_bEnable) {
            return d.m_pDevice->Logging(a_strRegister, a_strSignal, d.LogStream(a_rFile), a_bEnable);
        }, py::arg("register"), py::arg("signal"), py::arg("file"), py::arg("enable") = true)
        .def("service_read", [Check](CPyDevice& d, const std::string& a_strRegister, const std::string& a_strSignal,
                                     unsigned a_udwStart, unsigned a_udwCount) {
            std::list<std::string> Values;
            std::string strError;
            Check(d.m_pDevice->ServiceRead(a_strRegister, a_strSignal, Values, strError, a_udwStart, a_udwCount), strError);
            return Values;
        }, py::arg("register"), py::arg("signal") = "", py::arg("start") = 0, py::arg("count") = 1)
        .def("service_write", [Check](CPyDevice& d, const std::string& a_strRegister, const std::string& a_strSignal,
                                      const std::vector<std::string>& a_rValues, unsigned a_udwStart) {
            std::string strError;
            Check(d.m_pDevice->ServiceWrite(a_strRegister, a_strSignal, Texts(a_rValues), strError, a_udwStart), strError);
        }, py::arg("register"), py::arg("signal"), py::arg("values"), py::arg("start") = 0)
        .def("get_value_by_string", [](CPyDevice& d, const std::string& a_strRegister, const std::string& a_strSignal) {
            return d.m_pDevice->GetValueByString(a_strRegister, a_strSignal);
        }, py::arg("register"), py::arg("signal"));

    m.def("register_map", [] {
        // The generated register map: (name, address, width, words, access, status,
        // [(signal, low, width, default, [(enumerator, value)])]).
        py::list Map;
        for (unsigned i = 0; i < g_udwZevRegisterCount; ++i)
        {
            const SMapRegister& Reg = g_aZevRegisterMap[i];
            py::list Signals;
            for (unsigned s = 0; s < Reg.m_udwSignalCount; ++s)
            {
                const SSignalInfo& Sig = Reg.m_pSignals[s];
                py::list Enumerators;
                for (unsigned e = 0; e < Sig.m_udwEnumeratorCount; ++e)
                    Enumerators.append(py::make_tuple(Sig.m_pEnumerators[e].m_pcName, Sig.m_pEnumerators[e].m_udwValue));
                Signals.append(py::make_tuple(Sig.m_pcName, Sig.m_udwLow, Sig.m_udwWidth, Sig.m_udwDefault, Enumerators));
            }
            Map.append(py::make_tuple(Reg.m_pcName, Reg.m_udwAddress, Reg.m_udwWidth, Reg.m_udwWords, Reg.m_pcAccess,
                                      Reg.m_bStatus, Signals));
        }
        return Map;
    });

    // The same typed Set and Get from C++, for the benchmark's baseline: ns per call.
    m.def("_time_cpp_calls", [](CPySignal& s, unsigned a_udwValue, int a_iMode, unsigned a_udwCalls, bool a_bGet) {
        const auto Start = std::chrono::steady_clock::now();
        volatile unsigned udwSink = 0;
        for (unsigned i = 0; i < a_udwCalls; ++i)
        {
            if (a_bGet)
                udwSink = s.m_pSignal->Get(false);
            else
                s.m_pSignal->Set(a_udwValue, static_cast<CSignalBase::ESignalHwWrite>(a_iMode));
        }
        (void)udwSink;
        return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - Start).count() / a_udwCalls;
    });
}
