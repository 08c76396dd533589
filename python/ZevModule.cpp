// The ZEV from Python: the framework bound once (device, registers, memories, signals, the
// host interfaces), the simulated device's host objects, and the register map from which
// the Python package builds its attribute tree and enumerations at import time.
//
// Every device is made by the device runtime and reached only through it: calls on one
// device are serialised, its reports go to its own utility and back to the caller, and the
// GIL is released while the library works, so that other Python threads run meanwhile.
#include "DeviceRuntime.h"
#include "Operations.h"
#ifdef RL_ZEV_SETS
#include "BadRequest.h"
#include "RegisterSet.h"
#endif
#include "ZEV.h"
#include "ZevSimulator.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <type_traits>
#include <unordered_map>

namespace py = pybind11;
using rlzev::CDeviceRuntime;
using rlzev::SCallRecord;
using rlzev::SReport;
using rlzev::MeansAll;

#ifndef RL_ZEV_VERSION
#define RL_ZEV_VERSION "0"
#endif

namespace
{
// ---- What the package hands the module: its exception classes, Report, the enumerations ----

struct SPackage
{
    py::object m_ServiceError, m_ReportedError, m_HostFault, m_NestedCallError;
    py::object m_Report, m_LockState, m_WriteMode, m_EnumBase;
};
// Never freed: these outlive every device, and the interpreter's end must not run their
// destructors after it has gone.
SPackage* g_pPackage = nullptr;

SPackage& Package()
{
    if (g_pPackage == nullptr)
        throw std::runtime_error("the zev package has not configured its module (import zev, not zev._zev)");
    return *g_pPackage;
}

std::string TypeName(const py::handle& a_rObject)
{
    return py::str(py::type::of(a_rObject).attr("__name__"));
}

// Raises a_rType(a_strText) with reports and the library's result attached.
[[noreturn]] void Raise(const py::object& a_rType, const std::string& a_strText, const py::object& a_rReports,
                        const py::object& a_rResult = py::none())
{
    py::object Error = a_rType(a_strText);
    Error.attr("reports") = a_rReports;
    Error.attr("result") = a_rResult;
    PyErr_SetObject(a_rType.ptr(), Error.ptr());
    throw py::error_already_set();
}

py::list ReportList(const std::vector<SReport>& a_rReports)
{
    py::list Reports;
    for (const SReport& rReport : a_rReports)
        Reports.append(Package().m_Report(rReport.m_strFile, rReport.m_iLine, rReport.m_strFunction,
                                          rReport.m_strMessage, rReport.m_bAccessDenied));
    return Reports;
}

// ---- Checked arguments: clear messages instead of the binding's cast errors -------------

bool IsEnumMember(const py::handle& a_rValue)
{
    return PyObject_IsInstance(a_rValue.ptr(), Package().m_EnumBase.ptr()) == 1;
}

// An integer argument: an int (or a numpy integer, anything with __index__), never a bool,
// a float, a string or a member of an enumeration the caller did not mean.
long long Integer(const py::handle& a_rValue, const char* a_pcWhat)
{
    PyObject* pValue = a_rValue.ptr();
    if (PyBool_Check(pValue) || (!PyLong_Check(pValue) && !PyIndex_Check(pValue)) || PyFloat_Check(pValue))
        throw py::type_error(std::string(a_pcWhat) + " must be an int, not " + TypeName(a_rValue));
    py::object Index = py::reinterpret_steal<py::object>(PyNumber_Index(pValue));
    if (!Index)
        throw py::error_already_set();
    int iOverflow = 0;
    const long long llValue = PyLong_AsLongLongAndOverflow(Index.ptr(), &iOverflow);
    if (iOverflow != 0)
        throw py::value_error(std::string(a_pcWhat) + " " + std::string(py::str(a_rValue)) +
                              " is not a 32-bit word (0 to 4294967295)");
    return llValue;
}

// A 32-bit word: an int from 0 to 2**32 - 1 (enumeration members are refused: a word is a number).
unsigned Word(const py::handle& a_rValue, const char* a_pcWhat)
{
    if (PyLong_CheckExact(a_rValue.ptr()))
    {
        const unsigned long long uValue = PyLong_AsUnsignedLongLong(a_rValue.ptr());
        if (!PyErr_Occurred() && uValue <= 0xFFFFFFFFull)
            return static_cast<unsigned>(uValue);
        PyErr_Clear();
        throw py::value_error(std::string(a_pcWhat) + " " + std::string(py::str(a_rValue)) +
                              " is not a 32-bit word (0 to 4294967295)");
    }
    if (IsEnumMember(a_rValue))
        throw py::type_error(std::string(a_pcWhat) + " must be an int, not " + std::string(py::repr(a_rValue)));
    const long long llValue = Integer(a_rValue, a_pcWhat);
    if (llValue < 0 || llValue > 0xFFFFFFFFll)
        throw py::value_error(std::string(a_pcWhat) + " " + std::string(py::str(a_rValue)) +
                              " is not a 32-bit word (0 to 4294967295)");
    return static_cast<unsigned>(llValue);
}

// A start index or a count: an int, not negative.
unsigned Index(const py::handle& a_rValue, const char* a_pcWhat)
{
    const long long llValue = Integer(a_rValue, a_pcWhat);
    if (llValue < 0)
        throw py::index_error(std::string(a_pcWhat) + " must not be negative, not " + std::to_string(llValue));
    if (llValue > 0xFFFFFFFFll)
        throw py::index_error(std::string(a_pcWhat) + " " + std::to_string(llValue) + " is beyond every memory");
    return static_cast<unsigned>(llValue);
}

bool Flag(const py::handle& a_rValue, const char* a_pcWhat)
{
    if (a_rValue.ptr() == Py_True)
        return true;
    if (a_rValue.ptr() == Py_False)
        return false;
    throw py::type_error(std::string(a_pcWhat) + " must be True or False, not " + std::string(py::repr(a_rValue)));
}

// A write mode: a zev.WriteMode member or the int 0, 1 or 2.
CSignalBase::ESignalHwWrite Mode(const py::handle& a_rValue)
{
    PyObject* pValue = a_rValue.ptr();
    long lMode = -1;
    if (PyLong_CheckExact(pValue))
        lMode = PyLong_AsLong(pValue);
    else if (Py_TYPE(pValue) == reinterpret_cast<PyTypeObject*>(Package().m_WriteMode.ptr()))
        lMode = PyLong_AsLong(pValue);
    else
        throw py::type_error("mode must be a zev.WriteMode (or 0, 1, 2), not " + std::string(py::repr(a_rValue)));
    if (lMode < 0 || lMode > 2)
    {
        PyErr_Clear();
        throw py::value_error("mode must be zev.WriteMode.IMMEDIATE (0), DEFERRED (1) or IF_CHANGED (2), not " +
                              std::string(py::repr(a_rValue)));
    }
    return static_cast<CSignalBase::ESignalHwWrite>(lMode);
}

std::string Text(const py::handle& a_rValue, const char* a_pcWhat)
{
    if (!py::isinstance<py::str>(a_rValue))
        throw py::type_error(std::string(a_pcWhat) + " must be a str, not " + TypeName(a_rValue));
    const std::string strText = py::str(a_rValue);
    if (strText.find('\0') != std::string::npos)
        throw py::value_error(std::string(a_pcWhat) + " must not hold a NUL character");
    return strText;
}

std::list<std::string> Texts(const py::handle& a_rValues)
{
    if (py::isinstance<py::str>(a_rValues) || !py::isinstance<py::sequence>(a_rValues))
        throw py::type_error("values must be a list of str, not " + TypeName(a_rValues));
    std::list<std::string> Values;
    for (const py::handle Value : py::reinterpret_borrow<py::sequence>(a_rValues))
        Values.push_back(Text(Value, "a value text"));
    return Values;
}

// ---- The call: the GIL released, the host's Python exceptions kept and raised after it ----

// One call of the package into a device, on its thread. Host objects written in Python and
// log files record their exception here: the library may catch it (the sequential
// read-back does) and go on with a made-up word, so the package raises it once the call
// is over, and every further transfer of the call fails at once.
struct SPyCall
{
    SCallRecord m_Record;
    std::unique_ptr<py::error_already_set> m_pError;
    bool m_bCancelled = false;
    bool m_bMainThread = false;
    unsigned m_udwTransfers = 0;
    std::chrono::steady_clock::time_point m_NextSignalCheck;  // the first check comes after 64 transfers
    SPyCall* m_pOuter = nullptr;
};
thread_local SPyCall* t_pCall = nullptr;

// Thrown into the library after a cancellation or a Python host's exception: what the
// caller sees is the Python exception kept in the call.
struct SCancelled : std::runtime_error
{
    SCancelled() : std::runtime_error("the call was cancelled") {}
};

// Keeps a Python exception of a host object in the current call (the first one wins).
// With a_bStop the call ends as soon as it can: every further transfer throws.
void KeepHostError(py::error_already_set& a_rError, bool a_bStop);

// A host object's answer the package refused (a word beyond 32 bits, say), kept as its
// Python exception.
void KeepHostError(py::builtin_exception& a_rError, bool a_bStop)
{
    a_rError.set_error();
    py::error_already_set Error;
    KeepHostError(Error, a_bStop);
}

void KeepHostError(py::error_already_set& a_rError, bool a_bStop)
{
    SPyCall* pCall = t_pCall;
    if (pCall == nullptr)
        throw std::move(a_rError);
    if (!pCall->m_pError)
        pCall->m_pError.reset(new py::error_already_set(std::move(a_rError)));
    if (a_bStop)
    {
        pCall->m_bCancelled = true;
        throw SCancelled();
    }
}

bool IsMainThread()
{
    static const std::thread::id s_Main = std::this_thread::get_id();  // the module is imported there first
    return std::this_thread::get_id() == s_Main;
}

// Between the device's bus and the host's: a cancelled call fails at each transfer, and
// a long call on the main thread looks for Ctrl-C every 20 ms (the GIL is released, so
// Python's own signal handler cannot run until the call is over).
class CCheckedBus : public CHWAccess
{
public:
    explicit CCheckedBus(CHWAccess& a_rInner) : m_rInner(a_rInner) {}
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        Check();
        m_rInner.Write(a_udwAddress, a_udwpData, a_udwByteCount);
    }
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        Check();
        m_rInner.Read(a_udwAddress, a_udwpData, a_udwByteCount);
    }
    void Wait(unsigned a_udwDuration) override
    {
        Check();
        m_rInner.Wait(a_udwDuration);
    }

private:
    static void Check()
    {
        SPyCall* pCall = t_pCall;
        if (pCall == nullptr)
            return;
        if (pCall->m_bCancelled)
            throw SCancelled();
        if (!pCall->m_bMainThread || (++pCall->m_udwTransfers & 63) != 0)
            return;
        const auto Now = std::chrono::steady_clock::now();
        if (Now < pCall->m_NextSignalCheck)
            return;
        pCall->m_NextSignalCheck = Now + std::chrono::milliseconds(20);
        py::gil_scoped_acquire Gil;
        if (PyErr_CheckSignals() != 0)
        {
            py::error_already_set Error;
            KeepHostError(Error, true);
        }
    }
    CHWAccess& m_rInner;
};

