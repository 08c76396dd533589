/* What only the C interface has, on the simulated ZEV, compiled as C: its status names and
 * ABI version, texts in the caller's buffers and zev_fetch_text, value lists as lines, the
 * catalogue's handles, the typed calls' own path, null pointers, the log and report
 * callbacks, and reports kept per device. What every door answers alike (values, texts,
 * refusals, ranges) is the conformance cases' (tests/conformance, through ctypes). The
 * simulator's own words (zev_sim_peek) show what reached the device. */
#include "check.h"

#include <stdlib.h>

#define ADDRESS_AUD_CNTRL0 0x0E00u
#define ADDRESS_ENT_H1 0x020Du
#define ADDRESS_DET_APD_SSRAM 0x5000u

/* Reports as the callbacks get them: "E function: message" or "D function: message". */
typedef struct SReports
{
    char m_aacLines[64][256];
    int m_iCount;
} SReports;

static void Record(SReports* a_pReports, char a_cKind, const char* a_pcFunction, const char* a_pcMessage)
{
    if (a_pReports->m_iCount < 64)
        snprintf(a_pReports->m_aacLines[a_pReports->m_iCount++], 256, "%c %s: %s", a_cKind, a_pcFunction, a_pcMessage);
}

static void ZEV_CALL OnError(void* a_pContext, const char* a_pcFile, int32_t a_iLine, const char* a_pcFunction,
                             const char* a_pcMessage)
{
    (void)a_pcFile;
    (void)a_iLine;
    Record((SReports*)a_pContext, 'E', a_pcFunction, a_pcMessage);
}

static void ZEV_CALL OnDenied(void* a_pContext, const char* a_pcFile, int32_t a_iLine, const char* a_pcFunction,
                              const char* a_pcMessage)
{
    (void)a_pcFile;
    (void)a_iLine;
    Record((SReports*)a_pContext, 'D', a_pcFunction, a_pcMessage);
}

typedef struct SLog
{
    char m_aacLines[16][256];
    int m_iCount;
    int32_t m_iFail;          /* returned once, then 0 */
    zev_device* m_pDevice;    /* called from the callback, when set */
    zev_status m_aiCalls[2];  /* what zev_destroy and a call on the device gave there */
} SLog;

static int32_t ZEV_CALL OnLog(void* a_pContext, const char* a_pcLine)
{
    SLog* pLog = (SLog*)a_pContext;
    const int32_t iFail = pLog->m_iFail;
    uint32_t udwCount = 0;
    if (pLog->m_iCount < 16)
        snprintf(pLog->m_aacLines[pLog->m_iCount++], 256, "%s", a_pcLine);
    if (pLog->m_pDevice != NULL)
    {
        pLog->m_aiCalls[0] = zev_destroy(pLog->m_pDevice);
        pLog->m_aiCalls[1] = zev_report_count(pLog->m_pDevice, &udwCount);
    }
    pLog->m_iFail = 0;
    return iFail;
}

static zev_signal* Signal(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal)
{
    zev_signal* pSignal = NULL;
    CHECK_OK(a_pDevice, zev_signal_lookup(a_pDevice, a_pcRegister, a_pcSignal, &pSignal));
    return pSignal;
}

static zev_register* Register(zev_device* a_pDevice, const char* a_pcName)
{
    zev_register* pRegister = NULL;
    CHECK_OK(a_pDevice, zev_register_find(a_pDevice, a_pcName, &pRegister));
    return pRegister;
}

static uint32_t Peek(zev_device* a_pDevice, uint32_t a_udwAddress)
{
    uint32_t udwWord = 0xDEADBEEFu;
    CHECK_OK(a_pDevice, zev_sim_peek(a_pDevice, a_udwAddress, &udwWord));
    return udwWord;
}

static void TestVersionAndStatusNames(void)
{
    CHECK_NUMBER(zev_abi_version(), ZEV_ABI_VERSION);
    CHECK_TEXT(zev_status_name(ZEV_OK), "ZEV_OK");
    CHECK_TEXT(zev_status_name(ZEV_REFUSED), "ZEV_REFUSED");
    CHECK_TEXT(zev_status_name(ZEV_BUFFER_TOO_SMALL), "ZEV_BUFFER_TOO_SMALL");
    CHECK_TEXT(zev_status_name(ZEV_HOST_FAULT), "ZEV_HOST_FAULT");
    CHECK_TEXT(zev_status_name(77), "unknown status");
}

