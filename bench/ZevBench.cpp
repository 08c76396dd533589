// The library's costs next to hand-written baselines that do the same work with raw masks
// on the same host object, and the host transfers each operation makes.
#include "ZEV.h"
#include "ZevSimulator.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <ostream>

// Heap use of everything in the process, the library included.
namespace
{
unsigned long long g_uAllocations = 0;
unsigned long long g_uAllocatedBytes = 0;
} // namespace

void* operator new(std::size_t a_uSize)
{
    ++g_uAllocations;
    g_uAllocatedBytes += a_uSize;
    if (void* p = std::malloc(a_uSize == 0 ? 1 : a_uSize))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* a_p) noexcept { std::free(a_p); }
void operator delete(void* a_p, std::size_t) noexcept { std::free(a_p); }

namespace
{
// The cheapest host there is: it counts, the status word always shows SERDAT_RDY.
class CCountingHost : public CHWAccess, public CIStatusRegister, public CUtility_Interface
{
public:
    CCountingHost() { m_pUtility = this; }
    void Write(unsigned, const unsigned* a_udwpData, unsigned) override
    {
        ++m_uWrites;
        benchmark::DoNotOptimize(*a_udwpData);
    }
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned) override
    {
        ++m_uReads;
        *a_udwpData = a_udwAddress == 24 ? 0x10000u : m_udwValue;
    }
    void Wait(unsigned) override { ++m_uWaits; }
    void PrepareSet(unsigned*) override {}
    void PrepareReset(unsigned*) override {}
    void PrepareResetAll(unsigned*) override {}
    void ReportError(const char*, int, const char*, const char*) override { ++m_uReports; }
    bool StopWaiting() override { return false; }
    void ReportAccessDenied(const char*, int, const char*, const char*) override { ++m_uReports; }

    unsigned long long m_uWrites = 0, m_uReads = 0, m_uWaits = 0, m_uReports = 0;
    unsigned m_udwValue = 0x5;
};

// The baselines reach the host through a pointer the optimiser cannot see through, as the
// library does: a virtual call per transfer, like any host's.
template <class T>
T* Opaque(T* a_p)
{
    benchmark::DoNotOptimize(a_p);
    return a_p;
}

// A register's two words, as the baselines keep them: in memory, like the library's.
struct SWords
{
    unsigned m_udwHw = 0;
    unsigned m_udwApp = 0;
};

// Per-iteration transfer counts, shown beside the times.
void Transfers(benchmark::State& a_rState, const CCountingHost& a_rHost)
{
    const double dIterations = static_cast<double>(a_rState.iterations());
    a_rState.counters["writes"] = static_cast<double>(a_rHost.m_uWrites) / dIterations;
    a_rState.counters["reads"] = static_cast<double>(a_rHost.m_uReads) / dIterations;
}

struct SDevice
{
    CCountingHost Host;
    CZEV Z{&Host, &Host, &Host};
};

// --- Typed Set, HW_WRITE_IMMEDIATE ------------------------------------------------------

void Set_Enum3Bit_Library(benchmark::State& a_rState)
{
    SDevice D;
    unsigned i = 0;
    for (auto _ : a_rState)
        D.Z.AUD_CNTRL0.TRIG_SEL.Set(static_cast<ZEV::AUD_CNTRL0::CSignal_TRIG_SEL::TRIG_SEL>(++i & 7),
                                    CSignalBase::HW_WRITE_IMMEDIATE);
    Transfers(a_rState, D.Host);
}

void Set_Enum3Bit_Raw(benchmark::State& a_rState)
{
    CCountingHost Host;
    CHWAccess* pBus = Opaque<CHWAccess>(&Host);
    SWords& W = *Opaque(new SWords);
    unsigned& udwHw = W.m_udwHw;
    unsigned& udwApp = W.m_udwApp;
    unsigned i = 0;
    for (auto _ : a_rState)
    {
        const unsigned udwValue = ++i & 7;
        udwApp = (udwApp & ~0x7u) | udwValue;
        udwHw = (udwHw & ~0x7u) | udwValue;
        pBus->Write(0x0E00, &udwHw, 3);
        benchmark::DoNotOptimize(udwApp);
    }
    Transfers(a_rState, Host);
    delete &W;
}

void Set_Status1Bit_Library(benchmark::State& a_rState)
{
    SDevice D;
    for (auto _ : a_rState)
        D.Z.PRI_STATUSREG1.SR1_B_REC_END.Set(ZEV::PRI_STATUSREG1::CSignal_SR1_B_REC_END::ON,
                                             CSignalBase::HW_WRITE_IMMEDIATE);
    Transfers(a_rState, D.Host);
}