// Text to a Python file-like object, a line at a time (change logs, the simulator's trace).
// A write that raises is kept in the call and raised after it; the stream stays good, so
// later lines are written.
class CPyLineStream : public std::streambuf
{
public:
    explicit CPyLineStream(py::object a_File) : m_File(std::move(a_File)), m_Stream(this) {}
    ~CPyLineStream() override
    {
        py::gil_scoped_acquire Gil;
        m_File = py::object();
    }
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
            try
            {
                m_File.attr("write")(py::str(m_strLine));
            }
            catch (py::error_already_set& e)
            {
                // A failed write is raised after the call, which goes on; Ctrl-C ends it.
                // (Thrown from here, the stream would only set its bad bit and lose every later line.)
                if (t_pCall != nullptr)
                {
                    const bool bStop = !e.matches(PyExc_Exception);
                    KeepHostError(e, false);
                    t_pCall->m_bCancelled = t_pCall->m_bCancelled || bStop;
                }
            }
            m_strLine.clear();
        }
        return a_iChar;
    }

private:
    py::object m_File;
    std::ostream m_Stream;
    std::string m_strLine;
};

// ---- Host objects written in Python -------------------------------------------------------

// A Python sequence or buffer of words from a host's Read.
void CopyWords(const py::object& a_rResult, unsigned* a_udwpData, unsigned a_udwWords)
{
    if (py::isinstance<py::str>(a_rResult) || !py::isinstance<py::sequence>(a_rResult) ||
        py::len(a_rResult) != a_udwWords)
        throw py::value_error("Read must return a sequence of " + std::to_string(a_udwWords) + " word(s)");
    const py::sequence Words = py::reinterpret_borrow<py::sequence>(a_rResult);
    for (unsigned i = 0; i < a_udwWords; ++i)
        a_udwpData[i] = Word(Words[i], "a word read");
}

py::list WordList(const unsigned* a_udwpData, unsigned a_udwByteCount)
{
    py::list Words;
    for (unsigned i = 0; i < (a_udwByteCount + 3) / 4; ++i)
        Words.append(a_udwpData[i]);
    return Words;
}

class PyBus : public CHWAccess
{
public:
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        py::gil_scoped_acquire Gil;
        try
        {
            Method("Write")(a_udwAddress, WordList(a_udwpData, a_udwByteCount), a_udwByteCount);
        }
        catch (py::error_already_set& e)
        {
            KeepHostError(e, true);
        }
        catch (py::builtin_exception& e)
        {
            KeepHostError(e, true);
        }
    }
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        py::gil_scoped_acquire Gil;
        try
        {
            CopyWords(Method("Read")(a_udwAddress, a_udwByteCount), a_udwpData, (a_udwByteCount + 3) / 4);
        }
        catch (py::error_already_set& e)
        {
            KeepHostError(e, true);
        }
        catch (py::builtin_exception& e)
        {
            KeepHostError(e, true);
        }
    }
    void Wait(unsigned a_udwDuration) override
    {
        py::gil_scoped_acquire Gil;
        try
        {
            py::function Override = py::get_override(static_cast<const CHWAccess*>(this), "Wait");
            if (Override)
                Override(a_udwDuration);
        }
        catch (py::error_already_set& e)
        {
            KeepHostError(e, true);
        }
        catch (py::builtin_exception& e)
        {
            KeepHostError(e, true);
        }
    }

private:
    py::function Method(const char* a_pcName) const
    {
        py::function Override = py::get_override(static_cast<const CHWAccess*>(this), a_pcName);
        if (!Override)
        {
            PyErr_SetString(PyExc_NotImplementedError, (std::string("the bus has no ") + a_pcName + " method").c_str());
            throw py::error_already_set();
        }
        return Override;
    }
};

// The simulated bus, which a Python subclass may watch: its Write, Read and Wait are called
// instead (a device notes which ones the subclass defines when it is made), and they
// forward with super().Write(...). The simulator's words are guarded, so that peek and poke
// from another thread do not meet a transfer halfway.
class PySimBus : public CSimBus
{
public:
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        if (m_bPyWrite)
            return Forward("Write", [&](py::function& f) { f(a_udwAddress, WordList(a_udwpData, a_udwByteCount), a_udwByteCount); });
        std::lock_guard<std::mutex> Lock(m_Mutex);
        CSimBus::Write(a_udwAddress, a_udwpData, a_udwByteCount);
    }
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        if (m_bPyRead)
            return Forward("Read", [&](py::function& f) {
                CopyWords(f(a_udwAddress, a_udwByteCount), a_udwpData, (a_udwByteCount + 3) / 4);
            });
        std::lock_guard<std::mutex> Lock(m_Mutex);
        CSimBus::Read(a_udwAddress, a_udwpData, a_udwByteCount);
    }
    void Wait(unsigned a_udwDuration) override
    {
        if (m_bPyWait)
            return Forward("Wait", [&](py::function& f) { f(a_udwDuration); });
        std::lock_guard<std::mutex> Lock(m_Mutex);
        CSimBus::Wait(a_udwDuration);
    }
    bool m_bPyWrite = false, m_bPyRead = false, m_bPyWait = false;
    std::mutex m_Mutex;
    std::unique_ptr<CPyLineStream> m_pTrace;

private:
    template <class TCall>
    void Forward(const char* a_pcName, TCall&& a_Call)
    {
        py::gil_scoped_acquire Gil;
        try
        {
            py::function Override = py::get_override(static_cast<const CSimBus*>(this), a_pcName);
            if (!Override)
                throw py::value_error(std::string("the bus lost its ") + a_pcName + " method");
            a_Call(Override);
        }
        catch (py::error_already_set& e)
        {
            KeepHostError(e, true);
        }
        catch (py::builtin_exception& e)
        {
            KeepHostError(e, true);
        }
    }
};

class PyUtility : public CUtility_Interface
{
public:
    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
    {
        Call("ReportError", a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
    }
    bool StopWaiting() override
    {
        py::gil_scoped_acquire Gil;
        try
        {
            const py::object Answer = Method("StopWaiting")();
            if (!py::isinstance<py::bool_>(Answer))
                throw py::type_error("StopWaiting must return a bool, not " + TypeName(Answer));
            return Answer.cast<bool>();
        }
        catch (py::error_already_set& e)
        {
            KeepHostError(e, true);
        }
        catch (py::builtin_exception& e)
        {
            KeepHostError(e, true);
        }
        return true;
    }
    void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
    {
        Call("ReportAccessDenied", a_pcFile, a_iLine, a_pcFunction, a_pcMessage);
    }

private:
    void Call(const char* a_pcName, const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage)
    {
        py::gil_scoped_acquire Gil;
        try
        {
            Method(a_pcName)(std::string(a_pcFile ? a_pcFile : ""), a_iLine, std::string(a_pcFunction ? a_pcFunction : ""),
                             std::string(a_pcMessage ? a_pcMessage : ""));
        }
        catch (py::error_already_set& e)
        {
            KeepHostError(e, true);
        }
        catch (py::builtin_exception& e)
        {
            KeepHostError(e, true);
        }
    }
    py::function Method(const char* a_pcName) const
    {
        py::function Override = py::get_override(static_cast<const CUtility_Interface*>(this), a_pcName);
        if (!Override)
        {
            PyErr_SetString(PyExc_NotImplementedError, (std::string("the utility has no ") + a_pcName + " method").c_str());
            throw py::error_already_set();
        }
        return Override;
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
        try
        {
            py::function Method = py::get_override(static_cast<const CIStatusRegister*>(this), a_pcName);
            if (!Method)
            {
                PyErr_SetString(PyExc_NotImplementedError,
                                (std::string("the status register has no ") + a_pcName + " method").c_str());
                throw py::error_already_set();
            }
            *a_udwpValue = Word(Method(*a_udwpValue), "a prepared status word");
        }
        catch (py::error_already_set& e)
        {
            KeepHostError(e, true);
        }
        catch (py::builtin_exception& e)
        {
            KeepHostError(e, true);
        }
    }
};

// Reports kept for Python, in a list Python owns: reports.clear() and del reports[:] work,
// and the list is read safely while another thread's call adds to it.
class CReportLog : public CUtility_Interface
{
public:
    void ReportError(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
    {
        Keep(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, false);
    }
    bool StopWaiting() override { return m_bStopWaiting.load(); }
    void ReportAccessDenied(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage) override
    {
        Keep(a_pcFile, a_iLine, a_pcFunction, a_pcMessage, true);
    }
    py::list m_Reports;
    std::atomic<bool> m_bStopWaiting{false};

private:
    void Keep(const char* a_pcFile, int a_iLine, const char* a_pcFunction, const char* a_pcMessage, bool a_bDenied)
    {
        py::gil_scoped_acquire Gil;
        try
        {
            // Python code runs here, and Ctrl-C may be handled in it.
            m_Reports.append(Package().m_Report(std::string(a_pcFile ? a_pcFile : ""), a_iLine,
                                                std::string(a_pcFunction ? a_pcFunction : ""),
                                                std::string(a_pcMessage ? a_pcMessage : ""), a_bDenied));
        }
        catch (py::error_already_set& e)
        {
            KeepHostError(e, true);
        }
    }
};

// A log or trace target: a text file open for writing.
void CheckTextFile(const py::object& a_rFile, const char* a_pcWhat)
{
    if (!py::hasattr(a_rFile, "write"))
        throw py::type_error(std::string(a_pcWhat) + " goes to a file-like object with a write method, not " + TypeName(a_rFile));
    const py::module_ Io = py::module_::import("io");
    if (py::isinstance(a_rFile, Io.attr("RawIOBase")) || py::isinstance(a_rFile, Io.attr("BufferedIOBase")))
        throw py::type_error(std::string(a_pcWhat) + " goes to a text file, not a binary one (" + TypeName(a_rFile) + ")");
    if (py::hasattr(a_rFile, "closed") && py::bool_(a_rFile.attr("closed")))
        throw py::value_error(std::string(a_pcWhat) + " cannot go to a closed file");
}

// ---- Devices dropped inside a device call -----------------------------------------------

// Everything a device needs while it exists; the runtime is destroyed first.
struct SDeviceParts
{
    SDeviceParts(py::object a_Bus, py::object a_Utility, py::object a_Status)
        : m_Bus(std::move(a_Bus)), m_Utility(std::move(a_Utility)), m_Status(std::move(a_Status)),
          m_CheckedBus(*m_Bus.cast<CHWAccess*>())
    {
    }
    ~SDeviceParts()
    {
        if (m_pRuntime)
        {
            // Destroying a runtime waits for the calls of other threads; their host
            // objects may need the GIL.
            if (_Py_IsFinalizing())
                m_pRuntime.reset();
            else
            {
                py::gil_scoped_release Release;
                m_pRuntime.reset();
            }
        }
        m_Logs.clear();
    }
    py::object m_Bus, m_Utility, m_Status;
    CCheckedBus m_CheckedBus;
    std::unique_ptr<CDeviceRuntime> m_pRuntime;
    std::unordered_map<const CSignalBase*, std::shared_ptr<CPyLineStream>> m_Logs;
#ifdef RL_ZEV_SETS
    nlohmann::json m_Map;  // the register map the sets are checked against, made at the first
    std::unique_ptr<rlzev::CRegisterSets> m_pSets;
#endif
};

// Python's garbage collector may drop a device inside a host object's method, that is
// inside a device call, where a device cannot be destroyed (it would wait for the call
// to end). Such devices wait here until the outermost call on that thread is over.
std::mutex g_DeferredMutex;
std::vector<std::unique_ptr<SDeviceParts>>* g_pDeferred = new std::vector<std::unique_ptr<SDeviceParts>>();
std::atomic<bool> g_bDeferred{false};

void DropParts(std::unique_ptr<SDeviceParts> a_pParts)
{
    if (!a_pParts)
        return;
    if (CDeviceRuntime::IsInsideCall())
    {
        std::lock_guard<std::mutex> Lock(g_DeferredMutex);
        g_pDeferred->push_back(std::move(a_pParts));
        g_bDeferred = true;
        return;
    }
    a_pParts.reset();
}

void DropDeferred()
{
    if (!g_bDeferred.load() || CDeviceRuntime::IsInsideCall())
        return;
    std::vector<std::unique_ptr<SDeviceParts>> Parts;
    {
        std::lock_guard<std::mutex> Lock(g_DeferredMutex);
        Parts.swap(*g_pDeferred);
        g_bDeferred = false;
    }
    Parts.clear();
}

// ---- The device and its parts ----------------------------------------------------------

// What a call's reports mean to its caller.
enum class EReports
{
    RAISE,              // any report raises ReportedError (the call did not do what was asked)
    RAISE_UNLESS_DENIED, // device-wide operations: refused directions of read-only or write-only
                         // registers are part of them and stay in last_reports()
    SERVICE              // the text service: a refusal (false) raises ServiceError with the
                         // reports; reports of a call it did raise ReportedError
};

// The reports of the last call on this thread, for last_reports().
struct SLastReports
{
    const void* m_pDevice = nullptr;
    std::vector<SReport> m_Reports;
};
thread_local SLastReports t_LastReports;

class CPyDevice
{
public:
    CPyDevice(py::object a_Bus, py::object a_Utility, py::object a_Status)
    {
        auto Require = [](const py::object& a_rObject, bool a_bFits, const char* a_pcWhat) {
            if (!a_bFits)
                throw py::type_error(std::string(a_pcWhat) + ", not " + TypeName(a_rObject));
        };
        Require(a_Bus, py::isinstance<CHWAccess>(a_Bus), "bus must be a zev.HWAccess (a SimBus, or a subclass)");
        Require(a_Utility, py::isinstance<CUtility_Interface>(a_Utility), "utility must be a zev.Utility (a ReportLog, or a subclass)");
        Require(a_Status, py::isinstance<CIStatusRegister>(a_Status),
                "status must be a zev.StatusRegister (a SimStatusRegister, or a subclass)");
        if (PySimBus* pSim = dynamic_cast<PySimBus*>(a_Bus.cast<CHWAccess*>()))
        {
            // A subclass of SimBus that defines Write, Read or Wait is called there.
            const py::object Type = py::type::of(a_Bus), Base = py::module_::import("zev._zev").attr("SimBus");
            pSim->m_bPyWrite = !Type.attr("Write").is(Base.attr("Write"));
            pSim->m_bPyRead = !Type.attr("Read").is(Base.attr("Read"));
            pSim->m_bPyWait = !Type.attr("Wait").is(Base.attr("Wait"));
        }
        CUtility_Interface* pUtility = a_Utility.cast<CUtility_Interface*>();
        CIStatusRegister* pStatus = a_Status.cast<CIStatusRegister*>();
        if (CDeviceRuntime::IsInsideCall())
            throw py::value_error("a device cannot be made inside a host object's method (inside a device call)");
        m_pParts.reset(new SDeviceParts(std::move(a_Bus), std::move(a_Utility), std::move(a_Status)));
        {
            py::gil_scoped_release Release;
            m_pParts->m_pRuntime.reset(new CDeviceRuntime(m_pParts->m_CheckedBus, *pUtility, *pStatus));
        }
        m_pDevice = Run([](CZEV& a_rDevice) -> CZEV* { return &a_rDevice; }, EReports::RAISE);
        m_strName = m_pDevice->GetName();
    }
    ~CPyDevice() { DropParts(std::move(m_pParts)); }

