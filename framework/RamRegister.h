// The behaviour every generated memory register shares: two word buffers, block access
// with range checks, whole-memory locking, and the text service by word range.
#pragma once

#include "ParallelRead_ParallelWrite.h"
#include "RegisterBase.h"
#include "SequentialRead_ParallelWrite.h"

// The constants of one memory register.
struct SRamLayout
{
    const char* m_pcName;
    unsigned m_udwAddress;
    unsigned m_udwWordCount;
    const char* m_pcSourceFile;    // identifies the memory's own unit in its reports
    const char* m_pcGetFunction;   // "ZEV::CRegister_<REG>::Get"
    const char* m_pcSetFunction;   // "ZEV::CRegister_<REG>::Set"
};

template <class TStrategy>
class CRamRegister : public CRegisterBase, public TStrategy
{
public:
    ~CRamRegister() override;
    bool SetToDefault() override;
    std::vector<unsigned> GetNotTypedValue(unsigned a_udwStart, unsigned a_udwCount) override;

    bool Get(unsigned* a_udwpValue, unsigned a_udwStart, unsigned a_udwCount, bool a_bReadHW);
    bool Set(const unsigned* a_udwpValue, unsigned a_udwStart, unsigned a_udwCount, bool a_bUnused);
    unsigned GetRAMSize() const;

    // The whole memory is locked at once; the names are ignored.
    void Lock(std::string& a_rName);
    void Unlock(std::string& a_rName);
    void LockAll();
    void UnlockAll();

protected:
    CRamRegister(CHWAccess* a_pHWAccess, const SRamLayout& a_rLayout);

private:
    bool ResetsUnusedBits() override;
    void ReadHW() override;
    bool WriteHW() override;
    void SetNotTypedValue(std::vector<unsigned>& a_rValues, unsigned a_udwStart) override;

    bool InRange(unsigned a_udwStart, unsigned a_udwCount) const;
    void Report(int a_iLine, const char* a_pcFunction, const char* a_pcMessage) const;

    unsigned* m_pudwHwBuffer;
    unsigned* m_pudwAppBuffer;
    const SRamLayout& m_rLayout;
};

extern template class RL_ZEV_EXPORT CRamRegister<CParallelRead_ParallelWrite>;
extern template class RL_ZEV_EXPORT CRamRegister<CSequentialRead_ParallelWrite>;