static void TestIdentityAndBuffers(zev_device* a_pDevice)
{
    char acText[64];
    uint32_t udwNeeded = 0;
    CHECK_OK(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_NAME, acText, sizeof acText, &udwNeeded));
    CHECK_TEXT(acText, "ZEV");
    CHECK_NUMBER(udwNeeded, 4);
    CHECK_OK(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_XML_VERSION, acText, sizeof acText, NULL));
    CHECK_TEXT(acText, "PD_ZEV.xml@@/main/kem_main/1");
    CHECK_OK(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_GENERATOR_VERSION, acText, sizeof acText, NULL));
    CHECK_TEXT(acText, "1.1.0.0");
    CHECK_STATUS(a_pDevice, zev_device_identity(a_pDevice, 3, acText, sizeof acText, NULL), ZEV_BAD_ARGUMENT);

    /* One byte short: nothing but an empty string, and the size it needs. */
    strcpy(acText, "untouched");
    udwNeeded = 0;
    CHECK_STATUS(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_NAME, acText, 3, &udwNeeded),
                 ZEV_BUFFER_TOO_SMALL);
    CHECK_TEXT(acText, "");
    CHECK_NUMBER(udwNeeded, 4);
    CHECK_TEXT(LastError(a_pDevice), "the text needs 4 bytes, the buffer holds 3");
    /* The size query: no buffer at all. */
    udwNeeded = 0;
    CHECK_STATUS(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_XML_VERSION, NULL, 0, &udwNeeded),
                 ZEV_BUFFER_TOO_SMALL);
    CHECK_NUMBER(udwNeeded, strlen("PD_ZEV.xml@@/main/kem_main/1") + 1);
    /* Reading the last error into a short buffer leaves it there. */
    udwNeeded = 0;
    CHECK_STATUS(a_pDevice, zev_last_error(a_pDevice, acText, 5, &udwNeeded), ZEV_BUFFER_TOO_SMALL);
    CHECK_NUMBER(udwNeeded, strlen("the text needs 29 bytes, the buffer holds 0") + 1);
    CHECK_TEXT(LastError(a_pDevice), "the text needs 29 bytes, the buffer holds 0");
}