    // The library's work for a_Call, serialised with every other call of this device, with
    // the GIL released; afterwards a Python host's exception is raised, then the reports.
    template <class TCall>
    auto Run(TCall&& a_Call, EReports a_eReports, py::object (*a_pResult)(const void*) = nullptr)
        -> decltype(a_Call(std::declval<CZEV&>()))
    {
        return Enter([&](CDeviceRuntime& a_rRuntime, rlzev::SCallRecord& a_rRecord) { return a_rRuntime.Run(a_Call, &a_rRecord); },
                     a_eReports, a_pResult);
    }

    // A register-set operation ("save", "compare", "apply") as the service carries it out:
    // the request's body and the answer's as JSON texts, with the answer's status (400 and
    // the text for a body that breaks a rule, nothing written).
    std::pair<int, std::string> Sets(const std::string& a_strOperation, const std::string& a_strBody)
    {
#ifdef RL_ZEV_SETS
        if (!m_pParts)
            throw py::value_error("the device has been destroyed");
        SDeviceParts& rParts = *m_pParts;
        if (!rParts.m_pSets)
        {
            rParts.m_Map = nlohmann::json::parse(rlzev::CatalogueJson(rParts.m_pRuntime->Catalogue()));
            rParts.m_pSets.reset(new rlzev::CRegisterSets(*rParts.m_pRuntime, rParts.m_Map));
        }
        rlzev::CRegisterSets& rSets = *rParts.m_pSets;
        nlohmann::json Answer;
        SLastReports Before = t_LastReports;
        const int iStatus = Enter([&](CDeviceRuntime&, rlzev::SCallRecord&) {
            try
            {
                return rSets.Run(a_strOperation, rlzev::ParseBody(a_strBody), Answer);
            }
            catch (const rlzev::SBadRequest& e)
            {
                Answer = {{"error", e.m_strText}};
                return 400;
            }
        }, EReports::RAISE);
        // The last reports are those of the set's own calls, as of any call; a body refused
        // before the device leaves the last call's.
        if (iStatus == 400)
            t_LastReports = std::move(Before);
        for (const nlohmann::json& rReport : Answer.value("reports", nlohmann::json::array()))
            t_LastReports.m_Reports.push_back({rReport.value("file", ""), rReport.value("line", 0), rReport.value("function", ""),
                                               rReport.value("message", ""), rReport.value("accessDenied", false)});
        return {iStatus, Answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
#else
        (void)a_strOperation, (void)a_strBody;
        throw py::type_error("this build of the module has no register sets (it was built without nlohmann-json)");
#endif
    }

    // As Run, for work that calls the runtime itself (register sets: several calls).
    template <class TInvoke>
    auto Enter(TInvoke&& a_Invoke, EReports a_eReports, py::object (*a_pResult)(const void*) = nullptr)
        -> decltype(a_Invoke(std::declval<CDeviceRuntime&>(), std::declval<rlzev::SCallRecord&>()))
    {
        using TResult = decltype(a_Invoke(std::declval<CDeviceRuntime&>(), std::declval<rlzev::SCallRecord&>()));
        if (!m_pParts)
            throw py::value_error("the device has been destroyed");
        SPyCall Call;
        Call.m_pOuter = t_pCall;
        Call.m_bMainThread = IsMainThread();
        CDeviceRuntime& rRuntime = *m_pParts->m_pRuntime;
        std::string strFault;
        bool bNested = false;
        auto Body = [&]() -> TResult {
            t_pCall = &Call;
            struct SRestore
            {
                SPyCall& m_rCall;
                ~SRestore() { t_pCall = m_rCall.m_pOuter; }
            } Restore{Call};
            py::gil_scoped_release Release;
            try
            {
                return a_Invoke(rRuntime, Call.m_Record);
            }
            catch (const SCancelled&)
            {
            }
            catch (const std::logic_error& e)
            {
                bNested = true;
                strFault = e.what();
            }
            catch (const py::error_already_set&)
            {
                throw;
            }
            catch (const std::exception& e)
            {
                strFault = std::string("host fault: ") + e.what();
            }
            catch (...)
            {
                strFault = "host fault: unknown exception";
            }
            return TResult();
        };
        TResult Result = Body();
        DropDeferred();
        t_LastReports.m_pDevice = this;
        t_LastReports.m_Reports.swap(Call.m_Record.m_Reports);
        if (Call.m_pError)
            throw std::move(*Call.m_pError);
        if (bNested)
            Raise(Package().m_NestedCallError, strFault, py::list());
        if (!strFault.empty())
            Raise(Package().m_HostFault, strFault, ReportList(t_LastReports.m_Reports));
        const std::vector<SReport>& rReports = t_LastReports.m_Reports;
        bool bRefused = false;
        if constexpr (std::is_same<TResult, bool>::value)
            bRefused = a_eReports == EReports::SERVICE && !Result;
        if constexpr (std::is_same<TResult, rlzev::SOutcome>::value)
            bRefused = a_eReports == EReports::SERVICE && Result.m_eStatus == rlzev::SOutcome::REFUSED;
        if (!rReports.empty() && !bRefused)
        {
            const SReport* pRaise = nullptr;
            for (const SReport& rReport : rReports)
                if (a_eReports != EReports::RAISE_UNLESS_DENIED || !rReport.m_bAccessDenied)
                {
                    pRaise = &rReport;
                    break;
                }
            if (pRaise != nullptr)
                Raise(Package().m_ReportedError, pRaise->m_strFunction + pRaise->m_strMessage, ReportList(rReports),
                      a_pResult != nullptr ? a_pResult(&Result) : py::none());
        }
        return Result;
    }

    // A refusal of the library (false and its error text) raises ServiceError with the reports.
    void Refused(const std::string& a_strError) const
    {
        Raise(Package().m_ServiceError, a_strError, ReportList(t_LastReports.m_Reports));
    }

    std::unique_ptr<SDeviceParts> m_pParts;
    CZEV* m_pDevice = nullptr;
    std::string m_strName;
};

// Every Python object that keeps a device tells the garbage collector so: a bus that holds
// its device (bus.dev = dev) is a cycle the collector can then break.
int Visit(PyObject* a_pObject, visitproc a_Visit, void* a_pArg)
{
    return a_pObject != nullptr ? a_Visit(a_pObject, a_pArg) : 0;
}

template <class TValue, class TGc = TValue>
void VisitDevice(PyHeapTypeObject* a_pHeapType)
{
    PyTypeObject* pType = &a_pHeapType->ht_type;
    static traverseproc s_pInherited = nullptr;
    static inquiry s_pInheritedClear = nullptr;
    if (pType->tp_flags & Py_TPFLAGS_HAVE_GC)
    {
        s_pInherited = pType->tp_traverse;
        s_pInheritedClear = pType->tp_clear;
    }
    pType->tp_flags |= Py_TPFLAGS_HAVE_GC;
    pType->tp_traverse = [](PyObject* a_pSelf, visitproc a_Visit, void* a_pArg) -> int {
        if (s_pInherited != nullptr)
        {
            if (const int iResult = s_pInherited(a_pSelf, a_Visit, a_pArg))
                return iResult;
        }
        else
        {
#if PY_VERSION_HEX >= 0x03090000
            if (const int iResult = Visit(reinterpret_cast<PyObject*>(Py_TYPE(a_pSelf)), a_Visit, a_pArg))
                return iResult;
#endif
        }
        auto* pInstance = reinterpret_cast<py::detail::instance*>(a_pSelf);
        if (!pInstance->simple_layout || !pInstance->simple_holder_constructed)
            return 0;
        return TGc::Traverse(*static_cast<TValue*>(pInstance->simple_value_holder[0]), a_Visit, a_pArg);
    };
    pType->tp_clear = [](PyObject* a_pSelf) -> int {
        auto* pInstance = reinterpret_cast<py::detail::instance*>(a_pSelf);
        if (pInstance->simple_layout && pInstance->simple_holder_constructed)
            TGc::Clear(*static_cast<TValue*>(pInstance->simple_value_holder[0]));
        return s_pInheritedClear != nullptr ? s_pInheritedClear(a_pSelf) : 0;
    };
}

int TraverseParts(SDeviceParts* a_pParts, visitproc a_Visit, void* a_pArg)
{
    if (a_pParts == nullptr)
        return 0;
    for (const py::object* pObject : {&a_pParts->m_Bus, &a_pParts->m_Utility, &a_pParts->m_Status})
        if (const int iResult = Visit(pObject->ptr(), a_Visit, a_pArg))
            return iResult;
    return 0;
}

struct CDeviceGc
{
    static int Traverse(CPyDevice& a_rDevice, visitproc a_Visit, void* a_pArg)
    {
        return TraverseParts(a_rDevice.m_pParts.get(), a_Visit, a_pArg);
    }
    static void Clear(CPyDevice& a_rDevice) { DropParts(std::move(a_rDevice.m_pParts)); }
};

py::object LockState(unsigned a_udwState)
{
    return Package().m_LockState(a_udwState);
}

py::object BoolResult(const void* a_pResult)
{
    return py::bool_(*static_cast<const bool*>(a_pResult));
}

py::object WordResult(const void* a_pResult)
{
    return py::int_(*static_cast<const unsigned*>(a_pResult));
}

// A field, typed: values in and out as ints, or as members of its enumeration.
class CPySignal
{
public:
    CPySignal(py::object a_Device, CPyDevice* a_pDevice, CRegisterBase* a_pRegister, CFieldSignal* a_pSignal)
        : m_Device(std::move(a_Device)), m_pDevice(a_pDevice), m_pRegister(a_pRegister), m_pSignal(a_pSignal)
    {
    }
    static int Traverse(CPySignal& a_rSignal, visitproc a_Visit, void* a_pArg)
    {
        return Visit(a_rSignal.m_Device.ptr(), a_Visit, a_pArg);
    }
    static void Clear(CPySignal&) {}

