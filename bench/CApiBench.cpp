// The C interface's typed calls next to the C++ calls they wrap, in the same run: each pair
// works on the same kind of host object, so the difference is what the C boundary adds
// (a call into the shared library, the handle's load, the value check, the device's gate,
// the status code) and, per transfer, the device runtime's bus decorator.
#include "ZEV.h"
#include "ZevSimulator.h"
#include "rl_zev_c.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>

namespace
{
// The C++ device on the simulated ZEV, as a C++ host makes it.
struct SCppDevice
{
    std::ostringstream Reports;
    SSimulatedHost Host{Reports};
    std::unique_ptr<CZEV> pDevice{new CZEV(&Host.Bus, &Host.Utility, &Host.Status)};
    SCppDevice() { pDevice->SetToDefault(); }
};

// The C device on the simulated ZEV.
struct SCDevice
{
    zev_device* pDevice = nullptr;
    zev_signal* pTrigSel = nullptr;
    zev_signal* pPostTrig = nullptr;
    SCDevice()
    {
        zev_create_simulated(&pDevice);
        zev_set_to_default(pDevice);
        zev_signal_lookup(pDevice, "AUD_CNTRL0", "TRIG_SEL", &pTrigSel);
        zev_signal_lookup(pDevice, "SR0_A_POSTTRIG", "POSTTRIG", &pPostTrig);
    }
    ~SCDevice() { zev_destroy(pDevice); }
};

// The cheapest host: it counts; the status word always shows SERDAT_RDY. Once as a C++
// host object, once as C callbacks.
struct SCounts
{
    unsigned long long m_uWrites = 0, m_uReads = 0;
};

class CCountingHost : public CHWAccess, public CIStatusRegister, public CUtility_Interface
{
public:
    CCountingHost() { m_pUtility = this; }
    void Write(unsigned, const unsigned* a_udwpData, unsigned) override
    {
        ++m_Counts.m_uWrites;
        benchmark::DoNotOptimize(*a_udwpData);
    }
    void Read(unsigned a_udwAddress, unsigned* a_udwpData, unsigned) override
    {
        ++m_Counts.m_uReads;
        *a_udwpData = a_udwAddress == 24 ? 0x10000u : 5u;
    }
    void Wait(unsigned) override {}
    void PrepareSet(unsigned*) override {}
    void PrepareReset(unsigned*) override {}
    void PrepareResetAll(unsigned*) override {}
    void ReportError(const char*, int, const char*, const char*) override {}
    bool StopWaiting() override { return false; }
    void ReportAccessDenied(const char*, int, const char*, const char*) override {}
    SCounts m_Counts;
};

int32_t ZEV_CALL CountWrite(void* a_pContext, uint32_t, const uint32_t* a_pudwWords, uint32_t)
{
    ++static_cast<SCounts*>(a_pContext)->m_uWrites;
    benchmark::DoNotOptimize(*a_pudwWords);
    return 0;
}

int32_t ZEV_CALL CountRead(void* a_pContext, uint32_t a_udwAddress, uint32_t* a_pudwWords, uint32_t)
{
    ++static_cast<SCounts*>(a_pContext)->m_uReads;
    *a_pudwWords = a_udwAddress == 24 ? 0x10000u : 5u;
    return 0;
}

int32_t ZEV_CALL NoWait(void*, uint32_t)
{
    return 0;
}

// ---- Typed Set, HW_WRITE_IMMEDIATE, on the simulated ZEV ----

void Cpp_Set_Immediate_Sim(benchmark::State& a_rState)
{
    SCppDevice Device;
    auto& rSignal = Device.pDevice->AUD_CNTRL0.TRIG_SEL;
    unsigned udwValue = 0;
    for (auto _ : a_rState)
    {
        using E = ZEV::AUD_CNTRL0::CSignal_TRIG_SEL::TRIG_SEL;
        benchmark::DoNotOptimize(rSignal.Set(static_cast<E>(udwValue), CSignalBase::HW_WRITE_IMMEDIATE));
        udwValue = (udwValue + 1) & 7u;
    }
}
BENCHMARK(Cpp_Set_Immediate_Sim);

void C_Set_Immediate_Sim(benchmark::State& a_rState)
{
    SCDevice Device;
    uint32_t udwValue = 0;
    int32_t iWritten = 0;
    for (auto _ : a_rState)
    {
        benchmark::DoNotOptimize(zev_signal_set(Device.pTrigSel, udwValue, ZEV_WRITE_IMMEDIATE, &iWritten));
        udwValue = (udwValue + 1) & 7u;
    }
}
BENCHMARK(C_Set_Immediate_Sim);

// ---- Typed Set, HW_WRITE_DEFERRED: no transfer, the boundary alone ----

void Cpp_Set_Deferred(benchmark::State& a_rState)
{
    SCppDevice Device;
    auto& rSignal = Device.pDevice->SR0_A_POSTTRIG.POSTTRIG;
    unsigned udwValue = 0;
    for (auto _ : a_rState)
    {
        benchmark::DoNotOptimize(rSignal.Set(udwValue, CSignalBase::HW_WRITE_DEFERRED));
        ++udwValue;
    }
}
BENCHMARK(Cpp_Set_Deferred);

void C_Set_Deferred(benchmark::State& a_rState)
{
    SCDevice Device;
    uint32_t udwValue = 0;
    int32_t iWritten = 0;
    for (auto _ : a_rState)
    {
        benchmark::DoNotOptimize(zev_signal_set(Device.pPostTrig, udwValue, ZEV_WRITE_DEFERRED, &iWritten));
        ++udwValue;
    }
}
BENCHMARK(C_Set_Deferred);

// ---- Typed Get ----

void Cpp_Get_NoRead(benchmark::State& a_rState)
{
    SCppDevice Device;
    auto& rSignal = Device.pDevice->AUD_CNTRL0.TRIG_SEL;
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(rSignal.Get(false));
}
BENCHMARK(Cpp_Get_NoRead);

void C_Get_NoRead(benchmark::State& a_rState)
{
    SCDevice Device;
    uint32_t udwValue = 0;
    for (auto _ : a_rState)
    {
        benchmark::DoNotOptimize(zev_signal_get(Device.pTrigSel, 0, &udwValue));
        benchmark::DoNotOptimize(udwValue);
    }
}
BENCHMARK(C_Get_NoRead);

void Cpp_Get_ReadBack_Sim(benchmark::State& a_rState)
{
    SCppDevice Device;
    auto& rSignal = Device.pDevice->AUD_CNTRL0.TRIG_SEL;
    for (auto _ : a_rState)
        benchmark::DoNotOptimize(rSignal.Get(true));
}
BENCHMARK(Cpp_Get_ReadBack_Sim);

void C_Get_ReadBack_Sim(benchmark::State& a_rState)
{
    SCDevice Device;
    uint32_t udwValue = 0;
    for (auto _ : a_rState)
    {
        benchmark::DoNotOptimize(zev_signal_get(Device.pTrigSel, 1, &udwValue));
        benchmark::DoNotOptimize(udwValue);
    }
}
BENCHMARK(C_Get_ReadBack_Sim);

// ---- A counting host: C++ object against C callbacks (host side included) ----

void Cpp_Set_Immediate_CountingHost(benchmark::State& a_rState)
{
    CCountingHost Host;
    std::unique_ptr<CZEV> pDevice(new CZEV(&Host, &Host, &Host));
    auto& rSignal = pDevice->AUD_CNTRL0.TRIG_SEL;
    unsigned udwValue = 0;
    for (auto _ : a_rState)
    {
        using E = ZEV::AUD_CNTRL0::CSignal_TRIG_SEL::TRIG_SEL;
        benchmark::DoNotOptimize(rSignal.Set(static_cast<E>(udwValue), CSignalBase::HW_WRITE_IMMEDIATE));
        udwValue = (udwValue + 1) & 7u;
    }
    a_rState.counters["writes"] = static_cast<double>(Host.m_Counts.m_uWrites);
}
BENCHMARK(Cpp_Set_Immediate_CountingHost);

void C_Set_Immediate_CallbackHost(benchmark::State& a_rState)
{
    SCounts Counts;
    zev_host Host = {};
    Host.context = &Counts;
    Host.write = CountWrite;
    Host.read = CountRead;
    Host.wait = NoWait;
    zev_device* pDevice = nullptr;
    zev_create(&Host, &pDevice);
    zev_signal* pSignal = nullptr;
    zev_signal_lookup(pDevice, "AUD_CNTRL0", "TRIG_SEL", &pSignal);
    uint32_t udwValue = 0;
    int32_t iWritten = 0;
    for (auto _ : a_rState)
    {
        benchmark::DoNotOptimize(zev_signal_set(pSignal, udwValue, ZEV_WRITE_IMMEDIATE, &iWritten));
        udwValue = (udwValue + 1) & 7u;
    }
    a_rState.counters["writes"] = static_cast<double>(Counts.m_uWrites);
    zev_destroy(pDevice);
}
BENCHMARK(C_Set_Immediate_CallbackHost);
} // namespace

BENCHMARK_MAIN();