static void TestCatalogue(zev_device* a_pDevice)
{
    uint32_t udwCount = 0, udwSignals = 0, udwMemories = 0, i;
    char acName[64];
    zev_register* pRegister = NULL;
    zev_register_info Info;
    zev_signal* pSignal = NULL;
    zev_signal_info SignalInfo;
    uint32_t udwValue = 0;

    CHECK_OK(a_pDevice, zev_register_count(a_pDevice, &udwCount));
    CHECK_NUMBER(udwCount, 441);
    for (i = 0; i < udwCount; ++i)
    {
        CHECK_OK(a_pDevice, zev_register_at(a_pDevice, i, &pRegister));
        CHECK_OK(a_pDevice, zev_register_describe(pRegister, &Info));
        udwSignals += Info.signal_count;
        if (Info.words > 1)
            ++udwMemories;
    }
    CHECK_NUMBER(udwSignals, 2316);
    CHECK_NUMBER(udwMemories, 12);
    CHECK_STATUS(a_pDevice, zev_register_at(a_pDevice, 441, &pRegister), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "no register 441: the device has 441");

    /* List order: the device's first and last register. */
    CHECK_OK(a_pDevice, zev_register_at(a_pDevice, 0, &pRegister));
    CHECK_OK(a_pDevice, zev_register_name(pRegister, acName, sizeof acName, NULL));
    CHECK_TEXT(acName, "AUD_CNTRL0");
    CHECK_OK(a_pDevice, zev_register_at(a_pDevice, 440, &pRegister));
    CHECK_OK(a_pDevice, zev_register_name(pRegister, acName, sizeof acName, NULL));
    CHECK_TEXT(acName, "VBW_TRIGGER_OFFSET7");

    pRegister = Register(a_pDevice, "AUD_CNTRL0");
    CHECK_OK(a_pDevice, zev_register_describe(pRegister, &Info));
    CHECK_NUMBER(Info.address, ADDRESS_AUD_CNTRL0);
    CHECK_NUMBER(Info.width, 24);
    CHECK_NUMBER(Info.words, 1);
    CHECK_NUMBER(Info.access, ZEV_ACCESS_READ_BACK_WRITE);
    CHECK_NUMBER(Info.status, 0);
    CHECK_NUMBER(Info.signal_count, 5);
    CHECK_OK(a_pDevice, zev_signal_at(pRegister, 1, &pSignal));
    CHECK_OK(a_pDevice, zev_signal_name(pSignal, acName, sizeof acName, NULL));
    CHECK_TEXT(acName, "MULT_HP");
    CHECK_OK(a_pDevice, zev_signal_describe(pSignal, &SignalInfo));
    CHECK_NUMBER(SignalInfo.low, 3);
    CHECK_NUMBER(SignalInfo.width, 6);
    CHECK_NUMBER(SignalInfo.max_value, 63);
    CHECK_NUMBER(SignalInfo.enumerator_count, 0);
    CHECK_STATUS(a_pDevice, zev_signal_at(pRegister, 5, &pSignal), ZEV_NOT_FOUND);
    CHECK(pSignal == NULL);
    CHECK_OK(a_pDevice, zev_signal_at(pRegister, 1, &pSignal));
    CHECK_STATUS(a_pDevice, zev_signal_find(pRegister, "TRIG_SEl", &pSignal), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Invalid signal submitted: TRIG_SEl");
    CHECK(pSignal == NULL);
    CHECK_OK(a_pDevice, zev_signal_at(pRegister, 1, &pSignal));
    CHECK_STATUS(a_pDevice, zev_signal_lookup(a_pDevice, "AUD_CNTRL", "TRIG_SEL", &pSignal), ZEV_NOT_FOUND);
    CHECK(pSignal == NULL);
    CHECK_STATUS(a_pDevice, zev_register_find(a_pDevice, "aud_cntrl0", &pRegister), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Invalid register submitted: aud_cntrl0");
    CHECK(pRegister == NULL);
    CHECK_OK(a_pDevice, zev_register_at(a_pDevice, 0, &pRegister));
    CHECK_STATUS(a_pDevice, zev_register_at(a_pDevice, 441, &pRegister), ZEV_NOT_FOUND);
    CHECK(pRegister == NULL);

    /* Each access strategy, a status register and the memories. */
    CHECK_OK(a_pDevice, zev_register_describe(Register(a_pDevice, "PRI_STATUSREG1"), &Info));
    CHECK_NUMBER(Info.access, ZEV_ACCESS_READ_WRITE);
    CHECK_NUMBER(Info.status, 1);
    CHECK_NUMBER(Info.address, 24);
    CHECK_OK(a_pDevice, zev_register_describe(Register(a_pDevice, "DET_RESET"), &Info));
    CHECK_NUMBER(Info.access, ZEV_ACCESS_WRITE_ONLY);
    CHECK_OK(a_pDevice, zev_register_describe(Register(a_pDevice, "PRI_SERVAL"), &Info));
    CHECK_NUMBER(Info.access, ZEV_ACCESS_READ_ONLY);
    CHECK_NUMBER(Info.width, 32);
    CHECK_OK(a_pDevice, zev_register_describe(Register(a_pDevice, "SWP_DATA_RAM"), &Info));
    CHECK_NUMBER(Info.words, 49152);
    CHECK_NUMBER(Info.address, 0x10000);
    CHECK_NUMBER(Info.access, ZEV_ACCESS_READ_BACK_WRITE);
    CHECK_NUMBER(Info.signal_count, 0);
    CHECK_OK(a_pDevice, zev_register_describe(Register(a_pDevice, "DET_APD_SSRAM"), &Info));
    CHECK_NUMBER(Info.words, 4096);
    CHECK_NUMBER(Info.access, ZEV_ACCESS_READ_WRITE);

    /* Enumerators in value order, with names; defaults. */
    pSignal = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    CHECK_OK(a_pDevice, zev_signal_describe(pSignal, &SignalInfo));
    CHECK_NUMBER(SignalInfo.enumerator_count, 8);
    CHECK_NUMBER(SignalInfo.max_value, 7);
    CHECK_OK(a_pDevice, zev_signal_enumerator(pSignal, 3, &udwValue, acName, sizeof acName, NULL));
    CHECK_NUMBER(udwValue, 3);
    CHECK_TEXT(acName, "MARKER_SIG_3");
    CHECK_STATUS(a_pDevice, zev_signal_enumerator(pSignal, 8, &udwValue, acName, sizeof acName, NULL), ZEV_NOT_FOUND);
    CHECK_OK(a_pDevice, zev_signal_enumerator_value(pSignal, "MARKER_SIG_6", &udwValue));
    CHECK_NUMBER(udwValue, 6);
    CHECK_STATUS(a_pDevice, zev_signal_enumerator_value(pSignal, "marker_sig_6", &udwValue), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "TRIG_SEL has no enumerator marker_sig_6");

    pSignal = Signal(a_pDevice, "COR_CNTRL", "NOF_ITERATIONS");
    CHECK_OK(a_pDevice, zev_signal_describe(pSignal, &SignalInfo));
    CHECK_NUMBER(SignalInfo.low, 13);
    CHECK_NUMBER(SignalInfo.width, 5);
    CHECK_NUMBER(SignalInfo.default_value, 9);
    CHECK_NUMBER(SignalInfo.enumerator_count, 21);
    CHECK_OK(a_pDevice, zev_signal_enumerator(pSignal, 0, &udwValue, acName, sizeof acName, NULL));
    CHECK_NUMBER(udwValue, 1);
    CHECK_TEXT(acName, "ONE");
    CHECK_OK(a_pDevice, zev_signal_enumerator(pSignal, 20, &udwValue, acName, sizeof acName, NULL));
    CHECK_NUMBER(udwValue, 21);
    CHECK_TEXT(acName, "TWENTEEONE");
    CHECK_OK(a_pDevice, zev_signal_describe(Signal(a_pDevice, "COR_COMP_TH_MAX", "TH_MAX"), &SignalInfo));
    CHECK_NUMBER(SignalInfo.default_value, 16777215);
    CHECK_NUMBER(SignalInfo.width, 24);
    CHECK_OK(a_pDevice, zev_signal_describe(Signal(a_pDevice, "PRI_SERVAL", "SERVAL"), &SignalInfo));
    CHECK_NUMBER(SignalInfo.max_value, 0xFFFFFFFFu);
}

/* The typed calls' own path: the library's rule for a mode it does not know, a value beyond
 * the field refused before the device with the runtime's text, null pointers. */
static void TestTypedAccess(zev_device* a_pDevice)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    zev_signal* pShiftHp = Signal(a_pDevice, "AUD_CNTRL0", "SHIFT_HP");
    int32_t iWritten = -1;

    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    CHECK_OK(a_pDevice, zev_signal_set(pShiftHp, 3, 9, &iWritten));
    CHECK_NUMBER(iWritten, 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 0);
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 5, ZEV_WRITE_IMMEDIATE, &iWritten));
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 5u | (3u << 9));

    iWritten = -1;
    CHECK_STATUS(a_pDevice, zev_signal_set(pTrigSel, 8, 9, &iWritten), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "Value limit exceeded: AUD_CNTRL0.TRIG_SEL takes 0 to 7, not 8");
    CHECK_NUMBER(iWritten, 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 5u | (3u << 9));

    CHECK_STATUS(a_pDevice, zev_signal_set(NULL, 0, 0, NULL), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_signal_get(pTrigSel, 0, NULL), ZEV_BAD_ARGUMENT);
}