    std::string Name() const { return m_pRegister->GetName() + "." + m_pSignal->GetName(); }
    std::string Limit(const std::string& a_strValue) const
    {
        return rlzev::ValueLimitText(m_pRegister->GetName(), m_pSignal->GetName(), m_pSignal->GetMaxValue(), a_strValue);
    }

    unsigned Value(const py::handle& a_rValue) const
    {
        PyObject* pValue = a_rValue.ptr();
        unsigned udwValue;
        if (PyLong_CheckExact(pValue) || (m_pEnumType != nullptr && Py_TYPE(pValue) == m_pEnumType))
        {
            const unsigned long long uValue = PyLong_AsUnsignedLongLong(pValue);
            if (PyErr_Occurred() || uValue > 0xFFFFFFFFull)
            {
                PyErr_Clear();
                throw py::value_error(Limit(std::string(py::str(a_rValue))));
            }
            udwValue = static_cast<unsigned>(uValue);
        }
        else if (IsEnumMember(a_rValue))
        {
            throw py::type_error(Name() + " takes " +
                                 (m_pEnumType != nullptr ? "a member of zev.enums." + Name() + " or an int"
                                                         : std::string("an int")) +
                                 ", not " + std::string(py::repr(a_rValue)));
        }
        else
        {
            const long long llValue = Integer(a_rValue, "a signal value");
            if (llValue < 0 || llValue > 0xFFFFFFFFll)
                throw py::value_error(Limit(std::to_string(llValue)));
            udwValue = static_cast<unsigned>(llValue);
        }
        if (udwValue > m_pSignal->GetMaxValue())
            throw py::value_error(Limit(std::to_string(udwValue)));
        return udwValue;
    }

    bool Set(const py::handle& a_rValue, const py::handle& a_rMode)
    {
        const unsigned udwValue = Value(a_rValue);
        const CSignalBase::ESignalHwWrite eMode = Mode(a_rMode);
        CFieldSignal* pSignal = m_pSignal;
        return m_pDevice->Run([pSignal, udwValue, eMode](CZEV&) { return pSignal->Set(udwValue, eMode); },
                              EReports::RAISE, &BoolResult);
    }

    // The enumeration's member for a value; a value the description does not name gets the
    // enumeration's stand-in member for it (made once).
    py::object Member(unsigned a_udwValue)
    {
        if (m_pEnumType == nullptr)
            return py::int_(a_udwValue);
        if (a_udwValue < m_Members.size() && m_Members[a_udwValue])
            return m_Members[a_udwValue];
        py::object Member = m_Enum(a_udwValue);
        if (a_udwValue < m_Members.size())
            m_Members[a_udwValue] = Member;
        return Member;
    }

    py::object Get(const py::handle& a_rReadHw)
    {
        const bool bReadHw = Flag(a_rReadHw, "read_hw");
        CFieldSignal* pSignal = m_pSignal;
        const unsigned udwValue =
            m_pDevice->Run([pSignal, bReadHw](CZEV&) { return pSignal->Get(bReadHw); }, EReports::RAISE, &WordResult);
        return Member(udwValue);
    }

    void SetEnumeration(const py::object& a_rEnum)
    {
        if (m_pEnumType != nullptr)
            throw py::attribute_error(Name() + ".Enum cannot be changed");
        m_Enum = a_rEnum;
        m_pEnumType = reinterpret_cast<PyTypeObject*>(a_rEnum.ptr());
        m_Members.assign(std::min<unsigned>(m_pSignal->GetMaxValue(), 4095) + 1, py::object());
        for (const py::handle Member : a_rEnum)
        {
            const unsigned udwValue = Member.attr("value").cast<unsigned>();
            if (udwValue < m_Members.size())
                m_Members[udwValue] = py::reinterpret_borrow<py::object>(Member);
        }
    }

    py::object m_Device;  // the device's Python object: the signal keeps it, and so the host objects, alive
    CPyDevice* m_pDevice;
    CRegisterBase* m_pRegister;
    CFieldSignal* m_pSignal;
    py::object m_Enum = py::none();
    PyTypeObject* m_pEnumType = nullptr;
    std::vector<py::object> m_Members;
};

// ---- The typed set and get, called as Python calls a built-in ---------------------------

// They are what a script calls most: taken as Python passes them, their arguments need no
// tuple, no vectors and no look-up of the signal's type, which pybind11's dispatcher makes
// per call. The texts of a wrong call are Python's own, as a remote device's signal gives them.
void FastArguments(const char* a_pcFunction, PyObject* const* a_ppArgs, Py_ssize_t a_iArgs, PyObject* a_pNames,
                   const char* const* a_ppcNames, size_t a_uRequired, size_t a_uCount, PyObject** a_ppOut)
{
    const size_t uPositional = static_cast<size_t>(PyVectorcall_NARGS(a_iArgs));
    if (uPositional > a_uCount)
        throw py::type_error(std::string(a_pcFunction) + "() takes from " + std::to_string(a_uRequired + 1) + " to " +
                             std::to_string(a_uCount + 1) + " positional arguments but " +
                             std::to_string(uPositional + 1) + " were given");
    for (size_t i = 0; i < uPositional; ++i)
        a_ppOut[i] = a_ppArgs[i];
    const Py_ssize_t iNames = a_pNames != nullptr ? PyTuple_GET_SIZE(a_pNames) : 0;
    for (Py_ssize_t k = 0; k < iNames; ++k)
    {
        PyObject* pName = PyTuple_GET_ITEM(a_pNames, k);
        size_t j = 0;
        while (j < a_uCount && PyUnicode_CompareWithASCIIString(pName, a_ppcNames[j]) != 0)
            ++j;
        if (j == a_uCount)
            throw py::type_error(std::string(a_pcFunction) + "() got an unexpected keyword argument '" +
                                 std::string(py::str(pName)) + "'");
        if (a_ppOut[j] != nullptr)
            throw py::type_error(std::string(a_pcFunction) + "() got multiple values for argument '" + a_ppcNames[j] + "'");
        a_ppOut[j] = a_ppArgs[uPositional + static_cast<size_t>(k)];
    }
    for (size_t i = 0; i < a_uRequired; ++i)
        if (a_ppOut[i] == nullptr)
            throw py::type_error(std::string(a_pcFunction) + "() missing 1 required positional argument: '" +
                                 a_ppcNames[i] + "'");
}

// A C++ exception as pybind11's dispatcher would have raised it.
PyObject* RaiseCurrent()
{
    try
    {
        throw;
    }
    catch (py::error_already_set& e)
    {
        e.restore();
    }
    catch (...)
    {
        if (!py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators) &&
            !py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators))
            PyErr_SetString(PyExc_SystemError, "an exception escaped the zev module");
    }
    return nullptr;
}

CPySignal& SignalOf(PyObject* a_pSelf)
{
    // The method's descriptor has checked that a_pSelf is a Signal.
    auto* pInstance = reinterpret_cast<py::detail::instance*>(a_pSelf);
    if (!pInstance->simple_layout || !pInstance->simple_holder_constructed)
        throw py::type_error("the signal is not part of a device");
    return *static_cast<CPySignal*>(pInstance->simple_value_holder[0]);
}

PyObject* SignalSet(PyObject* a_pSelf, PyObject* const* a_ppArgs, Py_ssize_t a_iArgs, PyObject* a_pNames)
{
    try
    {
        static const char* const s_apcNames[] = {"value", "mode"};
        PyObject* apArgs[2] = {nullptr, nullptr};
        FastArguments("set", a_ppArgs, a_iArgs, a_pNames, s_apcNames, 1, 2, apArgs);
        static PyObject* const s_pImmediate = PyLong_FromLong(0);
        const bool bWritten = SignalOf(a_pSelf).Set(apArgs[0], apArgs[1] != nullptr ? apArgs[1] : s_pImmediate);
        return py::bool_(bWritten).release().ptr();
    }
    catch (...)
    {
        return RaiseCurrent();
    }
}

PyObject* SignalGet(PyObject* a_pSelf, PyObject* const* a_ppArgs, Py_ssize_t a_iArgs, PyObject* a_pNames)
{
    try
    {
        static const char* const s_apcNames[] = {"read_hw"};
        PyObject* apArgs[1] = {nullptr};
        FastArguments("get", a_ppArgs, a_iArgs, a_pNames, s_apcNames, 0, 1, apArgs);
        return SignalOf(a_pSelf).Get(apArgs[0] != nullptr ? apArgs[0] : Py_False).release().ptr();
    }
    catch (...)
    {
        return RaiseCurrent();
    }
}

#define RL_ZEV_SIGNATURE(name, args) name args "\n--\n\n"

PyMethodDef g_aSignalCalls[] = {
    {"set", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&SignalSet)), METH_FASTCALL | METH_KEYWORDS,
     RL_ZEV_SIGNATURE("set", "(self, value, mode=0)")
     "The library's typed Set: the value (a member of the signal's Enum, or an int from 0 to max) and the write "
     "mode (zev.WriteMode). Returns the library's result: True when the register was written."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&SignalGet)), METH_FASTCALL | METH_KEYWORDS,
     RL_ZEV_SIGNATURE("get", "(self, read_hw=False)")
     "The library's typed Get, reading the register first with read_hw=True: a member of the signal's Enum, "
     "or an int."},
};


