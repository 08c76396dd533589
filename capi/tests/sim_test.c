/* What only the C door has, on the simulated ZEV, compiled as C: its ABI version, texts in
 * the caller's buffers, lines in and out, the catalogue's handles, the typed set's own rules,
 * the calls no other door has, null pointers. What every door answers alike is the
 * conformance cases' (through this library by ctypes and by C#); callbacks, faults and the
 * kept text are capi_callback_host's. zev_sim_peek shows what reached the device. */
#include "check.h"

static uint32_t Peek(zev_device* a_pDevice, uint32_t a_udwAddress)
{
    uint32_t udwWord = 0xDEADBEEFu;
    CHECK_OK(a_pDevice, zev_sim_peek(a_pDevice, a_udwAddress, &udwWord));
    return udwWord;
}

/* A buffer exactly big enough, one byte short (an empty string, the size it needs, a text
 * saying so) and none (the size alone); the last error read into a short buffer stays the
 * last error; lines in ("\r\n" ends one too, the last needs no end, "" is no value) and out,
 * joined by '\n' with their count. */
static void TestTexts(zev_device* a_pDevice)
{
    char acText[64] = "untouched";
    uint32_t udwNeeded = 0, udwCount = 0;

    CHECK_STATUS(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_NAME, acText, 3, &udwNeeded),
                 ZEV_BUFFER_TOO_SMALL);
    CHECK(acText[0] == '\0' && udwNeeded == 4);
    CHECK_TEXT(LastError(a_pDevice), "the text needs 4 bytes, the buffer holds 3");
    CHECK_OK(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_NAME, acText, 4, &udwNeeded));
    CHECK_TEXT(acText, "ZEV");
    CHECK_STATUS(a_pDevice, zev_device_identity(a_pDevice, ZEV_IDENTITY_XML_VERSION, NULL, 0, &udwNeeded),
                 ZEV_BUFFER_TOO_SMALL);
    CHECK(udwNeeded == sizeof "PD_ZEV.xml@@/main/kem_main/1");
    CHECK_STATUS(a_pDevice, zev_device_identity(a_pDevice, 3, acText, sizeof acText, NULL), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(a_pDevice, zev_last_error(a_pDevice, acText, 5, &udwNeeded), ZEV_BUFFER_TOO_SMALL);
    CHECK(udwNeeded == sizeof "no identity text 3");
    CHECK_TEXT(LastError(a_pDevice), "no identity text 3");

    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "ENT_H1", "", "1/d\r\n2/h\n30/d", 2));
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "", 0), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), "Invalid value(s) submitted: ");
    CHECK_OK(a_pDevice, zev_service_read(a_pDevice, "ENT_H1", "", 1, 4, acText, sizeof acText, &udwNeeded, &udwCount));
    CHECK_TEXT(acText, "00000000/h\n00000001/h\n00000002/h\n0000001E/h");
    CHECK(udwCount == 4 && udwNeeded == 44);
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
        CHECK_OK(a_pDevice, zev_register_find(a_pDevice, s_apcRegisters[i], &pRegister));
        CHECK_OK(a_pDevice, zev_register_describe(pRegister, &Info));
        CHECK(Info.access == s_audwAccess[i] && Info.status == (i == 0));
    }
    CHECK(Info.address == 0x10000 && Info.width == 32 && Info.words == 49152 && Info.signal_count == 0);

    CHECK_OK(a_pDevice, zev_register_find(a_pDevice, "AUD_CNTRL0", &pRegister));
    CHECK_OK(a_pDevice, zev_register_describe(pRegister, &Info));
    CHECK(Info.address == 0x0E00 && Info.width == 24 && Info.words == 1 && Info.signal_count == 5);
    CHECK_OK(a_pDevice, zev_signal_at(pRegister, 1, &pSignal));
    CHECK_OK(a_pDevice, zev_signal_name(pSignal, acName, sizeof acName, NULL));
    CHECK_OK(a_pDevice, zev_signal_describe(pSignal, &SignalInfo));
    CHECK(strcmp(acName, "MULT_HP") == 0 && SignalInfo.low == 3 && SignalInfo.width == 6 && SignalInfo.max_value == 63);
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