/* Lists in as lines, out joined by '\n' with their count; a text too long for the buffer
 * kept for zev_fetch_text, for the next call only; null pointers. */
static void TestTextService(zev_device* a_pDevice)
{
    char acTexts[256];
    uint32_t udwNeeded = 0, udwCount = 0;

    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    /* "\r\n" ends a line too, and the last line end is optional; "" is no value at all. */
    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", "MARKER_SIG_5\r\n", 0));
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0) & 7u, 5);
    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "ENT_H1", "", "1/d\n2/h\r\n30/d", 2));
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_ENT_H1 + 1), 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_ENT_H1 + 2), 1);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_ENT_H1 + 3), 2);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_ENT_H1 + 4), 30);
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "", 0), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), "Invalid value(s) submitted: ");
    CHECK_OK(a_pDevice, zev_service_read(a_pDevice, "ENT_H1", "", 1, 4, acTexts, sizeof acTexts, &udwNeeded, &udwCount));
    CHECK_TEXT(acTexts, "00000000/h\n00000001/h\n00000002/h\n0000001E/h");
    CHECK_NUMBER(udwCount, 4);
    CHECK_NUMBER(udwNeeded, 44);

    /* A buffer too small: the text is kept, and fetched without reading the device again. */
    udwNeeded = 0;
    udwCount = 0;
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, "ENT_H1", "", 2, 3, acTexts, 12, &udwNeeded, &udwCount),
                 ZEV_BUFFER_TOO_SMALL);
    CHECK_NUMBER(udwNeeded, 33);
    CHECK_NUMBER(udwCount, 3);
    CHECK_TEXT(acTexts, "");
    CHECK_STATUS(a_pDevice, zev_fetch_text(a_pDevice, acTexts, 20, &udwNeeded), ZEV_BUFFER_TOO_SMALL);
    CHECK_TEXT(LastError(a_pDevice), "the text needs 33 bytes, the buffer holds 20");
    CHECK_OK(a_pDevice, zev_fetch_text(a_pDevice, acTexts, sizeof acTexts, &udwNeeded));
    CHECK_TEXT(acTexts, "00000001/h\n00000002/h\n0000001E/h");
    CHECK_STATUS(a_pDevice, zev_fetch_text(a_pDevice, acTexts, sizeof acTexts, &udwNeeded), ZEV_NOT_FOUND);
    /* Only the text of the call just before: any other call between drops it. */
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, "ENT_H1", "", 2, 3, acTexts, 12, NULL, NULL),
                 ZEV_BUFFER_TOO_SMALL);
    CHECK_OK(a_pDevice, zev_service_read(a_pDevice, "ENT_H1", "", 0, 1, acTexts, sizeof acTexts, NULL, NULL));
    CHECK_STATUS(a_pDevice, zev_fetch_text(a_pDevice, acTexts, sizeof acTexts, &udwNeeded), ZEV_NOT_FOUND);

    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", NULL, 0), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, NULL, "", 0, 1, acTexts, sizeof acTexts, NULL, NULL),
                 ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_lock(a_pDevice, "AUD_CNTRL0", NULL), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_logging(a_pDevice, NULL, "ALL", 1), ZEV_BAD_ARGUMENT);
    CHECK_OK(a_pDevice, zev_unlock_all(a_pDevice));
}

