/* What only the C door has, on the simulated ZEV, compiled as C: its ABI version, texts in
 * the caller's buffers, lines in and out, the report log's cap, the catalogue's handles, the
 * typed set's own rules, ZEV_NOT_FOUND apart from ZEV_REFUSED, null pointers. What every door
 * answers alike is the conformance cases' (through this library by ctypes and by C#);
 * callbacks, faults and the kept text are capi_callback_host's. */
#include "check.h"

static char s_acReports[1 << 18];

static uint32_t Peek(zev_device* a_pDevice, uint32_t a_udwAddress)
{
    uint32_t udwWord = 0xDEADBEEFu;
    CHECK_OK(a_pDevice, zev_sim_peek(a_pDevice, a_udwAddress, &udwWord));
    return udwWord;
}

static zev_register* Register(zev_device* a_pDevice, const char* a_pcName)
{
    zev_register* pRegister = NULL;
    CHECK_OK(a_pDevice, zev_register_find(a_pDevice, a_pcName, &pRegister));
    return pRegister;
}

/* A table's row: which one gave what, when it is not what it should be. */
static void CheckRow(uint32_t a_udwRow, zev_status a_iSeen, zev_status a_iExpected, int a_iLine)
{
    char acRow[64];
    snprintf(acRow, sizeof acRow, "row %u gave %s", a_udwRow, zev_status_name(a_iSeen));
    Check(a_iSeen == a_iExpected, __FILE__, a_iLine, acRow, "");
}

/* A buffer too small gets an empty string (one of no bytes is not touched, none at all gets
 * the size alone), the size it needs and a text saying so; lines in ("\r\n" ends one too, the
 * last needs no end, "" is no value) and out, with their count. The report log keeps the last
 * 1000 reports. */
static void TestTexts(zev_device* a_pDevice)
{
    static const uint32_t s_audwShort[] = {0, 1, 3};
    char acText[64];
    uint32_t udwNeeded = 0, udwCount = 0, i;

    for (i = 0; i < 3; ++i)
    {
        acText[0] = 'u';
        CHECK_STATUS(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_NAME, acText, s_audwShort[i], &udwNeeded),
                     ZEV_BUFFER_TOO_SMALL);
        CHECK(acText[0] == (i == 0 ? 'u' : '\0') && udwNeeded == 4);
    }
    CHECK_TEXT(LastError(a_pDevice), "the text needs 4 bytes, the buffer holds 3");
    CHECK_STATUS(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_NAME, NULL, 9, &udwNeeded),
                 ZEV_BUFFER_TOO_SMALL);
    CHECK_TEXT(LastError(a_pDevice), "the text needs 4 bytes, the buffer is a null pointer");
    CHECK_OK(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_NAME, acText, 4, &udwNeeded));
    CHECK_TEXT(acText, "ZEV");
    CHECK_STATUS(a_pDevice, zev_device_identity(a_pDevice, 3, acText, sizeof acText, NULL), ZEV_BAD_ARGUMENT);

    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "ENT_H1", "", "1/d\r\n2/h\n30/d", 2));
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "", 0), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), "Invalid value(s) submitted: ");
    CHECK_OK(a_pDevice, zev_service_read(a_pDevice, "ENT_H1", "", 1, 4, acText, sizeof acText, &udwNeeded, &udwCount));
    CHECK_TEXT(acText, "00000000/h\n00000001/h\n00000002/h\n0000001E/h");
    CHECK(udwCount == 4 && udwNeeded == 44);

    for (i = 0; i < 1001; ++i)
        zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", i == 0 ? "64/d" : "65/d", 0);
    CHECK_OK(a_pDevice, zev_report_count(a_pDevice, &udwCount));
    CHECK_OK(a_pDevice, zev_reports(a_pDevice, s_acReports, sizeof s_acReports, NULL));
    CHECK(udwCount == 1000 && strstr(s_acReports, "64/d") == NULL);
    CHECK_OK(a_pDevice, zev_clear_reports(a_pDevice));
}