// A memory's words, written by the library straight into a buffer Python owns.
struct SBufferView
{
    explicit SBufferView(const py::object& a_rBuffer)
    {
        if (PyObject_GetBuffer(a_rBuffer.ptr(), &m_View, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0)
        {
            PyErr_Clear();
            throw py::type_error("out must be a writable, contiguous buffer of unsigned 32-bit words (array('I'), a "
                                 "numpy uint32 array), not " + TypeName(a_rBuffer));
        }
        const std::string strFormat = m_View.format != nullptr ? m_View.format : "B";
        if (m_View.itemsize != 4 || m_View.ndim != 1 ||
            (strFormat != "I" && strFormat != "L" && strFormat != "=I" && strFormat != "<I" && strFormat != "@I"))
        {
            PyBuffer_Release(&m_View);
            throw py::type_error("out must hold unsigned 32-bit words (format 'I'), not '" + strFormat + "'");
        }
    }
    ~SBufferView() { PyBuffer_Release(&m_View); }
    unsigned* Words() const { return static_cast<unsigned*>(m_View.buf); }
    unsigned Count() const { return static_cast<unsigned>(m_View.len / 4); }
    Py_buffer m_View{};
};

rlzev::SOutcome Operate(CPyDevice& a_rDevice, rlzev::SOperation a_Operation, bool a_bCountGiven, EReports a_eReports);

class CPyRegister
{
public:
    CPyRegister(py::object a_Device, CPyDevice* a_pDevice, CRegisterBase* a_pRegister)
        : m_Device(std::move(a_Device)), m_pDevice(a_pDevice), m_pRegister(a_pRegister),
          m_pParallelRam(dynamic_cast<CRamRegister<CParallelRead_ParallelWrite>*>(a_pRegister)),
          m_pSequentialRam(dynamic_cast<CRamRegister<CSequentialRead_ParallelWrite>*>(a_pRegister))
    {
    }
    static int Traverse(CPyRegister& a_rRegister, visitproc a_Visit, void* a_pArg)
    {
        return Visit(a_rRegister.m_Device.ptr(), a_Visit, a_pArg);
    }
    static void Clear(CPyRegister&) {}

    bool IsMemory() const { return m_pParallelRam != nullptr || m_pSequentialRam != nullptr; }
    unsigned Size() const { return m_pRegister->GetWordCount(); }
    const std::string& Name() const { return m_strName; }

    // This register's operation of the runtime's table, by its signal's name.
    rlzev::SOperation Named(rlzev::EOperation a_eOperation, const py::handle& a_rSignal) const
    {
        rlzev::SOperation Operation;
        Operation.m_eOperation = a_eOperation;
        Operation.m_strRegister = m_strName;
        Operation.m_strSignal = Text(a_rSignal, "signal");
        return Operation;
    }

    // A range within the register: checked here, so that Python gets IndexError and the
    // library is never asked beyond the end.
    std::pair<unsigned, unsigned> Range(const py::handle& a_rStart, const py::handle& a_rCount) const
    {
        const unsigned udwStart = Index(a_rStart, "start");
        const unsigned udwCount = a_rCount.is_none() ? (udwStart < Size() ? Size() - udwStart : 0) : Index(a_rCount, "count");
        CheckRange(udwStart, udwCount);
        return {udwStart, udwCount};
    }
    void CheckRange(unsigned a_udwStart, unsigned long long a_uCount) const
    {
        if (a_udwStart > Size() || a_uCount > Size() - a_udwStart)
            throw py::index_error(rlzev::RangeText(m_strName, Size(), a_udwStart, a_uCount));
    }

    // The memory's typed Get into a_pudwWords; its result is whether the hardware was read.
    void GetWords(unsigned* a_pudwWords, unsigned a_udwStart, unsigned a_udwCount, bool a_bReadHw)
    {
        RequireMemory();
        if (a_udwCount == 0)
            return;
        auto* pParallel = m_pParallelRam;
        auto* pSequential = m_pSequentialRam;
        m_pDevice->Run(
            [=](CZEV&) {
                return pParallel != nullptr ? pParallel->Get(a_pudwWords, a_udwStart, a_udwCount, a_bReadHw)
                                            : pSequential->Get(a_pudwWords, a_udwStart, a_udwCount, a_bReadHw);
            },
            EReports::RAISE, &BoolResult);
    }

    std::vector<unsigned> WordsFrom(const py::object& a_rValues) const
    {
        std::vector<unsigned> Words;
        if (PyObject_CheckBuffer(a_rValues.ptr()) && !py::isinstance<py::str>(a_rValues))
        {
            const py::buffer_info Info = py::reinterpret_borrow<py::buffer>(a_rValues).request();
            if (Info.ndim != 1 || Info.itemsize != 4 ||
                (Info.format != "I" && Info.format != "L" && Info.format != "=I" && Info.format != "<I" && Info.format != "@I"))
                throw py::type_error("a buffer of words must be one-dimensional unsigned 32-bit (format 'I'), not '" +
                                     Info.format + "'");
            for (py::ssize_t i = 0; i < Info.shape[0]; ++i)
                Words.push_back(*reinterpret_cast<const unsigned*>(static_cast<const char*>(Info.ptr) + i * Info.strides[0]));
            return Words;
        }
        if (!py::isinstance<py::sequence>(a_rValues) || py::isinstance<py::str>(a_rValues))
            throw py::type_error("words must be a sequence of ints or a buffer of unsigned 32-bit words, not " +
                                 TypeName(a_rValues));
        for (const py::handle Value : py::reinterpret_borrow<py::sequence>(a_rValues))
            Words.push_back(Word(Value, "a memory word"));
        return Words;
    }

    bool Set(const py::object& a_rValues, const py::handle& a_rStart)
    {
        RequireMemory();
        const unsigned udwStart = Index(a_rStart, "start");
        const std::vector<unsigned> Words = WordsFrom(a_rValues);
        if (Words.size() > rlzev::SLimits::kMaxWords)  // before the range, as the runtime's check
            throw py::value_error(rlzev::TooManyWordsText());
        CheckRange(udwStart, static_cast<unsigned long long>(Words.size()));
        if (Words.empty())  // the runtime's check refuses it (ValueError), with the text every door gives
            return Operate(*m_pDevice, Named(rlzev::EOperation::SET_BLOCK, py::str("")), true, EReports::RAISE).m_bResult;
        auto* pParallel = m_pParallelRam;
        auto* pSequential = m_pSequentialRam;
        const unsigned udwCount = static_cast<unsigned>(Words.size());
        const unsigned* pudwWords = Words.data();
        return m_pDevice->Run(
            [=](CZEV&) {
                return pParallel != nullptr ? pParallel->Set(pudwWords, udwStart, udwCount, false)
                                            : pSequential->Set(pudwWords, udwStart, udwCount, false);
            },
            EReports::RAISE, &BoolResult);
    }

    void RequireMemory() const
    {
        if (!IsMemory())
            throw py::type_error(m_strName + " is not a memory");
    }

    py::object m_Device;
    CPyDevice* m_pDevice;
    CRegisterBase* m_pRegister;
    CRamRegister<CParallelRead_ParallelWrite>* m_pParallelRam;
    CRamRegister<CSequentialRead_ParallelWrite>* m_pSequentialRam;
    std::string m_strName = m_pRegister->GetName();
    std::vector<std::pair<std::string, CFieldSignal*>> m_Signals;
};

// The text service's calls: a refusal raises ServiceError with the library's text.
// What a reported text-service call hands back with its ReportedError: what it would return.
py::object OutcomeResult(const void* a_pOutcome)
{
    const auto& rOutcome = *static_cast<const rlzev::SOutcome*>(a_pOutcome);
    if (!rOutcome.m_Texts.empty())
        return py::cast(rOutcome.m_Texts);
    return py::bool_(rOutcome.m_eStatus == rlzev::SOutcome::DONE);
}

// An operation of the runtime's table, as every door runs it: the runtime's check first (a
// range beyond the register: IndexError; any other argument: ValueError, with the texts
// every door gives), then its handler within one call of the device; the library's refusal
// is a ServiceError, its reports a ReportedError.
rlzev::SOutcome Operate(CPyDevice& a_rDevice, rlzev::SOperation a_Operation, bool a_bCountGiven, EReports a_eReports)
{
    if (!a_rDevice.m_pParts)
        throw py::value_error("the device has been destroyed");
    CDeviceRuntime& rRuntime = *a_rDevice.m_pParts->m_pRuntime;
    rlzev::SBudget Budget;
    rlzev::EArgument eRefused = rlzev::EArgument::REGISTER;
    const std::string strRefusal = rlzev::CheckOperation(rRuntime.Catalogue(), a_Operation, a_bCountGiven, Budget, &eRefused);
    if (!strRefusal.empty())
    {
        if (eRefused == rlzev::EArgument::START)
            throw py::index_error(strRefusal);
        throw py::value_error(strRefusal);
    }
    rlzev::SOutcome Outcome =
        a_rDevice.Run([&](CZEV&) { return rRuntime.RunHeld(a_Operation); }, a_eReports, &OutcomeResult);
    if (Outcome.m_eStatus == rlzev::SOutcome::REFUSED)
        a_rDevice.Refused(Outcome.m_strError);
    return Outcome;
}

rlzev::SOperation Named(rlzev::EOperation a_eOperation, const py::handle& a_rRegister, const py::handle& a_rSignal)
{
    rlzev::SOperation Operation;
    Operation.m_eOperation = a_eOperation;
    Operation.m_strRegister = Text(a_rRegister, "register");
    Operation.m_strSignal = Text(a_rSignal, "signal");
    return Operation;
}

void Check(CPyDevice& a_rDevice, bool a_bOk, const std::string& a_strError)
{
    if (!a_bOk)
        a_rDevice.Refused(a_strError);
}


// The signals a logging request names, as the library would find them; an unknown name
// raises ServiceError with the text the service gives (the library answers it with true).
std::vector<CSignalBase*> LoggedSignals(CPyDevice& a_rDevice, const std::string& a_strRegister, const std::string& a_strSignal)
{
    std::vector<CSignalBase*> Signals;
    bool bRegister = false;
    for (CRegisterBase* pRegister : a_rDevice.m_pDevice->GetRegisters())
    {
        if (!MeansAll(a_strRegister) && pRegister->GetName() != a_strRegister)
            continue;
        bRegister = true;
        for (CSignalBase* pSignal : pRegister->GetSignals())
            if (MeansAll(a_strSignal) || pSignal->GetName() == a_strSignal)
                Signals.push_back(pSignal);
    }
    if (!bRegister)
        Raise(Package().m_ServiceError, "Invalid register submitted: " + a_strRegister, py::list());
    if (Signals.empty() && !MeansAll(a_strSignal))
        Raise(Package().m_ServiceError, "Invalid signal submitted: " + a_strSignal, py::list());
    return Signals;
}

// Logging to a Python file: one stream per file, kept while a signal logs to it.
bool Logging(CPyDevice& a_rDevice, const std::vector<CSignalBase*>& a_rSignals, const py::object& a_rFile, bool a_bEnable,
             const std::function<bool(CZEV&, std::ostream*)>& a_Call)
{
    std::shared_ptr<CPyLineStream> pStream;
    if (a_bEnable && !a_rFile.is_none())
    {
        CheckTextFile(a_rFile, "the log");
        for (const auto& rEntry : a_rDevice.m_pParts->m_Logs)
            if (rEntry.second->File().is(a_rFile))
                pStream = rEntry.second;
        if (!pStream)
            pStream = std::make_shared<CPyLineStream>(a_rFile);
    }
    else if (!a_rFile.is_none())
    {
        CheckTextFile(a_rFile, "the log");
    }
    std::ostream* pOstream = pStream ? &pStream->Stream() : nullptr;
    const bool bResult = a_rDevice.Run([&](CZEV& a_rZev) { return a_Call(a_rZev, pOstream); }, EReports::RAISE, &BoolResult);
    // Streams no signal logs to any more are let go (after the call: the library no longer
    // holds them).
    auto& rLogs = a_rDevice.m_pParts->m_Logs;
    for (CSignalBase* pSignal : a_rSignals)
    {
        if (pStream)
            rLogs[pSignal] = pStream;
        else
            rLogs.erase(pSignal);
    }
    return bResult;
}

// ---- The register map, for the package's tree, enumerations and the remote device -------
// The runtime's catalogue, read from a device made for it (no transfer happens while a device
// is made): the package's register map, enumerations and names are the device's own, and a
// remote device's server must have been built from the same description.
py::tuple RegisterMap()
{
    CSimBus Bus;
    CSimStatusRegister Status;
    std::ostringstream Ignored;
    CStreamUtility Utility(Ignored);
    Bus.m_pUtility = &Utility;
    std::unique_ptr<CDeviceRuntime> pRuntime;
    {
        py::gil_scoped_release Release;
        pRuntime.reset(new CDeviceRuntime(Bus, Utility, Status));
    }
    const rlzev::CCatalogue& rCatalogue = pRuntime->Catalogue();
    py::list Map;
    for (const rlzev::SRegisterEntry& rRegister : rCatalogue.Registers())
    {
        py::list Signals;
        for (const rlzev::SSignalEntry& rSignal : rRegister.m_Signals)
        {
            py::list Enumerators;
            for (const rlzev::SEnumeratorEntry& rEnumerator : rSignal.m_Enumerators)
                Enumerators.append(py::make_tuple(rEnumerator.m_strName, rEnumerator.m_udwValue));
            Signals.append(py::make_tuple(rSignal.m_strName, rSignal.m_udwLow, rSignal.m_udwWidth, rSignal.m_udwDefault,
                                          Enumerators));
        }
        Map.append(py::make_tuple(rRegister.m_strName, rRegister.m_udwAddress, rRegister.m_udwWidth, rRegister.m_udwWords,
                                  rRegister.m_strAccess, rRegister.m_bStatus, Signals, rRegister.m_bReadable,
                                  rRegister.m_bWritable));
    }
    py::dict Identity;
    Identity["name"] = rCatalogue.DeviceName();
    Identity["xmlVersion"] = rCatalogue.XmlVersion();
    Identity["generatorVersion"] = rCatalogue.GeneratorVersion();
    {
        py::gil_scoped_release Release;
        pRuntime.reset();
    }
    return py::make_tuple(Identity, Map);
}

// The attribute tree is fixed once the device is made: signals are read, never replaced.
void RefuseSetattr(py::handle a_Self, const py::handle& a_rName, const char* a_pcKind)
{
    const std::string strName = py::str(a_rName);
    const py::object Current = py::reinterpret_steal<py::object>(PyObject_GenericGetAttr(a_Self.ptr(), a_rName.ptr()));
    PyErr_Clear();
    const std::string strOwner = py::str(a_Self.attr("name"));
    if (Current && py::isinstance<CPySignal>(Current))
        throw py::attribute_error(strOwner + "." + strName + " is a signal: write it with .set(value, mode)");
    throw py::attribute_error(strOwner + " has no " + a_pcKind + " " + strName + " to set (its attributes are fixed)");
}
} // namespace