/* zev_lock_all and zev_unlock_all (calls of their own, memories included); a log callback
 * that fails, and one that calls its device. */
static void TestLocksAndLogging(zev_device* a_pDevice)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    zev_register* pRam = Register(a_pDevice, "ENT_H2");
    uint32_t udwState = 9;
    int32_t iWritten = -1;
    SLog Log;
    memset(&Log, 0, sizeof Log);

    CHECK_OK(a_pDevice, zev_lock_all(a_pDevice));
    CHECK_OK(a_pDevice, zev_signal_lock_state(pTrigSel, &udwState));
    CHECK_NUMBER(udwState, ZEV_LOCKED);
    CHECK_OK(a_pDevice, zev_register_lock_state(pRam, &udwState));
    CHECK_NUMBER(udwState, ZEV_LOCKED);
    CHECK_OK(a_pDevice, zev_unlock_all(a_pDevice));
    CHECK_OK(a_pDevice, zev_signal_lock_state(pTrigSel, &udwState));
    CHECK_NUMBER(udwState, ZEV_UNLOCKED);
    CHECK_OK(a_pDevice, zev_register_lock_state(pRam, &udwState));
    CHECK_NUMBER(udwState, ZEV_UNLOCKED);

    /* A failing log callback fails the call that logged; logging goes on. */
    CHECK_OK(a_pDevice, zev_set_log_callback(a_pDevice, OnLog, &Log));
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 0, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 1));
    Log.m_iFail = 7;
    CHECK_STATUS(a_pDevice, zev_signal_set(pTrigSel, 1, ZEV_WRITE_IMMEDIATE, &iWritten), ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the log callback returned 7");
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0) & 7u, 1);
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 2, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_NUMBER(Log.m_iCount, 2);
    if (Log.m_iCount == 2)
        CHECK_TEXT(Log.m_aacLines[1], "Register: AUD_CNTRL0 Signal: TRIG_SEL Changed from value: MARKER_SIG_1 to value: 2");
    /* So does a call by name that logged. */
    Log.m_iFail = 5;
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", "MARKER_SIG_4", 0), ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the log callback returned 5");
    CHECK_OK(a_pDevice, zev_unlock(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"));
    /* From inside the callback, its device can be neither destroyed nor called. */
    Log.m_pDevice = a_pDevice;
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 3, ZEV_WRITE_IMMEDIATE, NULL));
    Log.m_pDevice = NULL;
    CHECK_NUMBER(Log.m_aiCalls[0], ZEV_BAD_ARGUMENT);
    CHECK_NUMBER(Log.m_aiCalls[1], ZEV_BAD_ARGUMENT);
    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 0));
    CHECK_OK(a_pDevice, zev_set_log_callback(a_pDevice, NULL, NULL));
}

