/* The whole C interface on the simulated ZEV, compiled as C: the catalogue, typed access
 * with its three write modes, whole registers and memories, locks, logging, the text
 * service with the library's own texts, the snapshot, the error codes and what is reported
 * to which device. The simulator's own words (zev_sim_peek) show what reached the device. */
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
    CHECK_TEXT(LastError(a_pDevice), "AUD_CNTRL0 has no signal TRIG_SEl");
    CHECK(pSignal == NULL);
    CHECK_OK(a_pDevice, zev_signal_at(pRegister, 1, &pSignal));
    CHECK_STATUS(a_pDevice, zev_signal_lookup(a_pDevice, "AUD_CNTRL", "TRIG_SEL", &pSignal), ZEV_NOT_FOUND);
    CHECK(pSignal == NULL);
    CHECK_STATUS(a_pDevice, zev_register_find(a_pDevice, "aud_cntrl0", &pRegister), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "no register aud_cntrl0");
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

static void TestDefaultsAndTypedAccess(zev_device* a_pDevice)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    zev_signal* pMultHp = Signal(a_pDevice, "AUD_CNTRL0", "MULT_HP");
    zev_signal* pShiftHp = Signal(a_pDevice, "AUD_CNTRL0", "SHIFT_HP");
    zev_signal* pIterations = Signal(a_pDevice, "COR_CNTRL", "NOF_ITERATIONS");
    zev_signal* pServal = Signal(a_pDevice, "PRI_SERVAL", "SERVAL");
    uint32_t udwValue = 0;
    int32_t iWritten = -1;

    /* Defaults: COR_CNTRL's time multiplexers on, 9 iterations, both round modes 1. */
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, 0x0A00, 0));
    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    CHECK_NUMBER(Peek(a_pDevice, 0x0A00), (1u << 11) | (1u << 12) | (9u << 13) | (1u << 20) | (1u << 22));
    CHECK_OK(a_pDevice, zev_signal_get(pIterations, 0, &udwValue));
    CHECK_NUMBER(udwValue, 9);

    /* Immediate: written at once, and read back through the device's read-back path. */
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 3, ZEV_WRITE_IMMEDIATE, &iWritten));
    CHECK_NUMBER(iWritten, 1);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0) & 7u, 3);
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, ADDRESS_AUD_CNTRL0, 5));
    CHECK_OK(a_pDevice, zev_signal_get(pTrigSel, 0, &udwValue));
    CHECK_NUMBER(udwValue, 3);
    CHECK_OK(a_pDevice, zev_signal_get(pTrigSel, 1, &udwValue));
    CHECK_NUMBER(udwValue, 5);

    /* Deferred: nothing goes out until a writing set of the same register. */
    CHECK_OK(a_pDevice, zev_signal_set(pMultHp, 17, ZEV_WRITE_DEFERRED, &iWritten));
    CHECK_NUMBER(iWritten, 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 5);
    CHECK_OK(a_pDevice, zev_signal_set(pShiftHp, 2, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 5u | (17u << 3) | (2u << 9));
    /* A mode the library does not know acts as deferred. */
    CHECK_OK(a_pDevice, zev_signal_set(pShiftHp, 3, 9, &iWritten));
    CHECK_NUMBER(iWritten, 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 5u | (17u << 3) | (2u << 9));
    /* If changed: the pending change goes out; the same value again does not. */
    CHECK_OK(a_pDevice, zev_signal_set(pShiftHp, 3, ZEV_WRITE_IF_CHANGED, &iWritten));
    CHECK_NUMBER(iWritten, 1);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 5u | (17u << 3) | (3u << 9));
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, ADDRESS_AUD_CNTRL0, 0));
    CHECK_OK(a_pDevice, zev_signal_set(pShiftHp, 3, ZEV_WRITE_IF_CHANGED, &iWritten));
    CHECK_NUMBER(iWritten, 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 0);

    /* Values the field cannot hold, or that name no enumerator, are refused and change nothing. */
    CHECK_STATUS(a_pDevice, zev_signal_set(pTrigSel, 8, ZEV_WRITE_IMMEDIATE, &iWritten), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "AUD_CNTRL0.TRIG_SEL has no enumerator of value 8");
    CHECK_STATUS(a_pDevice, zev_signal_set(pMultHp, 64, ZEV_WRITE_IMMEDIATE, &iWritten), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "AUD_CNTRL0.MULT_HP takes 0 to 63, not 64");
    CHECK_STATUS(a_pDevice, zev_signal_set(pIterations, 0, ZEV_WRITE_IMMEDIATE, &iWritten), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "COR_CNTRL.NOF_ITERATIONS has no enumerator of value 0");
    CHECK_STATUS(a_pDevice, zev_signal_set(pIterations, 22, ZEV_WRITE_IMMEDIATE, &iWritten), ZEV_BAD_ARGUMENT);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 0);
    CHECK_OK(a_pDevice, zev_signal_set(pIterations, 21, ZEV_WRITE_IMMEDIATE, &iWritten));
    CHECK_NUMBER((Peek(a_pDevice, 0x0A00) >> 13) & 31u, 21);

    /* A 32-bit field takes every value; its register refuses writes (reported, see below). */
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, 30, 0xFFFFFFFFu));
    CHECK_OK(a_pDevice, zev_signal_get(pServal, 1, &udwValue));
    CHECK_NUMBER(udwValue, 0xFFFFFFFFu);

    CHECK_STATUS(a_pDevice, zev_signal_set(NULL, 0, 0, NULL), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_signal_get(pTrigSel, 0, NULL), ZEV_BAD_ARGUMENT);
}