void Set_Status1Bit_Raw(benchmark::State& a_rState)
{
    CCountingHost Host;
    CHWAccess* pBus = Opaque<CHWAccess>(&Host);
    CIStatusRegister* pStatus = Opaque<CIStatusRegister>(&Host);
    SWords& W = *Opaque(new SWords);
    unsigned& udwHw = W.m_udwHw;
    for (auto _ : a_rState)
    {
        udwHw = 0x8000;
        pStatus->PrepareSet(&udwHw);
        pBus->Write(0x18, &udwHw, 4);
    }
    Transfers(a_rState, Host);
    delete &W;
}

void Set_Number32Bit_Library(benchmark::State& a_rState)
{
    SDevice D;
    unsigned i = 0;
    for (auto _ : a_rState)
        D.Z.SR0_A_POSTTRIG.POSTTRIG.Set(++i, CSignalBase::HW_WRITE_IMMEDIATE);
    Transfers(a_rState, D.Host);
}

void Set_Number32Bit_Raw(benchmark::State& a_rState)
{
    CCountingHost Host;
    CHWAccess* pBus = Opaque<CHWAccess>(&Host);
    SWords& W = *Opaque(new SWords);
    unsigned& udwHw = W.m_udwHw;
    unsigned& udwApp = W.m_udwApp;
    unsigned i = 0;
    for (auto _ : a_rState)
    {
        udwApp = udwHw = ++i;
        pBus->Write(0x130B, &udwHw, 4);
        benchmark::DoNotOptimize(udwApp);
    }
    Transfers(a_rState, Host);
    delete &W;
}

// --- Three deferred fields and one writing Set ------------------------------------------

void SetDeferred3ThenWrite_Library(benchmark::State& a_rState)
{
    SDevice D;
    auto& R = D.Z.AUD_CNTRL0;
    unsigned i = 0;
    for (auto _ : a_rState)
    {
        ++i;
        R.MULT_HP.Set(i & 0x3F, CSignalBase::HW_WRITE_DEFERRED);
        R.SHIFT_HP.Set(i & 7, CSignalBase::HW_WRITE_DEFERRED);
        R.MULT_DE.Set((i >> 1) & 0x3F, CSignalBase::HW_WRITE_DEFERRED);
        R.TRIG_SEL.Set(static_cast<ZEV::AUD_CNTRL0::CSignal_TRIG_SEL::TRIG_SEL>(i & 7), CSignalBase::HW_WRITE_IMMEDIATE);
    }
    Transfers(a_rState, D.Host);
}

void SetDeferred3ThenWrite_Raw(benchmark::State& a_rState)
{
    CCountingHost Host;
    CHWAccess* pBus = Opaque<CHWAccess>(&Host);
    SWords& W = *Opaque(new SWords);
    unsigned& udwHw = W.m_udwHw;
    unsigned& udwApp = W.m_udwApp;
    unsigned i = 0;
    bool bPending = false;
    auto Put = [](unsigned& a_rudwWord, unsigned a_udwValue, unsigned a_udwLow, unsigned a_udwMax) {
        a_rudwWord = (a_rudwWord & ~(a_udwMax << a_udwLow)) | ((a_udwValue << a_udwLow) & (a_udwMax << a_udwLow));
    };
    for (auto _ : a_rState)
    {
        ++i;
        Put(udwApp, i & 0x3F, 3, 0x3F), Put(udwHw, i & 0x3F, 3, 0x3F), bPending = true;
        Put(udwApp, i & 7, 9, 7), Put(udwHw, i & 7, 9, 7), bPending = true;
        Put(udwApp, (i >> 1) & 0x3F, 12, 0x3F), Put(udwHw, (i >> 1) & 0x3F, 12, 0x3F), bPending = true;
        Put(udwApp, i & 7, 0, 7), Put(udwHw, i & 7, 0, 7), bPending = false;
        pBus->Write(0x0E00, &udwHw, 3);
        benchmark::DoNotOptimize(bPending);
    }
    Transfers(a_rState, Host);
    delete &W;
}

// --- Get ----------------------------------------------------------------------------------

template <bool ReadHW>
void Get_Enum3Bit_Library(benchmark::State& a_rState)
{
    SDevice D;
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(D.Z.AUD_CNTRL0.TRIG_SEL.Get(ReadHW));
    Transfers(a_rState, D.Host);
}