/* The calls on a register's words: the caller's buffers and the flags they answer. */
static void TestRegistersAndMemories(zev_device* a_pDevice)
{
    zev_register* pAud = Register(a_pDevice, "AUD_CNTRL0");
    zev_register* pApd = Register(a_pDevice, "DET_APD_SSRAM");
    uint32_t audwWords[4] = {0x11, 0x22, 0x33, 0x44};
    uint32_t audwBack[5] = {0, 0, 0, 0, 0xDEADBEEFu};
    int32_t iDone = -1;

    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    /* Written only when the block changes the device's words. */
    CHECK_OK(a_pDevice, zev_memory_set(pApd, 10, 4, audwWords, &iDone));
    CHECK_NUMBER(iDone, 1);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_DET_APD_SSRAM + 13), 0x44);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_DET_APD_SSRAM + 14), 0);
    CHECK_OK(a_pDevice, zev_memory_set(pApd, 10, 4, audwWords, &iDone));
    CHECK_NUMBER(iDone, 0);
    /* Read from the device only when asked; exactly count words reach the buffer. */
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, ADDRESS_DET_APD_SSRAM + 11, 0x99));
    CHECK_OK(a_pDevice, zev_memory_get(pApd, 10, 4, 0, audwBack, &iDone));
    CHECK_NUMBER(iDone, 0);
    CHECK_NUMBER(audwBack[1], 0x22);
    CHECK_OK(a_pDevice, zev_memory_get(pApd, 10, 4, 1, audwBack, &iDone));
    CHECK_NUMBER(iDone, 1);
    CHECK_NUMBER(audwBack[1], 0x99);
    CHECK_NUMBER(audwBack[4], 0xDEADBEEFu);
    audwBack[2] = 0xDEADBEEFu;
    CHECK_OK(a_pDevice, zev_register_read(pApd, 12, 2, audwBack));
    CHECK_NUMBER(audwBack[1], 0x44);
    CHECK_NUMBER(audwBack[2], 0xDEADBEEFu);
    CHECK_OK(a_pDevice, zev_register_set_to_default(pAud, &iDone));
    CHECK_NUMBER(iDone, 1);

    /* Null words: refused before the device, whatever the range. */
    CHECK_STATUS(a_pDevice, zev_memory_get(pApd, 0, 1, 1, NULL, &iDone), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "the words are a null pointer");
    CHECK_STATUS(a_pDevice, zev_memory_set(pApd, 0, 1, NULL, &iDone), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_register_read(pAud, 0, 1, NULL), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_register_write(pAud, 0, 1, NULL), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_register_read(NULL, 0, 1, audwBack), ZEV_BAD_ARGUMENT);
}