static void TestTextService(zev_device* a_pDevice, SReports* a_pReports)
{
    char acTexts[256];
    uint32_t udwNeeded = 0, udwCount = 0, udwState = 9;
    zev_signal* pMultHp = Signal(a_pDevice, "AUD_CNTRL0", "MULT_HP");
    int32_t iWritten = -1;

    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    CHECK_OK(a_pDevice, zev_signal_set(pMultHp, 7, ZEV_WRITE_IMMEDIATE, NULL));
    a_pReports->m_iCount = 0;

    /* A service write goes to the device and locks the signal against the application. */
    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "12/d", 0));
    CHECK_NUMBER((Peek(a_pDevice, ADDRESS_AUD_CNTRL0) >> 3) & 63u, 12);
    CHECK_OK(a_pDevice, zev_signal_lock_state(pMultHp, &udwState));
    CHECK_NUMBER(udwState, ZEV_LOCKED);
    CHECK_OK(a_pDevice, zev_signal_set(pMultHp, 9, ZEV_WRITE_IMMEDIATE, &iWritten));
    CHECK_NUMBER(iWritten, 0);
    CHECK_NUMBER((Peek(a_pDevice, ADDRESS_AUD_CNTRL0) >> 3) & 63u, 12);
    CHECK_OK(a_pDevice, zev_service_read(a_pDevice, "AUD_CNTRL0", "MULT_HP", 0, 1, acTexts, sizeof acTexts, &udwNeeded,
                                         &udwCount));
    CHECK_TEXT(acTexts, "0000000C/h");
    CHECK_NUMBER(udwNeeded, 11);
    CHECK_NUMBER(udwCount, 1);
    CHECK_OK(a_pDevice, zev_value_by_string(a_pDevice, "AUD_CNTRL0", "MULT_HP", acTexts, sizeof acTexts, NULL));
    CHECK_TEXT(acTexts, "12");
    /* Unlocking writes the application's own value back. */
    CHECK_OK(a_pDevice, zev_unlock(a_pDevice, "AUD_CNTRL0", "MULT_HP"));
    CHECK_NUMBER((Peek(a_pDevice, ADDRESS_AUD_CNTRL0) >> 3) & 63u, 7);
    CHECK_NUMBER(a_pReports->m_iCount, 0);

    /* Refusals carry the library's exact texts and are reported to this device. */
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "256/d", 0), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), "Value limit exceeded: 256/d,");
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "31", 0), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice),
               "Invalid value(s) submitted: 31,Wrong format specified (use /d for decimal or /h for hex values)");
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", "3/d", 0), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), "Invalid value(s) submitted: 3/d,");
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL9", "MULT_HP", "1/d", 0), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Invalid register submitted: AUD_CNTRL9");
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, "AUD_CNTRL0", "NOPE", 0, 1, acTexts, sizeof acTexts, NULL, NULL),
                 ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Invalid signal submitted: NOPE");
    CHECK_NUMBER(a_pReports->m_iCount, 5);
    if (a_pReports->m_iCount == 5)
    {
        CHECK_TEXT(a_pReports->m_aacLines[0], "E CSignalBase::ServiceWrite: Value limit exceeded: 256/d,");
        CHECK_TEXT(a_pReports->m_aacLines[2], "E CSignalBase::ServiceWrite: Invalid value(s) submitted: 3/d,");
        CHECK_TEXT(a_pReports->m_aacLines[3], "E CHWDeviceBase::ServiceWrite: Invalid register submitted: AUD_CNTRL9");
        CHECK_TEXT(a_pReports->m_aacLines[4], "E CRegisterBase::ServiceRead: Invalid signal submitted: NOPE");
    }
    /* A refused write changed nothing. */
    CHECK_NUMBER((Peek(a_pDevice, ADDRESS_AUD_CNTRL0) >> 3) & 63u, 7);
    CHECK_OK(a_pDevice, zev_signal_lock_state(pMultHp, &udwState));
    CHECK_NUMBER(udwState, ZEV_UNLOCKED);

    /* Enumerator names in and out (a list's last line end is optional); a hexadecimal value. */
    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", "MARKER_SIG_5\r\n", 0));
    CHECK_OK(a_pDevice, zev_service_read(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 0, 1, acTexts, sizeof acTexts, NULL, NULL));
    CHECK_TEXT(acTexts, "MARKER_SIG_5");
    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "1F/h", 0));
    CHECK_NUMBER((Peek(a_pDevice, ADDRESS_AUD_CNTRL0) >> 3) & 63u, 31);
    CHECK_OK(a_pDevice, zev_value_by_string(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", acTexts, sizeof acTexts, NULL));
    CHECK_TEXT(acTexts, "MARKER_SIG_5");
    CHECK_STATUS(a_pDevice, zev_value_by_string(a_pDevice, "AUD_CNTRL9", "TRIG_SEL", acTexts, sizeof acTexts, NULL),
                 ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Register not found!");
    CHECK_STATUS(a_pDevice, zev_value_by_string(a_pDevice, "AUD_CNTRL0", "TRIG", acTexts, sizeof acTexts, NULL),
                 ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Function not found!");
    CHECK_OK(a_pDevice, zev_unlock(a_pDevice, "AUD_CNTRL0", "ALL"));

    /* A whole register's word, and memory words as a list. */
    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "", "ABCDE/h", 0));
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 0xABCDE);
    CHECK_OK(a_pDevice, zev_service_read(a_pDevice, "AUD_CNTRL0", "", 0, 1, acTexts, sizeof acTexts, NULL, &udwCount));
    CHECK_TEXT(acTexts, "000ABCDE/h");
    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "ENT_H1", "", "1/d\n2/h\r\n30/d", 2));
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_ENT_H1 + 1), 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_ENT_H1 + 2), 1);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_ENT_H1 + 3), 2);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_ENT_H1 + 4), 30);
    CHECK_OK(a_pDevice, zev_service_read(a_pDevice, "ENT_H1", "", 1, 4, acTexts, sizeof acTexts, &udwNeeded, &udwCount));
    CHECK_TEXT(acTexts, "00000000/h\n00000001/h\n00000002/h\n0000001E/h");
    CHECK_NUMBER(udwCount, 4);
    CHECK_NUMBER(udwNeeded, 44);
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "ENT_H1", "", "1/d\nx", 0), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), "Invalid value format!");
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "", 0), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), "Invalid value(s) submitted: ");

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
    CHECK_OK(a_pDevice, zev_unlock_all(a_pDevice));

    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", NULL, 0), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, NULL, "", 0, 1, acTexts, sizeof acTexts, NULL, NULL),
                 ZEV_BAD_ARGUMENT);
}