/* The typed set's own rules: a mode the library does not know defers, a value beyond the field
 * is refused before the device (nothing written). zev_lock_all and zev_unlock_all, memories
 * too. Exactly count words reach the caller's buffer, read from the device only when asked.
 * Null pointers: ZEV_BAD_ARGUMENT before anything is done, the last error saying which. */
static void TestTypedLocksWordsAndNulls(zev_device* a_pDevice)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    zev_register* pRam = NULL;
    uint32_t audwWords[2] = {0x11, 0x22}, audwBack[3] = {0, 0, 0xDEADBEEFu}, udwSignal = 9, udwRam = 9;
    int32_t iWritten = -1, iRead = -1;

    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "SHIFT_HP"), 3, 9, &iWritten));
    CHECK(iWritten == 0);
    iWritten = -1;
    CHECK_STATUS(a_pDevice, zev_signal_set(pTrigSel, 8, ZEV_WRITE_IMMEDIATE, &iWritten), ZEV_BAD_ARGUMENT);
    CHECK(iWritten == 0 && Peek(a_pDevice, 0x0E00) == 0);
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 5, ZEV_WRITE_IMMEDIATE, &iWritten));
    CHECK(iWritten == 1 && Peek(a_pDevice, 0x0E00) == (5u | (3u << 9)));

    CHECK_OK(a_pDevice, zev_register_find(a_pDevice, "DET_APD_SSRAM", &pRam));
    CHECK_OK(a_pDevice, zev_lock_all(a_pDevice));
    CHECK_OK(a_pDevice, zev_signal_lock_state(pTrigSel, &udwSignal));
    CHECK_OK(a_pDevice, zev_register_lock_state(pRam, &udwRam));
    CHECK(udwSignal == ZEV_LOCKED && udwRam == ZEV_LOCKED);
    CHECK_OK(a_pDevice, zev_unlock_all(a_pDevice));
    CHECK_OK(a_pDevice, zev_signal_lock_state(pTrigSel, &udwSignal));
    CHECK_OK(a_pDevice, zev_register_lock_state(pRam, &udwRam));
    CHECK(udwSignal == ZEV_UNLOCKED && udwRam == ZEV_UNLOCKED);

    CHECK_OK(a_pDevice, zev_memory_set(pRam, 10, 2, audwWords, NULL));
    CHECK_OK(a_pDevice, zev_sim_poke(a_pDevice, 0x5000 + 11, 0x99));
    CHECK_OK(a_pDevice, zev_memory_get(pRam, 10, 2, 0, audwBack, &iRead));
    CHECK(iRead == 0 && audwBack[0] == 0x11 && audwBack[1] == 0x22 && audwBack[2] == 0xDEADBEEFu);
    CHECK_OK(a_pDevice, zev_memory_get(pRam, 10, 2, 1, audwBack, &iRead));
    CHECK(iRead == 1 && audwBack[1] == 0x99 && audwBack[2] == 0xDEADBEEFu);
    audwBack[1] = 0xDEADBEEFu;
    CHECK_OK(a_pDevice, zev_register_read(pRam, 11, 1, audwBack));
    CHECK(audwBack[0] == 0x99 && audwBack[1] == 0xDEADBEEFu);

    CHECK_STATUS(a_pDevice, zev_memory_get(pRam, 0, 1, 1, NULL, NULL), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "the words are a null pointer");
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, NULL, "", 0, 1, NULL, 0, NULL, NULL), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "a name is a null pointer");
    CHECK_STATUS(a_pDevice, zev_signal_get(pTrigSel, 0, NULL), ZEV_BAD_ARGUMENT);
    CHECK_STATUS(NULL, zev_create_simulated(NULL), ZEV_BAD_ARGUMENT);
    CHECK_OK(NULL, zev_destroy(NULL));
}

int main(void)
{
    zev_device* pDevice = NULL;
    CHECK(zev_abi_version() == ZEV_ABI_VERSION);
    CHECK_OK(NULL, zev_create_simulated(&pDevice));
    if (pDevice == NULL)
        return Finish("capi_sim");
    TestTexts(pDevice);
    TestCatalogue(pDevice);
    TestTypedLocksWordsAndNulls(pDevice);
    CHECK_OK(NULL, zev_destroy(pDevice));
    return Finish("capi_sim");
}