static void TestSnapshot(zev_device* a_pDevice)
{
    uint32_t udwNeeded = 0, udwFetched = 0;
    char* pcText;
    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"), 3, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_STATUS(a_pDevice, zev_snapshot(a_pDevice, NULL, 0, &udwNeeded), ZEV_BUFFER_TOO_SMALL);
    CHECK(udwNeeded > 10000);
    pcText = (char*)malloc(udwNeeded);
    if (pcText == NULL)
        return;
    CHECK_OK(a_pDevice, zev_fetch_text(a_pDevice, pcText, udwNeeded, &udwFetched));
    CHECK_NUMBER(udwFetched, udwNeeded);
    CHECK(strncmp(pcText, "function [device,ZEV] = ZEV_DUMP()\ndevice= 'ZEV';\n% Hardware: ZEV\n", 66) == 0);
    CHECK(strstr(pcText, "\nZEV.AUD_CNTRL0.TRIG_SEL = 3; % Wert =MARKER_SIG_3\n") != NULL);
    CHECK_NUMBER(strlen(pcText) + 1, udwNeeded);
    free(pcText);
}

static int Contains(const zev_device* a_pDevice, const char* a_pcPart)
{
    static char s_acReports[65536];
    if (zev_reports(a_pDevice, s_acReports, sizeof s_acReports, NULL) != ZEV_OK)
        return 0;
    return strstr(s_acReports, a_pcPart) != NULL;
}