// Docstrings begin with the call's signature in the form inspect.signature reads.
PYBIND11_MODULE(_zev, m)
{
    py::options Options;
    Options.disable_function_signatures();
    m.doc() = "The ZEV register-access library (rl_zev) bound for Python; use the zev package.";
    m.attr("__version__") = RL_ZEV_VERSION;
    IsMainThread();

    m.def("_configure", [](py::object a_ServiceError, py::object a_ReportedError, py::object a_HostFault,
                           py::object a_NestedCallError, py::object a_Report, py::object a_LockState, py::object a_WriteMode) {
        if (g_pPackage == nullptr)
            g_pPackage = new SPackage();
        *g_pPackage = SPackage{a_ServiceError, a_ReportedError, a_HostFault, a_NestedCallError, a_Report, a_LockState,
                               a_WriteMode, py::module_::import("enum").attr("Enum")};
    });
    // Devices still waiting to be destroyed when the interpreter ends.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { DropDeferred(); }));

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
    py::class_<CSimBus, CHWAccess, PySimBus>(m, "SimBus",
                                             "The simulated ZEV's address space. A subclass may define Write, Read or "
                                             "Wait to watch or change the transfers, and forward with super().")
        .def(py::init_alias<>())
        .def("Write", [](CSimBus& b, unsigned a_udwAddress, const py::object& a_rWords, unsigned a_udwByteCount) {
            std::vector<unsigned> Words;
            for (const py::handle Value : py::reinterpret_borrow<py::sequence>(a_rWords))
                Words.push_back(Word(Value, "a word"));
            if (Words.size() != (a_udwByteCount + 3) / 4)
                throw py::value_error(std::to_string(a_udwByteCount) + " bytes are " + std::to_string((a_udwByteCount + 3) / 4) +
                                      " word(s), not " + std::to_string(Words.size()));
            PySimBus& rBus = static_cast<PySimBus&>(b);
            std::lock_guard<std::mutex> Lock(rBus.m_Mutex);
            b.CSimBus::Write(a_udwAddress, Words.data(), a_udwByteCount);
        }, RL_ZEV_SIGNATURE("Write", "(self, address, words, byte_count)") "The simulator's own write.",
           py::arg("address"), py::arg("words"), py::arg("byte_count"))
        .def("Read", [](CSimBus& b, unsigned a_udwAddress, unsigned a_udwByteCount) {
            std::vector<unsigned> Words((a_udwByteCount + 3) / 4 + 1);
            PySimBus& rBus = static_cast<PySimBus&>(b);
            {
                std::lock_guard<std::mutex> Lock(rBus.m_Mutex);
                b.CSimBus::Read(a_udwAddress, Words.data(), a_udwByteCount);
            }
            Words.pop_back();
            return Words;
        }, RL_ZEV_SIGNATURE("Read", "(self, address, byte_count)") "The simulator's own read: the words.",
           py::arg("address"), py::arg("byte_count"))
        .def("Wait", [](CSimBus& b, unsigned a_udwDuration) {
            PySimBus& rBus = static_cast<PySimBus&>(b);
            std::lock_guard<std::mutex> Lock(rBus.m_Mutex);
            b.CSimBus::Wait(a_udwDuration);
        }, RL_ZEV_SIGNATURE("Wait", "(self, duration)") "The simulator's own wait (counted).", py::arg("duration"))
        .def("peek", [](CSimBus& b, unsigned a_udwAddress) {
            std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex);
            return b.Peek(a_udwAddress);
        }, RL_ZEV_SIGNATURE("peek", "(self, address)") "The device's word at an address, without a transfer.",
           py::arg("address"))
        .def("poke", [](CSimBus& b, unsigned a_udwAddress, const py::handle& a_rValue) {
            const unsigned udwValue = Word(a_rValue, "value");
            std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex);
            b.Poke(a_udwAddress, udwValue);
        }, RL_ZEV_SIGNATURE("poke", "(self, address, value)") "The device changes a word by itself.",
           py::arg("address"), py::arg("value"))
        .def("raise_status", [](CSimBus& b, unsigned a_udwAddress, unsigned a_udwBits) {
            std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex);
            b.RaiseStatus(a_udwAddress, a_udwBits);
        }, RL_ZEV_SIGNATURE("raise_status", "(self, address, bits)") "The device raises status bits (addresses 24 to 29).",
           py::arg("address"), py::arg("bits"))
        .def("set_trace", [](CSimBus& b, const py::object& a_rFile) {
            PySimBus& rBus = static_cast<PySimBus&>(b);
            std::unique_ptr<CPyLineStream> pStream;
            if (!a_rFile.is_none())
            {
                CheckTextFile(a_rFile, "the trace");
                pStream.reset(new CPyLineStream(a_rFile));
            }
            std::unique_ptr<CPyLineStream> pOld;
            {
                std::lock_guard<std::mutex> Lock(rBus.m_Mutex);
                b.SetTrace(pStream ? &pStream->Stream() : nullptr);
                pOld = std::move(rBus.m_pTrace);
                rBus.m_pTrace = std::move(pStream);
            }
        }, RL_ZEV_SIGNATURE("set_trace", "(self, file)")
           "Every transfer, one line each (\"bus: W 0x00E00 3 0x00000003\"), to a text file; None stops it.",
           py::arg("file"))
        .def_property("ready_after_polls",
                      [](CSimBus& b) { std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex); return b.m_udwReadyAfterPolls; },
                      [](CSimBus& b, unsigned a_udwPolls) { std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex); b.m_udwReadyAfterPolls = a_udwPolls; },
                      "The read-back's SERDAT_RDY shows at this status poll after a start; 0: never.")
        .def_property("throw_on_read",
                      [](CSimBus& b) { std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex); return b.m_iThrowOnRead; },
                      [](CSimBus& b, int a_iCount) { std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex); b.m_iThrowOnRead = a_iCount; },
                      "The n-th Read from now throws (n > 0), or every Read (n < 0).")
        .def_property_readonly("reads", [](CSimBus& b) { std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex); return b.m_Counters.m_uReads; })
        .def_property_readonly("writes", [](CSimBus& b) { std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex); return b.m_Counters.m_uWrites; })
        .def_property_readonly("waits", [](CSimBus& b) { std::lock_guard<std::mutex> Lock(static_cast<PySimBus&>(b).m_Mutex); return b.m_Counters.m_uWaits; });
    py::class_<CSimStatusRegister, CIStatusRegister>(m, "SimStatusRegister", "Write-one-to-clear status preparation")
        .def(py::init<>());
    py::class_<CReportLog, CUtility_Interface>(m, "ReportLog", "Keeps every report as a zev.Report, in order, in reports")
        .def(py::init<>())
        .def_property_readonly("reports", [](const CReportLog& a_rLog) { return a_rLog.m_Reports; },
                               "The reports so far: a list (clear it to start again)")
        .def_property("stop_waiting", [](const CReportLog& a_rLog) { return a_rLog.m_bStopWaiting.load(); },
                      [](CReportLog& a_rLog, bool a_bStop) { a_rLog.m_bStopWaiting = a_bStop; },
                      "What StopWaiting answers: True gives up the read-back's wait at once")
        .def("clear", [](CReportLog& a_rLog) { a_rLog.m_Reports.attr("clear")(); },
             RL_ZEV_SIGNATURE("clear", "(self)") "Forgets the reports so far.");

    py::class_<CPySignal>(m, "Signal", py::custom_type_setup(&VisitDevice<CPySignal>),
                          "A bit field of a register, typed: set(value, mode) and get(read_hw) are the library's Set and Get.")
        .def("lock", [](CPySignal& s) {
            CFieldSignal* pSignal = s.m_pSignal;
            s.m_pDevice->Run([pSignal](CZEV&) { pSignal->Lock(); return 0; }, EReports::RAISE);
        }, RL_ZEV_SIGNATURE("lock", "(self)") "Freezes the application's value: sets are ignored until unlock().")
        .def("unlock", [](CPySignal& s) {
            CFieldSignal* pSignal = s.m_pSignal;
            s.m_pDevice->Run([pSignal](CZEV&) { return pSignal->Unlock(); }, EReports::RAISE, &BoolResult);
        }, RL_ZEV_SIGNATURE("unlock", "(self)") "Unlocks and writes the application's value back.")
        .def("value_text", [](CPySignal& s) {
            CFieldSignal* pSignal = s.m_pSignal;
            const std::list<std::string> Texts = s.m_pDevice->Run([pSignal](CZEV&) { return pSignal->GetValueByString(); },
                                                                  EReports::RAISE);
            return std::vector<std::string>(Texts.begin(), Texts.end());
        }, RL_ZEV_SIGNATURE("value_text", "(self)") "The value as the library's text (GetValueByString).")
        .def("service_read", [](CPySignal& s) {
            std::list<std::string> Values;
            std::string strError;
            CFieldSignal* pSignal = s.m_pSignal;
            Check(*s.m_pDevice, s.m_pDevice->Run([&](CZEV&) { return pSignal->ServiceRead(Values, strError); },
                                                 EReports::SERVICE, &BoolResult), strError);
            return std::vector<std::string>(Values.begin(), Values.end());
        }, RL_ZEV_SIGNATURE("service_read", "(self)") "The text service's read of this signal.")
        .def("service_write", [](CPySignal& s, const py::object& a_rValues) {
            // The runtime's operation, checked as at every door.
            const std::list<std::string> Values = Texts(a_rValues);
            rlzev::SOperation Write;
            Write.m_eOperation = rlzev::EOperation::WRITE;
            Write.m_strRegister = s.m_pRegister->GetName();
            Write.m_strSignal = s.m_pSignal->GetName();
            Write.m_Values.assign(Values.begin(), Values.end());
            Operate(*s.m_pDevice, std::move(Write), false, EReports::SERVICE);
        }, RL_ZEV_SIGNATURE("service_write", "(self, values)")
           "The text service's write (the signal stays LOCKED until unlock()); a refusal raises zev.ServiceError.",
           py::arg("values"))
        .def("logging", [](CPySignal& s, const py::object& a_rFile, const py::handle& a_rEnable) {
            const bool bEnable = Flag(a_rEnable, "enable");
            CFieldSignal* pSignal = s.m_pSignal;
            return Logging(*s.m_pDevice, {pSignal}, a_rFile, bEnable,
                           [pSignal, bEnable](CZEV&, std::ostream* a_pStream) { return pSignal->Logging(a_pStream, bEnable); });
        }, RL_ZEV_SIGNATURE("logging", "(self, file, enable=True)")
           "Change-log lines of this signal to a text file (enable=False stops them and lets the file go).",
           py::arg("file"), py::arg("enable") = true)
        .def_property_readonly("name", [](const CPySignal& s) { return s.m_pSignal->GetName(); })
        .def_property_readonly("register", [](const CPySignal& s) { return s.m_pRegister->GetName(); })
        .def_property_readonly("low", [](const CPySignal& s) { return s.m_pSignal->GetLow(); })
        .def_property_readonly("max", [](const CPySignal& s) { return s.m_pSignal->GetMaxValue(); })
        .def_property_readonly("lock_state", [](CPySignal& s) {
            CFieldSignal* pSignal = s.m_pSignal;
            return LockState(s.m_pDevice->Run([pSignal](CZEV&) { return pSignal->GetLockState(); }, EReports::RAISE));
        }, "zev.LockState: UNLOCKED, LOCKED, or SERVICE_ACCESS")
        .def_property_readonly("Enum", [](const CPySignal& s) { return s.m_Enum; },
                               "The signal's IntEnum (zev.enums.REGISTER.SIGNAL), or None for a number")
        .def("_set_enum", &CPySignal::SetEnumeration)
        // Only for names it does not have; the same texts as a remote device's signal.
        .def("__getattr__", [](const CPySignal& s, const std::string& a_strName) -> py::object {
            throw py::attribute_error(s.Name() + " has no attribute " + a_strName);
        })
        .def("__setattr__", [](const CPySignal& s, const std::string& a_strName, const py::handle&) {
            throw py::attribute_error(s.Name() + "." + a_strName + " cannot be changed: a signal's attributes are fixed");
        })
        .def("__delattr__", [](const CPySignal& s, const std::string& a_strName) {
            throw py::attribute_error(s.Name() + "." + a_strName + " cannot be changed: a signal's attributes are fixed");
        })
        .def("__copy__", [](const CPySignal& s) -> py::object { throw py::type_error(s.Name() + " is part of its device and cannot be copied"); })
        .def("__deepcopy__", [](const CPySignal& s, py::handle) -> py::object { throw py::type_error(s.Name() + " is part of its device and cannot be copied"); })
        .def("__reduce__", [](const CPySignal& s) -> py::object { throw py::type_error(s.Name() + " is part of its device and cannot be pickled"); })
        .def("__repr__", [](const CPySignal& s) { return "<zev signal " + s.Name() + ">"; });
    for (PyMethodDef& rCall : g_aSignalCalls)
    {
        PyObject* pType = m.attr("Signal").ptr();
        const py::object Descriptor =
            py::reinterpret_steal<py::object>(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(pType), &rCall));
        if (!Descriptor)
            throw py::error_already_set();
        py::setattr(pType, rCall.ml_name, Descriptor);
    }

    py::class_<CPyRegister>(m, "Register", py::dynamic_attr(), py::custom_type_setup(&VisitDevice<CPyRegister>),
                            "A register (its signals are attributes) or a memory (get, set, get_array).")
        .def_property_readonly("name", [](const CPyRegister& r) { return r.Name(); })
        .def_property_readonly("address", [](const CPyRegister& r) {
            unsigned udwFirst = 0, udwSecond = 0;
            r.m_pRegister->GetAdresses(udwFirst, udwSecond);
            return udwFirst;
        })
        .def_property_readonly("width", [](const CPyRegister& r) { return r.m_pRegister->GetWidth(); })
        .def_property_readonly("words", &CPyRegister::Size)
        .def_property_readonly("is_memory", &CPyRegister::IsMemory)
        .def_property_readonly("lock_state", [](CPyRegister& r) {
            CRegisterBase* pRegister = r.m_pRegister;
            return LockState(r.m_pDevice->Run([pRegister](CZEV&) { return pRegister->GetLockState(); }, EReports::RAISE));
        }, "zev.LockState of the register (of a memory as a whole)")
        .def("signals", [](py::object a_Self) {
            py::list Signals;
            for (const auto& rSignal : a_Self.cast<CPyRegister&>().m_Signals)
                Signals.append(a_Self.attr(rSignal.first.c_str()));
            return Signals;
        }, RL_ZEV_SIGNATURE("signals", "(self)") "The register's signals in bit order.")
        .def("read", [](CPyRegister& r, const py::handle& a_rStart, const py::handle& a_rCount) {
            rlzev::SOperation Read = r.Named(rlzev::EOperation::APP_WORDS, py::str(""));
            Read.m_udwStart = Index(a_rStart, "start");
            if (!a_rCount.is_none())
                Read.m_udwCount = Index(a_rCount, "count");
            return Operate(*r.m_pDevice, std::move(Read), !a_rCount.is_none(), EReports::RAISE).m_Words;
        }, RL_ZEV_SIGNATURE("read", "(self, start=0, count=None)")
           "The application's words as they are (no transfer): count words from start (default: to the end).",
           py::arg("start") = 0, py::arg("count") = py::none())
        .def("get", [](CPyRegister& r, const py::handle& a_rStart, const py::handle& a_rCount, const py::handle& a_rReadHw) {
            const bool bReadHw = Flag(a_rReadHw, "read_hw");
            r.RequireMemory();
            const auto Range = r.Range(a_rStart, a_rCount);
            std::vector<unsigned> Words(Range.second);
            r.GetWords(Words.data(), Range.first, Range.second, bReadHw);
            return Words;
        }, RL_ZEV_SIGNATURE("get", "(self, start=0, count=None, read_hw=True)")
           "A memory's typed Get: count words from start (default: to the end) as a list, read from the hardware "
           "first with read_hw=True.", py::arg("start") = 0, py::arg("count") = py::none(), py::arg("read_hw") = true)
        .def("get_array", [](CPyRegister& r, const py::handle& a_rStart, const py::handle& a_rCount, const py::handle& a_rReadHw,
                             py::object a_Out) {
            const bool bReadHw = Flag(a_rReadHw, "read_hw");
            r.RequireMemory();
            const auto Range = r.Range(a_rStart, a_rCount);
            if (a_Out.is_none())
            {
                a_Out = py::module_::import("array").attr("array")("I", py::bytes(std::string(std::size_t(Range.second) * 4, '\0')));
            }
            SBufferView View(a_Out);
            if (View.Count() != Range.second)
                throw py::value_error("out holds " + std::to_string(View.Count()) + " word(s), not " + std::to_string(Range.second));
            r.GetWords(View.Words(), Range.first, Range.second, bReadHw);
            return a_Out;
        }, RL_ZEV_SIGNATURE("get_array", "(self, start=0, count=None, read_hw=True, out=None)")
           "As get(), the words written by the library straight into an array('I') (or into out, any writable buffer "
           "of unsigned 32-bit words such as a numpy uint32 array), which is returned: no copy.",
           py::arg("start") = 0, py::arg("count") = py::none(), py::arg("read_hw") = true, py::arg("out") = py::none())
        .def("set", &CPyRegister::Set, RL_ZEV_SIGNATURE("set", "(self, words, start=0)")
             "A memory's typed Set from start: a list of ints or any buffer of unsigned 32-bit words. Returns the "
             "library's result: True when the hardware was written.", py::arg("words"), py::arg("start") = 0)
        .def("service_read", [](CPyRegister& r, const py::handle& a_rSignal, const py::handle& a_rStart, const py::handle& a_rCount) {
            rlzev::SOperation Read = r.Named(rlzev::EOperation::READ, a_rSignal);
            Read.m_udwStart = Index(a_rStart, "start");
            if (!a_rCount.is_none())
                Read.m_udwCount = Index(a_rCount, "count");
            return Operate(*r.m_pDevice, std::move(Read), !a_rCount.is_none(), EReports::SERVICE).m_Texts;
        }, RL_ZEV_SIGNATURE("service_read", "(self, signal='', start=0, count=None)")
           "The text service's read: a signal, the whole register, or memory words from start.",
           py::arg("signal") = "", py::arg("start") = 0, py::arg("count") = py::none())
        .def("service_write", [](CPyRegister& r, const py::object& a_rValues, const py::handle& a_rSignal, const py::handle& a_rStart) {
            rlzev::SOperation Write = r.Named(rlzev::EOperation::WRITE, a_rSignal);
            const std::list<std::string> Values = Texts(a_rValues);
            Write.m_Values.assign(Values.begin(), Values.end());
            Write.m_udwStart = Index(a_rStart, "start");
            Operate(*r.m_pDevice, std::move(Write), false, EReports::SERVICE);
        }, RL_ZEV_SIGNATURE("service_write", "(self, values, signal='', start=0)")
           "The text service's write; a refusal raises zev.ServiceError.",
           py::arg("values"), py::arg("signal") = "", py::arg("start") = 0)
        .def("lock", [](CPyRegister& r, const py::handle& a_rSignal) {
            Operate(*r.m_pDevice, r.Named(rlzev::EOperation::LOCK, a_rSignal), false, EReports::SERVICE);
        }, RL_ZEV_SIGNATURE("lock", "(self, signal='ALL')") "Locks a signal, or all of them.", py::arg("signal") = "ALL")
        .def("unlock", [](CPyRegister& r, const py::handle& a_rSignal) {
            Operate(*r.m_pDevice, r.Named(rlzev::EOperation::UNLOCK, a_rSignal), false, EReports::SERVICE);
        }, RL_ZEV_SIGNATURE("unlock", "(self, signal='ALL')") "Unlocks a signal, or all of them, writing the application's value back.",
           py::arg("signal") = "ALL")
        .def("set_to_default", [](CPyRegister& r) {
            CRegisterBase* pRegister = r.m_pRegister;
            return r.m_pDevice->Run([pRegister](CZEV&) { return pRegister->SetToDefault(); }, EReports::RAISE, &BoolResult);
        }, RL_ZEV_SIGNATURE("set_to_default", "(self)") "The register's defaults, written.")
        .def("get_all", [](py::object a_Self, const py::handle& a_rReadHw) {
            CPyRegister& r = a_Self.cast<CPyRegister&>();
            const bool bReadHw = Flag(a_rReadHw, "read_hw");
            std::vector<unsigned> Values(r.m_Signals.size());
            const auto& rSignals = r.m_Signals;
            r.m_pDevice->Run([&](CZEV&) {
                for (std::size_t i = 0; i < rSignals.size(); ++i)
                    Values[i] = rSignals[i].second->Get(bReadHw && i == 0);
                return 0;
            }, EReports::RAISE);
            py::dict Result;
            for (std::size_t i = 0; i < rSignals.size(); ++i)
                Result[rSignals[i].first.c_str()] = a_Self.attr(rSignals[i].first.c_str()).cast<CPySignal&>().Member(Values[i]);
            return Result;
        }, RL_ZEV_SIGNATURE("get_all", "(self, read_hw=False)")
           "Every signal's typed Get in one call, by name (with read_hw=True the register is read once, first).",
           py::arg("read_hw") = false)
        .def("__getattr__", [](const CPyRegister& r, const std::string& a_strName) -> py::object {
            throw py::attribute_error(r.Name() + " has no signal or attribute " + a_strName);
        })
        .def("__setattr__", [](py::handle a_Self, const py::handle& a_rName, const py::handle&) { RefuseSetattr(a_Self, a_rName, "signal"); })
        .def("__delattr__", [](py::handle a_Self, const py::handle& a_rName) { RefuseSetattr(a_Self, a_rName, "signal"); })
        .def("__copy__", [](const CPyRegister& r) -> py::object { throw py::type_error(r.Name() + " is part of its device and cannot be copied"); })
        .def("__deepcopy__", [](const CPyRegister& r, py::handle) -> py::object { throw py::type_error(r.Name() + " is part of its device and cannot be copied"); })
        .def("__reduce__", [](const CPyRegister& r) -> py::object { throw py::type_error(r.Name() + " is part of its device and cannot be pickled"); })
        .def("__repr__", [](const CPyRegister& r) { return "<zev register " + r.Name() + ">"; });

    py::class_<CPyDevice>(m, "Device", py::custom_type_setup(&VisitDevice<CPyDevice, CDeviceGc>),
                          "One ZEV made by the device runtime on three host objects; use zev.Device.")
        .def(py::init<py::object, py::object, py::object>(), py::arg("bus"), py::arg("utility"), py::arg("status"))
        .def("_parts", [](py::object a_Self) {
            // Every register with its signals, in list order, for the package's attribute tree.
            CPyDevice& d = a_Self.cast<CPyDevice&>();
            py::list Registers;
            for (CRegisterBase* pRegister : d.m_pDevice->GetRegisters())
            {
                py::object Register = py::cast(CPyRegister(a_Self, &d, pRegister));
                CPyRegister& rRegister = Register.cast<CPyRegister&>();
                py::list Signals;
                for (CSignalBase* pSignal : pRegister->GetSignals())
                    if (CFieldSignal* pField = dynamic_cast<CFieldSignal*>(pSignal))
                    {
                        py::object Signal = py::cast(CPySignal(a_Self, &d, pRegister, pField));
                        const py::str Name(pField->GetName());
                        if (PyObject_GenericSetAttr(Register.ptr(), Name.ptr(), Signal.ptr()) != 0)
                            throw py::error_already_set();
                        rRegister.m_Signals.emplace_back(pField->GetName(), pField);
                        Signals.append(Signal);
                    }
                Registers.append(py::make_tuple(Register, Signals));
            }
            return Registers;
        })
        .def_property_readonly("name", [](const CPyDevice& d) { return d.m_strName; })
        .def_property_readonly("xml_version", [](const CPyDevice& d) { return d.m_pDevice->GetXMLVersion(); })
        .def_property_readonly("generator_version", [](const CPyDevice& d) { return d.m_pDevice->GetCodeGeneratorVersion(); })
        .def_property_readonly("bus", [](const CPyDevice& d) { return d.m_pParts ? d.m_pParts->m_Bus : py::none(); })
        .def_property_readonly("utility", [](const CPyDevice& d) { return d.m_pParts ? d.m_pParts->m_Utility : py::none(); })
        .def_property_readonly("status", [](const CPyDevice& d) { return d.m_pParts ? d.m_pParts->m_Status : py::none(); })
        .def("sets", &CPyDevice::Sets, RL_ZEV_SIGNATURE("sets", "(self, operation, body)")
             "A register-set operation (save, compare, apply) as zevd carries it out: (status, answer), JSON texts.")
        .def("last_reports", [](const CPyDevice& d) {
            return t_LastReports.m_pDevice == &d ? ReportList(t_LastReports.m_Reports) : py::list();
        })
        .def("set_to_default", [](CPyDevice& d) {
            return d.Run([](CZEV& a_rDevice) { return a_rDevice.SetToDefault(); }, EReports::RAISE_UNLESS_DENIED, &BoolResult);
        })
        .def("snapshot", [](CPyDevice& d) {
            return d.Run([](CZEV& a_rDevice) {
                std::ostringstream Text;
                a_rDevice.SnapShot(Text);
                return Text.str();
            }, EReports::RAISE_UNLESS_DENIED);
        })
        .def("lock_all", [](CPyDevice& d) { d.Run([](CZEV& a_rDevice) { a_rDevice.LockAll(); return 0; }, EReports::RAISE_UNLESS_DENIED); })
        .def("unlock_all", [](CPyDevice& d) { d.Run([](CZEV& a_rDevice) { a_rDevice.UnlockAll(); return 0; }, EReports::RAISE_UNLESS_DENIED); })
        .def("lock", [](CPyDevice& d, const py::handle& a_rRegister, const py::handle& a_rSignal) {
            const rlzev::SOperation Lock = Named(rlzev::EOperation::LOCK, a_rRegister, a_rSignal);
            Operate(d, Lock, false, MeansAll(Lock.m_strRegister) ? EReports::RAISE_UNLESS_DENIED : EReports::SERVICE);
        })
        .def("unlock", [](CPyDevice& d, const py::handle& a_rRegister, const py::handle& a_rSignal) {
            const rlzev::SOperation Unlock = Named(rlzev::EOperation::UNLOCK, a_rRegister, a_rSignal);
            Operate(d, Unlock, false, MeansAll(Unlock.m_strRegister) ? EReports::RAISE_UNLESS_DENIED : EReports::SERVICE);
        })
        .def("logging", [](CPyDevice& d, const py::handle& a_rRegister, const py::handle& a_rSignal, const py::object& a_rFile,
                           const py::handle& a_rEnable) {
            const std::string strRegister = Text(a_rRegister, "register"), strSignal = Text(a_rSignal, "signal");
            const bool bEnable = Flag(a_rEnable, "enable");
            if (!d.m_pParts)
                throw py::value_error("the device has been destroyed");
            const std::vector<CSignalBase*> Signals = LoggedSignals(d, strRegister, strSignal);
            return Logging(d, Signals, a_rFile, bEnable, [&](CZEV& a_rDevice, std::ostream* a_pStream) {
                return a_rDevice.Logging(strRegister, strSignal, a_pStream, bEnable);
            });
        })
        .def("service_read", [](CPyDevice& d, const py::handle& a_rRegister, const py::handle& a_rSignal, const py::handle& a_rStart,
                                const py::handle& a_rCount) {
            rlzev::SOperation Read = Named(rlzev::EOperation::READ, a_rRegister, a_rSignal);
            Read.m_udwStart = Index(a_rStart, "start");
            if (!a_rCount.is_none())
                Read.m_udwCount = Index(a_rCount, "count");
            return Operate(d, std::move(Read), !a_rCount.is_none(), EReports::SERVICE).m_Texts;
        })
        .def("service_write", [](CPyDevice& d, const py::handle& a_rRegister, const py::handle& a_rSignal, const py::object& a_rValues,
                                 const py::handle& a_rStart) {
            rlzev::SOperation Write = Named(rlzev::EOperation::WRITE, a_rRegister, a_rSignal);
            const std::list<std::string> Values = Texts(a_rValues);
            Write.m_Values.assign(Values.begin(), Values.end());
            Write.m_udwStart = Index(a_rStart, "start");
            Operate(d, std::move(Write), false, EReports::SERVICE);
        })
        .def("get_value_by_string", [](CPyDevice& d, const py::handle& a_rRegister, const py::handle& a_rSignal) {
            return Operate(d, Named(rlzev::EOperation::VALUE, a_rRegister, a_rSignal), false, EReports::RAISE).m_Texts;
        })
        .def("get_all", [](CPyDevice& d, const py::list& a_rRegisters, const py::handle& a_rReadHw) {
            // Every signal of the given registers (Register objects) in one call.
            const bool bReadHw = Flag(a_rReadHw, "read_hw");
            std::vector<CPyRegister*> Registers;
            for (const py::handle Register : a_rRegisters)
                Registers.push_back(&Register.cast<CPyRegister&>());
            std::vector<std::vector<unsigned>> Values(Registers.size());
            d.Run([&](CZEV&) {
                for (std::size_t r = 0; r < Registers.size(); ++r)
                {
                    const auto& rSignals = Registers[r]->m_Signals;
                    Values[r].resize(rSignals.size());
                    for (std::size_t i = 0; i < rSignals.size(); ++i)
                        Values[r][i] = rSignals[i].second->Get(bReadHw && i == 0);
                }
                return 0;
            }, EReports::RAISE_UNLESS_DENIED);
            py::dict Result;
            for (std::size_t r = 0; r < Registers.size(); ++r)
            {
                const py::handle Register = a_rRegisters[r];
                py::dict Signals;
                const auto& rSignals = Registers[r]->m_Signals;
                for (std::size_t i = 0; i < rSignals.size(); ++i)
                    Signals[rSignals[i].first.c_str()] = Register.attr(rSignals[i].first.c_str()).cast<CPySignal&>().Member(Values[r][i]);
                Result[Registers[r]->Name().c_str()] = Signals;
            }
            return Result;
        });

    m.def("register_map", &RegisterMap);
    // The runtime's texts for the refusals a door makes without the device (a remote device's own checks).
    m.def("_range_text", [](const std::string& a_strRegister, unsigned a_udwWords, unsigned a_udwStart, std::size_t a_uRange) {
        return rlzev::RangeText(a_strRegister, a_udwWords, a_udwStart, a_uRange);
    });
    m.def("_too_many_words_text", &rlzev::TooManyWordsText);
    m.attr("_max_words") = rlzev::SLimits::kMaxWords;
    m.def("_too_many_values_text", &rlzev::TooManyValuesText);
    m.attr("_max_values") = rlzev::SLimits::kMaxValues;
    m.def("_value_limit_text", [](const std::string& a_strRegister, const std::string& a_strSignal, unsigned a_udwMax,
                                  const std::string& a_strValue) {
        return rlzev::ValueLimitText(a_strRegister, a_strSignal, a_udwMax, a_strValue);
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