/* The catalogue's handles: registers by index in the device's list order and by name, each
 * access code, a signal by index and by name, enumerators by index (in value order, a value
 * need not be its index) and by name; a failed look-up sets its handle to NULL. */
static void TestCatalogue(zev_device* a_pDevice)
{
    static const char* const s_apcRegisters[] = {"PRI_STATUSREG1", "AUD_CNTRL0", "DET_RESET", "PRI_SERVAL",
                                                 "SWP_DATA_RAM"};
    static const uint32_t s_audwAccess[] = {ZEV_ACCESS_READ_WRITE, ZEV_ACCESS_READ_BACK_WRITE, ZEV_ACCESS_WRITE_ONLY,
                                            ZEV_ACCESS_READ_ONLY, ZEV_ACCESS_READ_BACK_WRITE};
    uint32_t udwCount = 0, udwValue = 0, i;
    char acName[64];
    zev_register* pRegister = NULL;
    zev_signal* pSignal = NULL;
    zev_register_info Info;
    zev_signal_info SignalInfo;

    CHECK_OK(a_pDevice, zev_register_count(a_pDevice, &udwCount));
    CHECK_OK(a_pDevice, zev_register_at(a_pDevice, 440, &pRegister));
    CHECK_OK(a_pDevice, zev_register_name(pRegister, acName, sizeof acName, NULL));
    CHECK(udwCount == 441 && strcmp(acName, "VBW_TRIGGER_OFFSET7") == 0);
    CHECK_STATUS(a_pDevice, zev_register_at(a_pDevice, 441, &pRegister), ZEV_NOT_FOUND);
    CHECK(pRegister == NULL);
    CHECK_TEXT(LastError(a_pDevice), "no register 441: the device has 441");
    for (i = 0; i < 5; ++i)
    {
        CHECK_OK(a_pDevice, zev_register_describe(Register(a_pDevice, s_apcRegisters[i]), &Info));
        CHECK(Info.access == s_audwAccess[i] && Info.status == (i == 0));
    }
    CHECK(Info.address == 0x10000 && Info.width == 32 && Info.words == 49152 && Info.signal_count == 0);

    pRegister = Register(a_pDevice, "AUD_CNTRL0");
    CHECK_OK(a_pDevice, zev_register_describe(pRegister, &Info));
    CHECK(Info.address == 0x0E00 && Info.width == 24 && Info.words == 1 && Info.signal_count == 5);
    CHECK_OK(a_pDevice, zev_signal_at(pRegister, 1, &pSignal));
    CHECK_OK(a_pDevice, zev_signal_name(pSignal, acName, sizeof acName, NULL));
    CHECK_OK(a_pDevice, zev_signal_describe(pSignal, &SignalInfo));
    CHECK(strcmp(acName, "MULT_HP") == 0 && SignalInfo.low == 3 && SignalInfo.width == 6 && SignalInfo.max_value == 63);
    CHECK_STATUS(a_pDevice, zev_signal_at(pRegister, 5, &pSignal), ZEV_NOT_FOUND);
    CHECK_STATUS(a_pDevice, zev_signal_find(pRegister, "TRIG_SEl", &pSignal), ZEV_NOT_FOUND);
    CHECK(pSignal == NULL);

    pSignal = Signal(a_pDevice, "COR_CNTRL", "NOF_ITERATIONS");
    CHECK_OK(a_pDevice, zev_signal_describe(pSignal, &SignalInfo));
    CHECK(SignalInfo.low == 13 && SignalInfo.default_value == 9 && SignalInfo.enumerator_count == 21);
    CHECK_OK(a_pDevice, zev_signal_enumerator(pSignal, 20, &udwValue, acName, sizeof acName, NULL));
    CHECK(udwValue == 21 && strcmp(acName, "TWENTEEONE") == 0);
    CHECK_STATUS(a_pDevice, zev_signal_enumerator(pSignal, 21, &udwValue, acName, sizeof acName, NULL), ZEV_NOT_FOUND);
    CHECK_OK(a_pDevice, zev_signal_enumerator_value(pSignal, "ONE", &udwValue));
    CHECK(udwValue == 1);
    CHECK_STATUS(a_pDevice, zev_signal_enumerator_value(pSignal, "one", &udwValue), ZEV_NOT_FOUND);
    CHECK_TEXT(LastError(a_pDevice), "NOF_ITERATIONS has no enumerator one");
    CHECK_STATUS(a_pDevice, zev_signal_lookup(a_pDevice, "AUD_CNTRL", "TRIG_SEL", &pSignal), ZEV_NOT_FOUND);
    CHECK(pSignal == NULL);
}