/* The typed get's faults and reports; each report to its callback, and into the log. */
static void TestFaultsAndReports(zev_device* a_pDevice, SReports* a_pReports)
{
    uint32_t udwValue = 0, udwCount = 0;
    int32_t iWritten = -1;

    CHECK_OK(a_pDevice, zev_clear_reports(a_pDevice));
    a_pReports->m_iCount = 0;

    /* A fault of a direct read reaches the caller as an error code... */
    CHECK_OK(a_pDevice, zev_sim_fail_reads(a_pDevice, 1));
    CHECK_STATUS(a_pDevice, zev_signal_get(Signal(a_pDevice, "PRI_STATUSREG1", "SR1_B_REC_END"), 1, &udwValue),
                 ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: simulated bus fault");
    /* ...while the read-back path catches it itself and reports it. */
    CHECK_OK(a_pDevice, zev_sim_fail_reads(a_pDevice, 1));
    CHECK_STATUS(a_pDevice, zev_signal_get(Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"), 1, &udwValue), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ",Unknown error!");
    /* The read-back path's ready bit never shows: reported, and the call refused. */
    CHECK_OK(a_pDevice, zev_sim_ready_after(a_pDevice, 0));
    CHECK_STATUS(a_pDevice, zev_signal_get(Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"), 1, &udwValue), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ",HW device not ready!");
    CHECK_OK(a_pDevice, zev_sim_ready_after(a_pDevice, 1));

    /* Refused directions go to the access-denied callback, and refuse the call: nothing written. */
    CHECK_STATUS(a_pDevice, zev_signal_get(Signal(a_pDevice, "DET_RESET", "QP_RESET"), 1, &udwValue), ZEV_REFUSED);
    CHECK_STATUS(a_pDevice, zev_signal_set(Signal(a_pDevice, "PRI_SERVAL", "SERVAL"), 1, ZEV_WRITE_IMMEDIATE, &iWritten),
                 ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ",No write access allowed!");
    CHECK_NUMBER(iWritten, 0);
    CHECK_NUMBER(a_pReports->m_iCount, 4);
    if (a_pReports->m_iCount == 4)
    {
        CHECK_TEXT(a_pReports->m_aacLines[0], "E CSequentialRead_ParallelWrite::Read: ,Unknown error!");
        CHECK_TEXT(a_pReports->m_aacLines[1], "E CSequentialRead_ParallelWrite::Read: ,HW device not ready!");
        CHECK_TEXT(a_pReports->m_aacLines[2], "D CParallelWrite::Read: ,No read access allowed!");
        CHECK_TEXT(a_pReports->m_aacLines[3], "D CParallelRead::Write: ,No write access allowed!");
    }

    /* The device's own log holds the same four, as lines with file and line. */
    CHECK_OK(a_pDevice, zev_report_count(a_pDevice, &udwCount));
    CHECK_NUMBER(udwCount, 4);
    CHECK(Contains(a_pDevice, ": CSequentialRead_ParallelWrite::Read: ,Unknown error!\n"));
    CHECK(Contains(a_pDevice, ": CParallelRead::Write: ,No write access allowed!\n"));
    CHECK_OK(a_pDevice, zev_clear_reports(a_pDevice));
    CHECK_OK(a_pDevice, zev_report_count(a_pDevice, &udwCount));
    CHECK_NUMBER(udwCount, 0);
}

/* Reports made through the library's one shared holder reach the device whose call made
 * them, whichever devices were made or destroyed before. */
static void TestReportsStayWithTheirDevice(void)
{
    zev_device *pFirst = NULL, *pSecond = NULL, *pThird = NULL;
    SReports First, Second, Third;
    First.m_iCount = Second.m_iCount = Third.m_iCount = 0;

    CHECK_OK(NULL, zev_create_simulated(&pFirst));
    CHECK_OK(NULL, zev_create_simulated(&pSecond));
    if (pFirst == NULL || pSecond == NULL)
        return;
    CHECK_OK(pFirst, zev_set_report_callbacks(pFirst, OnError, OnDenied, &First));
    CHECK_OK(pSecond, zev_set_report_callbacks(pSecond, OnError, OnDenied, &Second));

    CHECK_STATUS(pSecond, zev_service_write(pSecond, "NOPE", "X", "1/d", 0), ZEV_NOT_FOUND);
    CHECK_NUMBER(First.m_iCount, 0);
    CHECK_NUMBER(Second.m_iCount, 1);

    /* The first device goes; the library empties its shared holder with it. */
    CHECK_OK(NULL, zev_destroy(pFirst));
    CHECK_STATUS(pSecond, zev_service_write(pSecond, "AUD_CNTRL0", "TRIG_SEL", "3/d", 0), ZEV_REFUSED);
    CHECK_NUMBER(Second.m_iCount, 2);

    CHECK_OK(NULL, zev_create_simulated(&pThird));
    if (pThird == NULL)
        return;
    CHECK_OK(pThird, zev_set_report_callbacks(pThird, OnError, OnDenied, &Third));
    CHECK_STATUS(pThird, zev_service_read(pThird, "AUD_CNTRL0", "NOPE", 0, 1, NULL, 0, NULL, NULL), ZEV_NOT_FOUND);
    CHECK_STATUS(pSecond, zev_service_write(pSecond, "AUD_CNTRL0", "MULT_HP", "99/d", 0), ZEV_REFUSED);
    CHECK_NUMBER(Third.m_iCount, 1);
    CHECK_NUMBER(Second.m_iCount, 3);
    if (Third.m_iCount == 1 && Second.m_iCount == 3)
    {
        CHECK_TEXT(Third.m_aacLines[0], "E CRegisterBase::ServiceRead: Invalid signal submitted: NOPE");
        CHECK_TEXT(Second.m_aacLines[2], "E CSignalBase::ServiceWrite: Value limit exceeded: 99/d,");
    }
    /* Last errors are per device too. */
    CHECK_TEXT(LastError(pThird), "Invalid signal submitted: NOPE");
    CHECK_TEXT(LastError(pSecond), "Value limit exceeded: 99/d,");
    CHECK_OK(NULL, zev_destroy(pThird));
    CHECK_OK(NULL, zev_destroy(pSecond));
    CHECK_OK(NULL, zev_destroy(NULL));
    CHECK_STATUS(NULL, zev_create_simulated(NULL), ZEV_BAD_ARGUMENT);
}

int main(void)
{
    zev_device* pDevice = NULL;
    SReports Reports;
    Reports.m_iCount = 0;

    TestVersionAndStatusNames();
    CHECK_OK(NULL, zev_create_simulated(&pDevice));
    if (pDevice == NULL)
        return Finish("capi_sim");
    CHECK_OK(pDevice, zev_set_report_callbacks(pDevice, OnError, OnDenied, &Reports));
    TestIdentityAndBuffers(pDevice);
    TestCatalogue(pDevice);
    TestTypedAccess(pDevice);
    TestTextService(pDevice);
    TestLocksAndLogging(pDevice);
    TestRegistersAndMemories(pDevice);
    TestSnapshot(pDevice);
    TestFaultsAndReports(pDevice, &Reports);
    CHECK_OK(NULL, zev_destroy(pDevice));
    TestReportsStayWithTheirDevice();
    return Finish("capi_sim");
}