static void TestLocksAndLogging(zev_device* a_pDevice)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    zev_register* pRam = Register(a_pDevice, "ENT_H2");
    uint32_t udwState = 9, udwValue = 0;
    int32_t iWritten = -1;
    SLog Log;
    memset(&Log, 0, sizeof Log);

    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 2, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_OK(a_pDevice, zev_lock(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"));
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 6, ZEV_WRITE_IMMEDIATE, &iWritten));
    CHECK_NUMBER(iWritten, 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0) & 7u, 2);
    CHECK_OK(a_pDevice, zev_signal_get(pTrigSel, 0, &udwValue));
    CHECK_NUMBER(udwValue, 2);
    CHECK_OK(a_pDevice, zev_unlock(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"));
    CHECK_STATUS(a_pDevice, zev_lock(a_pDevice, "AUD_CNTRL9", "TRIG_SEL"), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Invalid register submitted: AUD_CNTRL9");
    CHECK_STATUS(a_pDevice, zev_lock(a_pDevice, "AUD_CNTRL0", "NOPE"), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Invalid signal submitted: NOPE");
    CHECK_STATUS(a_pDevice, zev_unlock(a_pDevice, "AUD_CNTRL0", "All"), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Invalid signal submitted: All");

    /* Everything, memories included. */
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

    /* Change-log lines to the callback, one per change; off again, none. */
    CHECK_OK(a_pDevice, zev_set_log_callback(a_pDevice, OnLog, &Log));
    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 1));
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 4, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_OK(a_pDevice, zev_lock(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"));
    CHECK_OK(a_pDevice, zev_unlock(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"));
    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 0));
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 5, ZEV_WRITE_IMMEDIATE, NULL));
    /* The unlock puts the application's value back with a set of its own, logged too. */
    CHECK_NUMBER(Log.m_iCount, 4);
    if (Log.m_iCount == 4)
    {
        CHECK_TEXT(Log.m_aacLines[0], "Register: AUD_CNTRL0 Signal: TRIG_SEL Changed from value: MARKER_SIG_2 to value: 4");
        CHECK_TEXT(Log.m_aacLines[1], "Signal: TRIG_SEL locked!");
        CHECK_TEXT(Log.m_aacLines[2], "Register: AUD_CNTRL0 Signal: TRIG_SEL unlocked.");
        CHECK_TEXT(Log.m_aacLines[3], "Register: AUD_CNTRL0 Signal: TRIG_SEL Changed from value: MARKER_SIG_4 to value: 4");
    }
    CHECK_STATUS(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL9", "ALL", 1), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Invalid register submitted: AUD_CNTRL9");
    CHECK_STATUS(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "NOPE", 1), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "Invalid signal submitted: NOPE");
    CHECK_STATUS(a_pDevice, zev_logging(a_pDevice, "ALL", "NOPE", 1), ZEV_NOT_FOUND);
    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "ALL", "MULT_HP", 0));

    /* A failing log callback fails the call that logged; logging goes on. */
    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 1));
    Log.m_iCount = 0;
    Log.m_iFail = 7;
    CHECK_STATUS(a_pDevice, zev_signal_set(pTrigSel, 1, ZEV_WRITE_IMMEDIATE, &iWritten), ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the log callback returned 7");
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0) & 7u, 1);
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 2, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_NUMBER(Log.m_iCount, 2);
    if (Log.m_iCount == 2)
        CHECK_TEXT(Log.m_aacLines[1], "Register: AUD_CNTRL0 Signal: TRIG_SEL Changed from value: MARKER_SIG_1 to value: 2");
    /* From inside the callback, its device can be neither destroyed nor called. */
    Log.m_pDevice = a_pDevice;
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 3, ZEV_WRITE_IMMEDIATE, NULL));
    Log.m_pDevice = NULL;
    CHECK_NUMBER(Log.m_aiCalls[0], ZEV_BAD_ARGUMENT);
    CHECK_NUMBER(Log.m_aiCalls[1], ZEV_BAD_ARGUMENT);
    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 0));
    CHECK_OK(a_pDevice, zev_set_log_callback(a_pDevice, NULL, NULL));
}