/* A name the device lacks is ZEV_NOT_FOUND; a refusal of names it has is ZEV_REFUSED. "ALL"
 * and "all" stand for every register or signal in a lock, unlock or logging only. A call on
 * one register whose library call reported (a refused direction, a read-back never ready)
 * is refused, and a refused write was not written. */
static void TestNamesAndRefusals(zev_device* a_pDevice)
{
    uint32_t audwWords[2] = {1, 2}, i;
    int32_t iWritten = -1;
    zev_register* pRam = Register(a_pDevice, "ENT_H2");
    const zev_status aiSeen[][2] = {
        {zev_lock(a_pDevice, "ALL", "TRIG_SEL"), ZEV_REFUSED}, /* not every register has it */
        {zev_unlock(a_pDevice, "all", "TRIG_SEL"), ZEV_REFUSED},
        {zev_lock(a_pDevice, "NOPE", "TRIG_SEL"), ZEV_NOT_FOUND},
        {zev_unlock(a_pDevice, "AUD_CNTRL0", "NOPE"), ZEV_NOT_FOUND},
        {zev_lock(a_pDevice, "ALL", "NOPE"), ZEV_NOT_FOUND},
        {zev_lock(a_pDevice, "AUD_CNTRL0", ""), ZEV_NOT_FOUND}, /* no name is none the device has */
        {zev_value_by_string(a_pDevice, "AUD_CNTRL0", "", NULL, 0, NULL), ZEV_NOT_FOUND}, /* a value is a signal's */
        {zev_logging(a_pDevice, "all", "NOPE", 1), ZEV_NOT_FOUND},
        {zev_service_read(a_pDevice, "ALL", "", 0, 1, NULL, 0, NULL, NULL), ZEV_NOT_FOUND},
        {zev_register_read(Register(a_pDevice, "DIN_STROBE"), 0, 1, audwWords), ZEV_REFUSED},
        {zev_register_set_to_default(Register(a_pDevice, "PRI_SERVAL"), &iWritten), ZEV_REFUSED}};

    for (i = 0; i < sizeof aiSeen / sizeof aiSeen[0]; ++i)
        CheckRow(i, aiSeen[i][0], aiSeen[i][1], __LINE__);
    CHECK(iWritten == 0);
    CHECK_STATUS(a_pDevice, zev_register_write(Register(a_pDevice, "PRI_SERVAL"), 0, 1, audwWords), ZEV_REFUSED);
    CHECK_OK(a_pDevice, zev_sim_ready_after(a_pDevice, 0));
    CHECK_STATUS(a_pDevice, zev_memory_get(Register(a_pDevice, "SWP_DATA_RAM"), 0, 1, 1, audwWords, NULL), ZEV_REFUSED);
    CHECK_OK(a_pDevice, zev_sim_ready_after(a_pDevice, 1));
    CHECK_OK(a_pDevice, zev_lock(a_pDevice, "all", "all"));
    CHECK_OK(a_pDevice, zev_unlock(a_pDevice, "ALL", "ALL"));
    /* A memory's defaults are written only when they change its words. */
    CHECK_OK(a_pDevice, zev_memory_set(pRam, 0, 2, audwWords, NULL));
    CHECK_OK(a_pDevice, zev_register_set_to_default(pRam, &iWritten));
    CHECK(iWritten == 1);
    CHECK_OK(a_pDevice, zev_register_set_to_default(pRam, &iWritten));
    CHECK(iWritten == 0);
    CHECK_OK(a_pDevice, zev_clear_reports(a_pDevice));
}