// The read-back path by hand: reset the ready bit, start, poll, wait, fetch.
unsigned ReadBack(CHWAccess* a_pBus, unsigned a_udwAddress)
{
    unsigned udwMask = 0x10000, udwScratch = 0, udwWord = 0;
    a_pBus->Write(24, &udwMask, 4);
    a_pBus->Read(a_udwAddress, &udwScratch, 4);
    do
    {
        udwScratch = 0;
        a_pBus->Wait(8);
        a_pBus->Read(24, &udwScratch, 4);
    } while ((udwScratch & udwMask) == 0);
    a_pBus->Wait(50);
    a_pBus->Read(30, &udwWord, 4);
    return udwWord;
}

template <bool ReadHW>
void Get_Enum3Bit_Raw(benchmark::State& a_rState)
{
    CCountingHost Host;
    SWords& W = *Opaque(new SWords);
    unsigned& udwHw = W.m_udwHw;
    unsigned& udwApp = W.m_udwApp;
    for (auto _ : a_rState)
    {
        if (ReadHW)
            udwHw = ReadBack(Opaque<CHWAccess>(&Host), 0x0E00);
        udwApp = (udwApp & ~0x7u) | (udwHw & 0x7u);
        benchmark::DoNotOptimize(udwApp & 0x7u);
    }
    Transfers(a_rState, Host);
    delete &W;
}

template <bool ReadHW>
void Get_Status1Bit_Library(benchmark::State& a_rState)
{
    SDevice D;
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(D.Z.PRI_STATUSREG1.SR1_B_REC_END.Get(ReadHW));
    Transfers(a_rState, D.Host);
}

template <bool ReadHW>
void Get_Status1Bit_Raw(benchmark::State& a_rState)
{
    CCountingHost Host;
    CHWAccess* pBus = Opaque<CHWAccess>(&Host);
    SWords& W = *Opaque(new SWords);
    unsigned& udwHw = W.m_udwHw;
    unsigned& udwApp = W.m_udwApp;
    for (auto _ : a_rState)
    {
        if (ReadHW)
            pBus->Read(0x18, &udwHw, 4);
        udwApp = (udwApp & ~0x8000u) | (udwHw & 0x8000u);
        benchmark::DoNotOptimize((udwApp >> 15) & 1);
    }
    Transfers(a_rState, Host);
    delete &W;
}

template <bool ReadHW>
void Get_Number32Bit_Library(benchmark::State& a_rState)
{
    SDevice D;
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(D.Z.SR0_A_POSTTRIG.POSTTRIG.Get(ReadHW));
    Transfers(a_rState, D.Host);
}

template <bool ReadHW>
void Get_Number32Bit_Raw(benchmark::State& a_rState)
{
    CCountingHost Host;
    SWords& W = *Opaque(new SWords);
    unsigned& udwHw = W.m_udwHw;
    unsigned& udwApp = W.m_udwApp;
    for (auto _ : a_rState)
    {
        if (ReadHW)
            udwHw = ReadBack(Opaque<CHWAccess>(&Host), 0x130B);
        udwApp = udwHw;
        benchmark::DoNotOptimize(udwApp);
    }
    Transfers(a_rState, Host);
    delete &W;
}

// --- The device as a whole ------------------------------------------------------------------

void ConstructDestroy(benchmark::State& a_rState)
{
    CCountingHost Host;
    unsigned long long uAllocations = 0, uBytes = 0;
    for (auto _ : a_rState)
    {
        const unsigned long long uBefore = g_uAllocations, uBytesBefore = g_uAllocatedBytes;
        auto pDevice = std::make_unique<CZEV>(&Host, &Host, &Host);
        benchmark::DoNotOptimize(pDevice.get());
        pDevice.reset();
        uAllocations = g_uAllocations - uBefore;
        uBytes = g_uAllocatedBytes - uBytesBefore;
    }
    a_rState.counters["allocations"] = static_cast<double>(uAllocations);
    a_rState.counters["heap_bytes"] = static_cast<double>(uBytes);
    a_rState.counters["sizeof_CZEV"] = static_cast<double>(sizeof(CZEV));
    Transfers(a_rState, Host);
}

void SetToDefault(benchmark::State& a_rState)
{
    SDevice D;
    for (auto _ : a_rState)
        D.Z.SetToDefault();
    Transfers(a_rState, D.Host);
}