static void TestRegistersAndMemories(zev_device* a_pDevice, SReports* a_pReports)
{
    zev_register* pAud = Register(a_pDevice, "AUD_CNTRL0");
    zev_register* pApd = Register(a_pDevice, "DET_APD_SSRAM");
    zev_register* pEnt = Register(a_pDevice, "ENT_H3");
    uint32_t audwWords[8] = {0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0};
    uint32_t audwBack[8];
    uint32_t udwState = 9;
    int32_t iDone = -1;
    zev_register_info Info;

    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    a_pReports->m_iCount = 0;

    /* A whole register: its word read now; written as the text service writes it. */
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, ADDRESS_AUD_CNTRL0, 0x00123456));
    CHECK_OK(a_pDevice, zev_register_read(pAud, 0, 1, audwBack));
    CHECK_NUMBER(audwBack[0], 0x00123456);
    audwWords[0] = 0x000FEDCB;
    CHECK_OK(a_pDevice, zev_register_write(pAud, 0, 1, audwWords));
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 0x000FEDCB);
    CHECK_OK(a_pDevice, zev_register_lock_state(pAud, &udwState));
    CHECK_NUMBER(udwState, ZEV_LOCKED);
    CHECK_STATUS(a_pDevice, zev_register_read(pAud, 1, 1, audwBack), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), "AUD_CNTRL0 has word 0 only: start 1, count 1");
    CHECK_STATUS(a_pDevice, zev_register_write(pAud, 0, 0, audwWords), ZEV_BAD_ARGUMENT);
    CHECK_OK(a_pDevice, zev_register_set_to_default(pAud, &iDone));
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_AUD_CNTRL0), 0);
    audwWords[0] = 0x11;

    /* A memory's block: written only when it changes the device's words. */
    CHECK_OK(a_pDevice, zev_memory_set(pApd, 10, 4, audwWords, &iDone));
    CHECK_NUMBER(iDone, 1);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_DET_APD_SSRAM + 9), 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_DET_APD_SSRAM + 10), 0x11);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_DET_APD_SSRAM + 13), 0x44);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_DET_APD_SSRAM + 14), 0);
    CHECK_OK(a_pDevice, zev_memory_set(pApd, 10, 4, audwWords, &iDone));
    CHECK_NUMBER(iDone, 0);
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, ADDRESS_DET_APD_SSRAM + 11, 0x99));
    CHECK_OK(a_pDevice, zev_memory_get(pApd, 10, 4, 0, audwBack, &iDone));
    CHECK_NUMBER(iDone, 0);
    CHECK_NUMBER(audwBack[1], 0x22);
    CHECK_OK(a_pDevice, zev_memory_get(pApd, 10, 4, 1, audwBack, &iDone));
    CHECK_NUMBER(iDone, 1);
    CHECK_NUMBER(audwBack[0], 0x11);
    CHECK_NUMBER(audwBack[1], 0x99);
    CHECK_OK(a_pDevice, zev_register_read(pApd, 4095, 1, audwBack));
    CHECK_NUMBER(audwBack[0], 0);
    CHECK_OK(a_pDevice, zev_register_read(pApd, 12, 2, audwBack));
    CHECK_NUMBER(audwBack[0], 0x33);
    CHECK_NUMBER(audwBack[1], 0x44);

    /* Through the read-back path, word by word. */
    CHECK_OK(a_pDevice, zev_register_describe(pEnt, &Info));
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, Info.address + 6, 0xABC));
    CHECK_OK(a_pDevice, zev_memory_get(pEnt, 5, 2, 1, audwBack, &iDone));
    CHECK_NUMBER(iDone, 1);
    CHECK_NUMBER(audwBack[1], 0xABC);

    /* A locked memory ignores the application. */
    CHECK_OK(a_pDevice, zev_lock(a_pDevice, "DET_APD_SSRAM", "ALL"));
    audwWords[0] = 0x55;
    CHECK_OK(a_pDevice, zev_memory_set(pApd, 10, 1, audwWords, &iDone));
    CHECK_NUMBER(iDone, 0);
    CHECK_NUMBER(Peek(a_pDevice, ADDRESS_DET_APD_SSRAM + 10), 0x11);
    CHECK_OK(a_pDevice, zev_unlock(a_pDevice, "DET_APD_SSRAM", "ALL"));
    CHECK_NUMBER(a_pReports->m_iCount, 0);

    /* The memory's refusals: the library's texts, reported to this device. */
    CHECK_STATUS(a_pDevice, zev_memory_set(pApd, 4095, 2, audwWords, &iDone), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ", memory error, RAM frontiers have been hurt.");
    CHECK_STATUS(a_pDevice, zev_memory_get(pApd, 0, 1, 1, NULL, &iDone), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ", submitted parameter a_udwpValue == NULL.");
    CHECK_STATUS(a_pDevice, zev_memory_set(pApd, 0, 1, NULL, &iDone), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ",submitted parameter a_udwpValue == NULL.");
    CHECK_NUMBER(a_pReports->m_iCount, 3);
    if (a_pReports->m_iCount == 3)
        CHECK_TEXT(a_pReports->m_aacLines[0],
                   "E ZEV::CRegister_DET_APD_SSRAM::Set: , memory error, RAM frontiers have been hurt.");
    CHECK_STATUS(a_pDevice, zev_memory_get(pAud, 0, 1, 1, audwBack, &iDone), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "AUD_CNTRL0 is not a memory");
    CHECK_STATUS(a_pDevice, zev_register_read(pApd, 4090, 7, audwBack), ZEV_REFUSED);
    /* The text service refuses a range beyond a memory as the typed block does, and
     * changes nothing. */
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "DET_APD_SSRAM", "", "1/d\n2/d", 4095), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ", memory error, RAM frontiers have been hurt.");
    CHECK_OK(a_pDevice, zev_register_lock_state(pApd, &udwState));
    CHECK_NUMBER(udwState, ZEV_UNLOCKED);
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
    CHECK(strstr(pcText, "\nZEV.COR_CNTRL.NOF_ITERATIONS = 9; % Wert =NINE\n") != NULL);
    CHECK_NUMBER(strlen(pcText) + 1, udwNeeded);
    /* Taken again into a buffer large enough, it is the same script. */
    CHECK_OK(a_pDevice, zev_snapshot(a_pDevice, pcText, udwNeeded, &udwFetched));
    CHECK_NUMBER(udwFetched, udwNeeded);
    free(pcText);
}