/* The typed set's own rules: a mode the library does not know defers (a value beyond the field
 * is the conformance cases'); a write-one-to-clear status register's word goes out as the
 * simulator prepares it. zev_lock_all and zev_unlock_all, memories too. Exactly count
 * words reach the caller's buffer, read from the device only when asked. */
static void TestTypedLocksAndWords(zev_device* a_pDevice)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    zev_register* pRam = Register(a_pDevice, "DET_APD_SSRAM");
    uint32_t audwWords[2] = {0x11, 0x22}, audwBack[3] = {0, 0, 0xDEADBEEFu}, udwSignal = 9, udwRam = 9, i;
    int32_t iWritten = -1, iRead = -1;

    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    CHECK_STATUS(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "SHIFT_HP"), 5, 9, &iWritten), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "SHIFT_HP"), 5, -1, &iWritten), ZEV_BAD_ARGUMENT);
    CHECK_OK(a_pDevice, zev_signal_get(Signal(a_pDevice, "AUD_CNTRL0", "SHIFT_HP"), 0, &udwSignal));
    CHECK(udwSignal == 0); /* a refused mode stored nothing, not even for later */
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "SHIFT_HP"), 3, ZEV_WRITE_DEFERRED, &iWritten));
    CHECK(iWritten == 0);
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 5, ZEV_WRITE_IMMEDIATE, &iWritten));
    CHECK(iWritten == 1 && Peek(a_pDevice, 0x0E00) == (5u | (3u << 9)));
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, 0x18, 0x8000));
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "PRI_STATUSREG1", "SR1_B_REC_END"), 1, 0, NULL));
    CHECK(Peek(a_pDevice, 0x18) == 0x8000); /* prepared, its 1 cleared no bit of the device */

    for (i = 0; i < 2; ++i)
    {
        CHECK_OK(a_pDevice, i == 0 ? zev_lock_all(a_pDevice) : zev_unlock_all(a_pDevice));
        CHECK_OK(a_pDevice, zev_signal_lock_state(pTrigSel, &udwSignal));
        CHECK_OK(a_pDevice, zev_register_lock_state(pRam, &udwRam));
        CHECK(udwSignal == (i == 0 ? ZEV_LOCKED : ZEV_UNLOCKED) && udwRam == udwSignal);
    }

    CHECK_OK(a_pDevice, zev_memory_set(pRam, 10, 2, audwWords, NULL));
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, 0x5000 + 11, 0x99));
    CHECK_OK(a_pDevice, zev_memory_get(pRam, 10, 2, 0, audwBack, &iRead));
    CHECK(iRead == 0 && audwBack[0] == 0x11 && audwBack[1] == 0x22 && audwBack[2] == 0xDEADBEEFu);
    CHECK_OK(a_pDevice, zev_memory_get(pRam, 10, 2, 1, audwBack, &iRead));
    CHECK(iRead == 1 && audwBack[1] == 0x99 && audwBack[2] == 0xDEADBEEFu);
}

/* The calls that give out a number or a handle, each with a null pointer for it. */
static zev_status NullOut(zev_device* a_pDevice, zev_register* a_pRegister, zev_signal* a_pSignal, uint32_t a_udwWhich)
{
    switch (a_udwWhich)
    {
    case 0: return zev_register_describe(a_pRegister, NULL);
    case 1: return zev_signal_get(a_pSignal, 0, NULL);
    case 2: return zev_report_count(a_pDevice, NULL);
    case 3: return zev_signal_find(a_pRegister, "TRIG_SEL", NULL);
    case 4: return zev_signal_lock_state(a_pSignal, NULL);
    case 5: return zev_register_count(a_pDevice, NULL);
    default: return zev_sim_peek(a_pDevice, 0, NULL);
    }
}

/* Every null pointer a call takes, one at a time: ZEV_BAD_ARGUMENT before anything is done (a
 * look-up's handle NULL, a written flag 0, no word changed). */
