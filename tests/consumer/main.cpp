// Constructs the device on a host double and makes one typed write: the installed headers,
// the import library or shared object and the exported classes all work for a host.
#include "ZEV.h"

#include <cstdio>

namespace
{
struct CHost : CHWAccess, CIStatusRegister, CUtility_Interface
{
    unsigned m_udwWrites = 0, m_udwAddress = 0, m_udwWord = 0, m_udwBytes = 0;
    void Write(unsigned a_udwAddress, const unsigned* a_udwpData, unsigned a_udwByteCount) override
    {
        ++m_udwWrites;
        m_udwAddress = a_udwAddress;
        m_udwWord = *a_udwpData;
        m_udwBytes = a_udwByteCount;
    }
    void Read(unsigned, unsigned* a_udwpData, unsigned) override { *a_udwpData = 0x10000; }
    void Wait(unsigned) override {}
    void PrepareSet(unsigned*) override {}
    void PrepareReset(unsigned*) override {}
    void PrepareResetAll(unsigned*) override {}
    void ReportError(const char*, int, const char*, const char* a_pcMessage) override { std::puts(a_pcMessage); }
    bool StopWaiting() override { return false; }
    void ReportAccessDenied(const char*, int, const char*, const char* a_pcMessage) override { std::puts(a_pcMessage); }
};
} // namespace

int main()
{
    CHost Host;
    Host.m_pUtility = &Host;
    CZEV Device(&Host, &Host, &Host);
    Device.AUD_CNTRL0.TRIG_SEL.Set(ZEV::AUD_CNTRL0::CSignal_TRIG_SEL::MARKER_SIG_3, CSignalBase::HW_WRITE_IMMEDIATE);
    const bool bOk = Host.m_udwWrites == 1 && Host.m_udwAddress == 0x0E00 && Host.m_udwWord == 3 && Host.m_udwBytes == 3 &&
                     Device.GetName() == "ZEV";
    std::printf("%s: wrote 0x%X to 0x%04X (%u bytes)\n", bOk ? "consumer ok" : "consumer FAILED", Host.m_udwWord,
                Host.m_udwAddress, Host.m_udwBytes);
    return bOk ? 0 : 1;
}