void SnapShotOnSimulator(benchmark::State& a_rState)
{
    std::ostream Null(nullptr);
    SSimulatedHost Host(Null);
    Host.Utility.m_bQuietAccessDenied = true;
    CZEV Z(&Host.Bus, &Host.Utility, &Host.Status);
    Z.SetToDefault();
    Host.Bus.m_Counters = {};
    for (auto _ : a_rState)
        Z.SnapShot(Null);
    const double dIterations = static_cast<double>(a_rState.iterations());
    a_rState.counters["writes"] = static_cast<double>(Host.Bus.m_Counters.m_uWrites) / dIterations;
    a_rState.counters["reads"] = static_cast<double>(Host.Bus.m_Counters.m_uReads) / dIterations;
}

void ServiceWriteLastRegister(benchmark::State& a_rState)
{
    SDevice D;
    std::string strError;
    const std::list<std::string> Values{"1234/d"};
    for (auto _ : a_rState)
        D.Z.ServiceWrite("VBW_TRIGGER_OFFSET7", "TRIGGER7_OFFSET", Values, strError, 0);
    Transfers(a_rState, D.Host);
}

void ServiceReadLastRegister(benchmark::State& a_rState)
{
    SDevice D;
    std::string strError;
    for (auto _ : a_rState)
    {
        std::list<std::string> Values;
        D.Z.ServiceRead("VBW_TRIGGER_OFFSET7", "TRIGGER7_OFFSET", Values, strError, 0, 1);
        benchmark::DoNotOptimize(Values);
    }
    Transfers(a_rState, D.Host);
}

void GetValueByStringLastRegister(benchmark::State& a_rState)
{
    SDevice D;
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(D.Z.GetValueByString("VBW_TRIGGER_OFFSET7", "TRIGGER7_OFFSET"));
    Transfers(a_rState, D.Host);
}

void UnlockAllAfterServiceWrites(benchmark::State& a_rState)
{
    SDevice D;
    std::string strError;
    for (auto _ : a_rState)
    {
        a_rState.PauseTiming();
        D.Z.ServiceWrite("AUD_CNTRL0", "MULT_HP", {"5/d"}, strError, 0);
        D.Z.ServiceWrite("AUD_CNTRL0", "SHIFT_HP", {"3/d"}, strError, 0);
        const unsigned long long uWrites = D.Host.m_uWrites;
        a_rState.ResumeTiming();
        D.Z.AUD_CNTRL0.UnlockAll();
        a_rState.PauseTiming();
        a_rState.counters["writes_per_unlockall"] = static_cast<double>(D.Host.m_uWrites - uWrites);
        a_rState.ResumeTiming();
    }
}
} // namespace

BENCHMARK(Set_Enum3Bit_Library);
BENCHMARK(Set_Enum3Bit_Raw);
BENCHMARK(Set_Status1Bit_Library);
BENCHMARK(Set_Status1Bit_Raw);
BENCHMARK(Set_Number32Bit_Library);
BENCHMARK(Set_Number32Bit_Raw);
BENCHMARK(SetDeferred3ThenWrite_Library);
BENCHMARK(SetDeferred3ThenWrite_Raw);
BENCHMARK_TEMPLATE(Get_Enum3Bit_Library, false);
BENCHMARK_TEMPLATE(Get_Enum3Bit_Raw, false);
BENCHMARK_TEMPLATE(Get_Enum3Bit_Library, true);
BENCHMARK_TEMPLATE(Get_Enum3Bit_Raw, true);
BENCHMARK_TEMPLATE(Get_Status1Bit_Library, false);
BENCHMARK_TEMPLATE(Get_Status1Bit_Raw, false);
BENCHMARK_TEMPLATE(Get_Status1Bit_Library, true);
BENCHMARK_TEMPLATE(Get_Status1Bit_Raw, true);
BENCHMARK_TEMPLATE(Get_Number32Bit_Library, false);
BENCHMARK_TEMPLATE(Get_Number32Bit_Raw, false);
BENCHMARK_TEMPLATE(Get_Number32Bit_Library, true);
BENCHMARK_TEMPLATE(Get_Number32Bit_Raw, true);
BENCHMARK(ConstructDestroy)->Unit(benchmark::kMillisecond);
BENCHMARK(SetToDefault)->Unit(benchmark::kMicrosecond);
BENCHMARK(SnapShotOnSimulator)->Unit(benchmark::kMillisecond);
BENCHMARK(ServiceWriteLastRegister)->Unit(benchmark::kMicrosecond);
BENCHMARK(ServiceReadLastRegister)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetValueByStringLastRegister)->Unit(benchmark::kMicrosecond);
BENCHMARK(UnlockAllAfterServiceWrites);

BENCHMARK_MAIN();