static void TestNulls(zev_device* a_pDevice)
{
    zev_signal *pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"), *pAt = pTrigSel, *pFind = pTrigSel;
    zev_register *pRegister = Register(a_pDevice, "AUD_CNTRL0"), *pRam = Register(a_pDevice, "ENT_H1");
    const uint32_t udwWord = Peek(a_pDevice, 0x0E00);
    int32_t iWritten = -1;
    uint32_t i;
    const zev_status aiSeen[] = {
        zev_lock(a_pDevice, NULL, "ALL"), zev_lock(a_pDevice, "AUD_CNTRL0", NULL),
        zev_logging(a_pDevice, NULL, "ALL", 1), zev_logging(a_pDevice, "AUD_CNTRL0", NULL, 1),
        zev_service_read(a_pDevice, "AUD_CNTRL0", NULL, 0, 1, NULL, 0, NULL, NULL),
        zev_service_write(a_pDevice, NULL, "", "1/d", 0), zev_service_write(a_pDevice, "AUD_CNTRL0", NULL, "1/d", 0),
        zev_service_write(a_pDevice, "AUD_CNTRL0", "", NULL, 0),
        zev_value_by_string(a_pDevice, NULL, "TRIG_SEL", NULL, 0, NULL),
        zev_value_by_string(a_pDevice, "AUD_CNTRL0", NULL, NULL, 0, NULL), zev_register_describe(pRegister, NULL),
        zev_register_lock_state(pRegister, NULL), zev_register_set_to_default(NULL, &iWritten),
        zev_signal_at(NULL, 0, &pAt), zev_signal_find(NULL, "TRIG_SEL", &pFind), zev_signal_describe(pTrigSel, NULL),
        zev_signal_enumerator_value(pTrigSel, "MARKER_SIG_1", NULL), zev_signal_lock_state(pTrigSel, NULL),
        zev_signal_get(pTrigSel, 0, NULL), zev_create_simulated(NULL)};

    for (i = 0; i < sizeof aiSeen / sizeof aiSeen[0]; ++i)
        CheckRow(i, aiSeen[i], ZEV_BAD_ARGUMENT, __LINE__);
    CHECK(pAt == NULL && pFind == NULL && iWritten == 0 && Peek(a_pDevice, 0x0E00) == udwWord);
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, NULL, "", 0, 1, NULL, 0, NULL, NULL), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "a name is a null pointer");
    CHECK_STATUS(a_pDevice, zev_memory_get(pRam, 0, 1, 1, NULL, NULL), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "the words are a null pointer");
    /* Every null out pointer on a good handle leaves why, not the call before's text. */
    for (i = 0; i < 7; ++i)
    {
        CHECK_STATUS(a_pDevice, zev_memory_get(pRam, 0, 1, 1, NULL, NULL), ZEV_BAD_ARGUMENT);
        CHECK_STATUS(a_pDevice, NullOut(a_pDevice, pRegister, pTrigSel, i), ZEV_BAD_ARGUMENT);
        CheckText(LastError(a_pDevice), "an out pointer is a null pointer", __FILE__, __LINE__, "null out pointer");
    }
    /* The register's name is looked up before the handle is asked for. */
    CHECK_STATUS(a_pDevice, zev_signal_lookup(a_pDevice, "NOPE", "TRIG_SEL", NULL), ZEV_NOT_FOUND);
    CHECK_OK(NULL, zev_destroy(NULL));
}

int main(void)
{
    zev_device* pDevice = NULL;
    char acText[8];
    CHECK(zev_abi_version() == ZEV_ABI_VERSION);
    CHECK_OK(NULL, zev_create_simulated(&pDevice));
    if (pDevice == NULL)
        return Finish("capi_sim");
    CHECK_STATUS(pDevice, zev_fetch_text(pDevice, acText, sizeof acText, NULL), ZEV_NOT_FOUND); /* nothing kept yet */
    TestTexts(pDevice);
    TestCatalogue(pDevice);
    TestNamesAndRefusals(pDevice);
    TestTypedLocksAndWords(pDevice);
    TestNulls(pDevice);
    CHECK_OK(NULL, zev_destroy(pDevice));
    return Finish("capi_sim");
}
