// Base of every register, plain and memory: name, address, width, locks, signal list,
// snapshots and the text service by signal name.
#pragma once

#include "SignalBase.h"

class CIStatusRegister;

class RL_ZEV_EXPORT CRegisterBase
{
    // Generated signals work on their register's words, flags and transfers; the device
    // compares names in place when it looks a register up.
    friend class CFieldSignal;
    friend class CHWDeviceBase;

private:
    virtual bool ResetsUnusedBits() = 0;
    virtual void ReadHW() = 0;
    virtual bool WriteHW() = 0;
    virtual void SetNotTypedValue(std::vector<unsigned>& a_rValues, unsigned a_udwStart) = 0;

public:
    virtual ~CRegisterBase();
    virtual bool SetToDefault() = 0;
    virtual std::vector<unsigned> GetNotTypedValue(unsigned a_udwStart, unsigned a_udwCount) = 0;

    CRegisterBase(const CRegisterBase&) = delete;
    CRegisterBase& operator=(const CRegisterBase&) = delete;

    std::string GetName() const;
    void GetAdresses(unsigned& a_rudwFirst, unsigned& a_rudwSecond) const;

    bool Lock(const std::string& a_strSignal, std::string& a_rError);
    bool Unlock(const std::string& a_strSignal, std::string& a_rError);
    void LockAll();
    void UnlockAll();
    bool Logging(const std::string& a_strSignal, std::ostream* a_pStream, bool a_bEnable);

    void SnapShot(std::ostream& a_rStream);
    void SnapShot(std::ostream& a_rStream, const std::string& a_strDevice);

    bool ServiceRead(const std::string& a_strSignal, std::list<std::string>& a_rValues, std::string& a_rError,
                     unsigned a_udwStart, unsigned a_udwCount);
    bool ServiceWrite(const std::string& a_strSignal, const std::list<std::string>& a_rValues,
                      std::string& a_rError, unsigned a_udwStart);
    std::list<std::string> GetValueByString(const std::string& a_strSignal);

    // Inspection for tools and tests: no transfer, no change. The images are the hardware
    // image and application words (GetWordCount of each; one for a plain register).
    unsigned GetLockState() const { return m_udwLockState; }
    bool IsWritePending() const { return m_bWritePending; }
    unsigned GetWidth() const { return m_udwWidth; }
    unsigned GetWordCount() const { return m_udwWordCount; }
    const std::list<CSignalBase*>& GetSignals() const { return *m_pSignalList; }
    const unsigned* GetHwImage() const { return m_pudwHwImage; }
    const unsigned* GetAppImage() const { return m_pudwAppImage; }

    // After a host fault in a transfer the hardware may hold anything: the next write goes
    // out whatever its mode or the image say. A status register's writes always go out and
    // collect only the bits they change, so it is left as it is.
    void ForgetHwImage()
    {
        if (m_pStatusRegister == nullptr)
            m_bWritePending = true;
    }

    // A service tool's view of the register while it lives: the register and each of its
    // signals are in SERVICE_ACCESS, so that the signals' reads and a memory's block reads
    // report the hardware and leave the application's words alone. Every lock state is put
    // back when it ends, also when a host exception passes.
    class RL_ZEV_EXPORT CServiceAccess
    {
    public:
        explicit CServiceAccess(CRegisterBase& a_rRegister);
        ~CServiceAccess();
        CServiceAccess(const CServiceAccess&) = delete;
        CServiceAccess& operator=(const CServiceAccess&) = delete;

    private:
        CRegisterBase& m_rRegister;
        std::vector<unsigned> m_States;  // the register's own, then each signal's in list order
    };

protected:
    CRegisterBase();

    bool ServiceReadRAM(std::list<std::string>& a_rValues, unsigned a_udwStart, unsigned a_udwCount,
                        std::string& a_rError);
    bool ServiceWriteRAM(const std::list<std::string>& a_rValues, unsigned a_udwStart, std::string& a_rError);

    unsigned m_udwLockState;
    std::string m_strName;
    std::ostream* m_pLogStream;
    std::list<CSignalBase*>* m_pSignalList;
    bool m_bWritePending;
    bool m_bHwWriteEnabled;
    unsigned m_udwAddress;
    unsigned m_udwSecondAddress;
    unsigned m_udwWidth;
    unsigned m_udwWordCount;
    CIStatusRegister* m_pStatusRegister;
    // Set by the derived register, for inspection; the hardware image is also put back
    // after a host fault.
    unsigned* m_pudwHwImage;
    const unsigned* m_pudwAppImage;

private:
    CSignalBase* FindSignal(const std::string& a_strSignal) const;
    std::vector<unsigned> LockStates() const;
    void PutLockStates(const std::vector<unsigned>& a_rStates);

protected:
    // What a host exception must not leave half changed: every lock state, the hardware
    // image and the write-pending flag.
    struct SSavedState
    {
        std::vector<unsigned> m_LockStates;
        std::vector<unsigned> m_HwImage;
        bool m_bWritePending;
    };
    SSavedState SaveState() const;
    void PutState(const SSavedState& a_rState);
    bool IsRam() const { return m_udwWordCount > 1; }
};