static int Contains(const zev_device* a_pDevice, const char* a_pcPart)
{
    static char s_acReports[65536];
    if (zev_reports(a_pDevice, s_acReports, sizeof s_acReports, NULL) != ZEV_OK)
        return 0;
    return strstr(s_acReports, a_pcPart) != NULL;
}

static void TestFaultsAndReports(zev_device* a_pDevice, SReports* a_pReports)
{
    uint32_t udwValue = 0, udwCount = 0;
    int32_t iWritten = -1;
    char acLog[512];

    CHECK_OK(a_pDevice, zev_clear_reports(a_pDevice));
    a_pReports->m_iCount = 0;

    /* A fault of a direct read reaches the caller as an error code... */
    CHECK_OK(a_pDevice, zev_sim_fail_reads(a_pDevice, 1));
    CHECK_STATUS(a_pDevice, zev_signal_get(Signal(a_pDevice, "PRI_STATUSREG1", "SR1_B_REC_END"), 1, &udwValue),
                 ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: simulated bus fault");
    CHECK_OK(a_pDevice, zev_sim_fail_reads(a_pDevice, 1));
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, "PRI_SERVAL", "SERVAL", 0, 1, acLog, sizeof acLog, NULL, NULL),
                 ZEV_HOST_FAULT);
    /* ...while the read-back path catches it itself and reports it. */
    CHECK_OK(a_pDevice, zev_sim_fail_reads(a_pDevice, 1));
    CHECK_STATUS(a_pDevice, zev_signal_get(Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"), 1, &udwValue), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ",Unknown error!");
    CHECK_NUMBER(a_pReports->m_iCount, 1);
    if (a_pReports->m_iCount == 1)
        CHECK_TEXT(a_pReports->m_aacLines[0], "E CSequentialRead_ParallelWrite::Read: ,Unknown error!");

    /* The read-back path's ready bit never shows: reported, and the call refused. */
    CHECK_OK(a_pDevice, zev_sim_ready_after(a_pDevice, 0));
    CHECK_STATUS(a_pDevice, zev_signal_get(Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"), 1, &udwValue), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ",HW device not ready!");
    CHECK_OK(a_pDevice, zev_sim_ready_after(a_pDevice, 1));
    CHECK_NUMBER(a_pReports->m_iCount, 2);
    if (a_pReports->m_iCount == 2)
        CHECK_TEXT(a_pReports->m_aacLines[1], "E CSequentialRead_ParallelWrite::Read: ,HW device not ready!");

    /* Refused directions go to the access-denied callback, and refuse the call: nothing written. */
    CHECK_STATUS(a_pDevice, zev_signal_get(Signal(a_pDevice, "DET_RESET", "QP_RESET"), 1, &udwValue), ZEV_REFUSED);
    CHECK_STATUS(a_pDevice, zev_signal_set(Signal(a_pDevice, "PRI_SERVAL", "SERVAL"), 1, ZEV_WRITE_IMMEDIATE, &iWritten),
                 ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ",No write access allowed!");
    CHECK_NUMBER(iWritten, 0);
    CHECK_NUMBER(a_pReports->m_iCount, 4);
    if (a_pReports->m_iCount == 4)
    {
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
    uint32_t audwWord[1] = {1};
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
    CHECK_STATUS(pSecond, zev_memory_set(Register(pSecond, "ENT_H1"), 7, 1, audwWord, NULL), ZEV_REFUSED);
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
    TestDefaultsAndTypedAccess(pDevice);
    TestTextService(pDevice, &Reports);
    TestLocksAndLogging(pDevice);
    TestRegistersAndMemories(pDevice, &Reports);
    TestSnapshot(pDevice);
    TestFaultsAndReports(pDevice, &Reports);
    CHECK_OK(NULL, zev_destroy(pDevice));
    TestReportsStayWithTheirDevice();
    return Finish("capi_sim");
}
