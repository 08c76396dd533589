/* The C interface on a host made of C callbacks that records every call in order: which
 * bus transfers happen, with what words, what the status words look like when they go out,
 * what is reported, and what a failing callback turns into. Compiled as C. */
#include "check.h"

#include <stdarg.h>

#define LOG_LINES 1024
#define STATUS_ADDRESS 24u
#define DATA_ADDRESS 30u
#define READY 0x10000u

/* A bus with a word store and the device's read-back path: after the ready bit is reset,
 * the next read elsewhere latches that word into the data address, and the ready bit shows
 * at a given status poll. */
typedef struct SHost
{
    char m_aacLog[LOG_LINES][96];
    int m_iCount;
    int m_iDropped;
    uint32_t m_audwWords[0x20000];
    int m_bArmed;
    uint32_t m_udwReadyAfterPolls; /* 0: never */
    uint32_t m_udwPolls;
    int32_t m_iFailWrite; /* returned by the next write, then 0 */
    int32_t m_iFailRead;
    int32_t m_iFailWait;
    int m_iStopAtAsk; /* stop_waiting answers 1 at this ask (counting from 1); 0: never */
    int m_iAsks;
    int m_bQuietPolls; /* polls and asks not logged */
    zev_device* m_pDevice; /* the write and report callbacks try to destroy it, when set */
    zev_status m_iDestroyStatus;
} SHost;

static SHost g_First, g_Second;

static void Log(SHost* a_pHost, const char* a_pcFormat, ...)
{
    va_list Arguments;
    if (a_pHost->m_iCount == LOG_LINES)
    {
        ++a_pHost->m_iDropped;
        return;
    }
    va_start(Arguments, a_pcFormat);
    vsnprintf(a_pHost->m_aacLog[a_pHost->m_iCount++], sizeof a_pHost->m_aacLog[0], a_pcFormat, Arguments);
    va_end(Arguments);
}

/* The bytes that move: a 2- or 3-byte transfer shows its word's low bytes only. */
static void Words(char* a_pcText, size_t a_uSize, const uint32_t* a_pudwWords, uint32_t a_udwByteCount)
{
    uint32_t i, udwWords = (a_udwByteCount + 3) / 4;
    size_t uUsed = 0;
    a_pcText[0] = '\0';
    for (i = 0; i < udwWords && i < 4 && uUsed < a_uSize; ++i)
    {
        uint32_t udwWord = a_pudwWords[i];
        if (a_udwByteCount < 4)
            udwWord &= (1u << (8 * a_udwByteCount)) - 1u;
        uUsed += (size_t)snprintf(a_pcText + uUsed, a_uSize - uUsed, " 0x%08X", udwWord);
    }
}

static int32_t ZEV_CALL Write(void* a_pContext, uint32_t a_udwAddress, const uint32_t* a_pudwWords,
                              uint32_t a_udwByteCount)
{
    SHost* pHost = (SHost*)a_pContext;
    char acWords[64];
    uint32_t i;
    int32_t iFail = pHost->m_iFailWrite;
    Words(acWords, sizeof acWords, a_pudwWords, a_udwByteCount);
    Log(pHost, "W 0x%05X %u%s", a_udwAddress, a_udwByteCount, acWords);
    pHost->m_iFailWrite = 0;
    if (pHost->m_pDevice != NULL)
        pHost->m_iDestroyStatus = zev_destroy(pHost->m_pDevice);
    if (iFail != 0)
        return iFail;
    if (a_udwAddress == STATUS_ADDRESS && (a_pudwWords[0] & READY) != 0)
    {
        pHost->m_bArmed = 1;
        pHost->m_udwPolls = 0;
        return 0;
    }
    for (i = 0; i < (a_udwByteCount + 3) / 4; ++i)
        pHost->m_audwWords[(a_udwAddress + i) & 0x1FFFFu] = a_pudwWords[i];
    return 0;
}

static int32_t ZEV_CALL Read(void* a_pContext, uint32_t a_udwAddress, uint32_t* a_pudwWords, uint32_t a_udwByteCount)
{
    SHost* pHost = (SHost*)a_pContext;
    char acWords[64];
    uint32_t i;
    const int bPoll = a_udwAddress == STATUS_ADDRESS;
    if (pHost->m_iFailRead != 0)
    {
        const int32_t iFail = pHost->m_iFailRead;
        pHost->m_iFailRead = 0;
        Log(pHost, "R 0x%05X %u failed", a_udwAddress, a_udwByteCount);
        return iFail;
    }
    if (bPoll)
    {
        ++pHost->m_udwPolls;
        a_pudwWords[0] = pHost->m_audwWords[STATUS_ADDRESS];
        if (pHost->m_udwReadyAfterPolls != 0 && pHost->m_udwPolls >= pHost->m_udwReadyAfterPolls)
            a_pudwWords[0] |= READY;
    }
    else if (pHost->m_bArmed && a_udwAddress != DATA_ADDRESS)
    {
        /* The start of a read-back: the word moves to the data address; the read itself gives 0. */
        pHost->m_audwWords[DATA_ADDRESS] = pHost->m_audwWords[a_udwAddress & 0x1FFFFu];
        pHost->m_bArmed = 0;
        a_pudwWords[0] = 0;
    }
    else
    {
        for (i = 0; i < (a_udwByteCount + 3) / 4; ++i)
            a_pudwWords[i] = pHost->m_audwWords[(a_udwAddress + i) & 0x1FFFFu];
    }
    if (!(bPoll && pHost->m_bQuietPolls))
    {
        Words(acWords, sizeof acWords, a_pudwWords, a_udwByteCount);
        Log(pHost, "R 0x%05X %u ->%s", a_udwAddress, a_udwByteCount, acWords);
    }
    return 0;
}

static int32_t ZEV_CALL Wait(void* a_pContext, uint32_t a_udwDuration)
{
    SHost* pHost = (SHost*)a_pContext;
    const int32_t iFail = pHost->m_iFailWait;
    pHost->m_iFailWait = 0;
    if (!(a_udwDuration == 8 && pHost->m_bQuietPolls))
        Log(pHost, "wait %u", a_udwDuration);
    return iFail;
}

static int32_t ZEV_CALL PrepareSet(void* a_pContext, uint32_t* a_pudwWord)
{
    Log((SHost*)a_pContext, "prepare_set 0x%08X", *a_pudwWord);
    *a_pudwWord |= 0x40000000u; /* the host's own marker: the word must go out as the host left it */
    return 0;
}

static int32_t ZEV_CALL PrepareReset(void* a_pContext, uint32_t* a_pudwWord)
{
    Log((SHost*)a_pContext, "prepare_reset 0x%08X", *a_pudwWord);
    *a_pudwWord |= 0x20000000u;
    return 0;
}

static int32_t ZEV_CALL PrepareResetAll(void* a_pContext, uint32_t* a_pudwWord)
{
    Log((SHost*)a_pContext, "prepare_reset_all 0x%08X", *a_pudwWord);
    return 0;
}

static void ZEV_CALL ReportError(void* a_pContext, const char* a_pcFile, int32_t a_iLine, const char* a_pcFunction,
                                 const char* a_pcMessage)
{
    SHost* pHost = (SHost*)a_pContext;
    (void)a_pcFile;
    (void)a_iLine;
    Log(pHost, "E %s: %s", a_pcFunction, a_pcMessage);
    if (pHost->m_pDevice != NULL)
        pHost->m_iDestroyStatus = zev_destroy(pHost->m_pDevice);
}

static void ZEV_CALL ReportAccessDenied(void* a_pContext, const char* a_pcFile, int32_t a_iLine,
                                        const char* a_pcFunction, const char* a_pcMessage)
{
    (void)a_pcFile;
    (void)a_iLine;
    Log((SHost*)a_pContext, "D %s: %s", a_pcFunction, a_pcMessage);
}

static int32_t ZEV_CALL StopWaiting(void* a_pContext)
{
    SHost* pHost = (SHost*)a_pContext;
    ++pHost->m_iAsks;
    if (!pHost->m_bQuietPolls)
        Log(pHost, "stop?");
    return pHost->m_iStopAtAsk != 0 && pHost->m_iAsks == pHost->m_iStopAtAsk;
}

static zev_host Host(SHost* a_pHost)
{
    zev_host Result;
    Result.context = a_pHost;
    Result.write = Write;
    Result.read = Read;
    Result.wait = Wait;
    Result.prepare_set = PrepareSet;
    Result.prepare_reset = PrepareReset;
    Result.prepare_reset_all = PrepareResetAll;
    Result.report_error = ReportError;
    Result.report_access_denied = ReportAccessDenied;
    Result.stop_waiting = StopWaiting;
    a_pHost->m_udwReadyAfterPolls = 1;
    return Result;
}

static void Clear(SHost* a_pHost)
{
    a_pHost->m_iCount = 0;
    a_pHost->m_iDropped = 0;
    a_pHost->m_iAsks = 0;
}

/* The recorded calls are exactly these, in this order. */
static void ExpectLog(const SHost* a_pHost, int a_iLine, const char* const* a_ppcExpected, int a_iExpected)
{
    int i, bSame = a_pHost->m_iCount == a_iExpected;
    for (i = 0; bSame && i < a_iExpected; ++i)
        bSame = strcmp(a_pHost->m_aacLog[i], a_ppcExpected[i]) == 0;
    ++g_iChecks;
    if (bSame)
        return;
    ++g_iFailures;
    fprintf(stderr, "%s:%d: the host saw %d calls:\n", __FILE__, a_iLine, a_pHost->m_iCount);
    for (i = 0; i < a_pHost->m_iCount; ++i)
        fprintf(stderr, "    %s\n", a_pHost->m_aacLog[i]);
    fprintf(stderr, "  expected %d:\n", a_iExpected);
    for (i = 0; i < a_iExpected; ++i)
        fprintf(stderr, "    %s\n", a_ppcExpected[i]);
}

#define EXPECT_LOG(a_pHost, ...)                                                                  \
    do                                                                                            \
    {                                                                                             \
        static const char* const s_apcExpected[] = {__VA_ARGS__};                                 \
        ExpectLog(a_pHost, __LINE__, s_apcExpected, (int)(sizeof s_apcExpected / sizeof s_apcExpected[0])); \
    } while (0)

static int CountKind(const SHost* a_pHost, char a_cKind)
{
    int i, iCount = 0;
    for (i = 0; i < a_pHost->m_iCount; ++i)
        if (a_pHost->m_aacLog[i][0] == a_cKind && a_pHost->m_aacLog[i][1] == ' ')
            ++iCount;
    return iCount;
}

static zev_signal* Signal(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal)
{
    zev_signal* pSignal = NULL;
    CHECK_OK(a_pDevice, zev_signal_lookup(a_pDevice, a_pcRegister, a_pcSignal, &pSignal));
    return pSignal;
}

static void TestTypedTransfers(zev_device* a_pDevice, SHost* a_pHost)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    uint32_t udwValue = 0;
    int32_t iWritten = -1;

    /* One write of the register's three bytes. */
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 3, ZEV_WRITE_IMMEDIATE, &iWritten));
    CHECK_NUMBER(iWritten, 1);
    EXPECT_LOG(a_pHost, "W 0x00E00 3 0x00000003");

    /* Deferred sets write nothing; the writing set sends every collected field at once. */
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "MULT_HP"), 5, ZEV_WRITE_DEFERRED, NULL));
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "SHIFT_DE"), 2, ZEV_WRITE_DEFERRED, NULL));
    CHECK_NUMBER(a_pHost->m_iCount, 0);
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 1, ZEV_WRITE_IF_CHANGED, &iWritten));
    CHECK_NUMBER(iWritten, 1);
    EXPECT_LOG(a_pHost, "W 0x00E00 3 0x00080029");

    /* The read-back path: reset the ready bit, start, poll, wait, fetch. */
    a_pHost->m_audwWords[0x0E00] = 0x00000006;
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_get(pTrigSel, 1, &udwValue));
    CHECK_NUMBER(udwValue, 6);
    EXPECT_LOG(a_pHost, "W 0x00018 4 0x00010000", "R 0x00E00 4 -> 0x00000000", "wait 8", "R 0x00018 4 -> 0x00010000",
               "wait 50", "R 0x0001E 4 -> 0x00000006");

    /* Ready at the third poll: the host is asked after each poll that did not show it. */
    a_pHost->m_udwReadyAfterPolls = 3;
    a_pHost->m_audwWords[0x0E00] = 0x00000002;
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_get(pTrigSel, 1, &udwValue));
    CHECK_NUMBER(udwValue, 2);
    EXPECT_LOG(a_pHost, "W 0x00018 4 0x00010000", "R 0x00E00 4 -> 0x00000000", "wait 8", "R 0x00018 4 -> 0x00000000",
               "stop?", "wait 8", "R 0x00018 4 -> 0x00000000", "stop?", "wait 8", "R 0x00018 4 -> 0x00010000", "wait 50",
               "R 0x0001E 4 -> 0x00000002");

    /* The host stops the waiting at its first answer: the word is fetched as if ready. */
    a_pHost->m_udwReadyAfterPolls = 0;
    a_pHost->m_iStopAtAsk = 1;
    a_pHost->m_audwWords[0x0E00] = 0x00000004;
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_get(pTrigSel, 1, &udwValue));
    CHECK_NUMBER(udwValue, 4);
    EXPECT_LOG(a_pHost, "W 0x00018 4 0x00010000", "R 0x00E00 4 -> 0x00000000", "wait 8", "R 0x00018 4 -> 0x00000000",
               "stop?", "wait 50", "R 0x0001E 4 -> 0x00000004");

    /* Never ready, never stopped: 10000 polls, the word becomes all ones, reported and refused. */
    a_pHost->m_iStopAtAsk = 0;
    a_pHost->m_bQuietPolls = 1;
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_signal_get(pTrigSel, 1, &udwValue), ZEV_REFUSED);
    CHECK_NUMBER(udwValue, 7);
    CHECK_NUMBER(a_pHost->m_udwPolls, 10000);
    CHECK_NUMBER(a_pHost->m_iAsks, 9999);
    EXPECT_LOG(a_pHost, "W 0x00018 4 0x00010000", "R 0x00E00 4 -> 0x00000000", "wait 50",
               "E CSequentialRead_ParallelWrite::Read: ,HW device not ready!");
    a_pHost->m_bQuietPolls = 0;
    a_pHost->m_udwReadyAfterPolls = 1;

    /* A direct read: one transfer. */
    a_pHost->m_audwWords[STATUS_ADDRESS] = 0x00008000;
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_get(Signal(a_pDevice, "PRI_STATUSREG1", "SR1_B_REC_END"), 1, &udwValue));
    CHECK_NUMBER(udwValue, 1);
    EXPECT_LOG(a_pHost, "R 0x00018 4 -> 0x00018000");
    a_pHost->m_audwWords[STATUS_ADDRESS] = 0;
}

static void TestStatusWords(zev_device* a_pDevice, SHost* a_pHost)
{
    zev_signal* pRecEnd = Signal(a_pDevice, "PRI_STATUSREG1", "SR1_B_REC_END");
    zev_signal* pOverflow = Signal(a_pDevice, "PRI_STATUSREG1", "COR_OVERFLOW_TH_MAX");

    /* Only the signal's bit; the host prepares it, and it goes out as the host left it. */
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_set(pRecEnd, 1, ZEV_WRITE_IMMEDIATE, NULL));
    EXPECT_LOG(a_pHost, "prepare_set 0x00008000", "W 0x00018 4 0x40008000");
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_set(pOverflow, 0, ZEV_WRITE_DEFERRED, NULL));
    CHECK_OK(a_pDevice, zev_signal_set(pRecEnd, 0, ZEV_WRITE_IMMEDIATE, NULL));
    EXPECT_LOG(a_pHost, "prepare_reset 0x00008001", "W 0x00018 4 0x20008001");
}

static void TestFailingCallbacks(zev_device* a_pDevice, SHost* a_pHost)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    uint32_t udwValue = 0;
    char acTexts[64];

    /* A failing write ends the call in ZEV_HOST_FAULT with what failed and where. (The
     * register still holds the all-ones word of the read that was never ready.) */
    a_pHost->m_iFailWrite = 7;
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_signal_set(pTrigSel, 2, ZEV_WRITE_IMMEDIATE, NULL), ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the host's write callback returned 7 (address 0x00E00, 3 bytes)");
    EXPECT_LOG(a_pHost, "W 0x00E00 3 0x00FFFFFA");

    /* So does a failing direct read... */
    a_pHost->m_iFailRead = -2;
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_signal_get(Signal(a_pDevice, "PRI_STATUSREG1", "SR1_B_REC_END"), 1, &udwValue),
                 ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the host's read callback returned -2 (address 0x00018, 4 bytes)");
    EXPECT_LOG(a_pHost, "R 0x00018 4 failed");
    a_pHost->m_iFailRead = 3;
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, "PRI_SERVAL", "", 0, 1, acTexts, sizeof acTexts, NULL, NULL),
                 ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the host's read callback returned 3 (address 0x0001E, 4 bytes)");

    /* ...while inside the read-back path the library catches it, stops and reports: refused. */
    a_pHost->m_iFailRead = 4;
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_signal_get(pTrigSel, 1, &udwValue), ZEV_REFUSED);
    CHECK_TEXT(LastError(a_pDevice), ",Unknown error!");
    CHECK_NUMBER(udwValue, 7);
    EXPECT_LOG(a_pHost, "W 0x00018 4 0x00010000", "R 0x00E00 4 failed",
               "E CSequentialRead_ParallelWrite::Read: ,Unknown error!");
    a_pHost->m_iFailWait = 1;
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_signal_get(pTrigSel, 1, &udwValue), ZEV_REFUSED);
    EXPECT_LOG(a_pHost, "W 0x00018 4 0x00010000", "R 0x00E00 4 -> 0x00000000", "wait 8",
               "E CSequentialRead_ParallelWrite::Read: ,Unknown error!");
}

static void TestDeviceOperations(zev_device* a_pDevice, SHost* a_pHost)
{
    zev_register* pApd = NULL;
    uint32_t audwWords[3] = {0x111, 0x222, 0x333}, audwBack[2] = {0, 0};
    int32_t iDone = -1;

    /* Defaults: one write per register with write access, in list order, AUD_CNTRL0 first;
     * the five read-only registers report their refused writes; nothing is read. Fresh
     * memories are zero already. */
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_set_to_default(a_pDevice));
    CHECK_NUMBER(a_pHost->m_iDropped, 0);
    CHECK_NUMBER(CountKind(a_pHost, 'W'), 424);
    CHECK_NUMBER(CountKind(a_pHost, 'D'), 5);
    CHECK_NUMBER(CountKind(a_pHost, 'R'), 0);
    CHECK_TEXT(a_pHost->m_aacLog[0], "W 0x00E00 3 0x00000000");

    /* A memory's block: one transfer at its address plus start. */
    CHECK_OK(a_pDevice, zev_register_find(a_pDevice, "DET_APD_SSRAM", &pApd));
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_memory_set(pApd, 10, 3, audwWords, &iDone));
    CHECK_NUMBER(iDone, 1);
    EXPECT_LOG(a_pHost, "W 0x0500A 12 0x00000111 0x00000222 0x00000333");
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_memory_get(pApd, 11, 2, 1, audwBack, &iDone));
    CHECK_NUMBER(audwBack[1], 0x333);
    EXPECT_LOG(a_pHost, "R 0x0500B 8 -> 0x00000222 0x00000333");
    /* A range beyond the memory is refused before the device: the host sees nothing. */
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_memory_get(pApd, 4096, 1, 1, audwBack, &iDone), ZEV_BAD_ARGUMENT);
    CHECK_NUMBER(a_pHost->m_iCount, 0);

    /* A refused service write: reported, nothing transferred. */
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "64/d", 0), ZEV_REFUSED);
    EXPECT_LOG(a_pHost, "E CSignalBase::ServiceWrite: Value limit exceeded: 64/d,");

    /* Two service-written signals of one register come back with one write; every memory
     * is written whole, as the library unlocks a memory. */
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "MULT_HP"), 3, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "9/d", 0));
    CHECK_OK(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "SHIFT_HP", "7/d", 0));
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_unlock_all(a_pDevice));
    EXPECT_LOG(a_pHost, "W 0x00E00 3 0x00000018", "W 0x05000 16384 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x0020D 28 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x00214 28 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x0021B 28 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x00222 28 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x00C80 512 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x06000 4096 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x06400 4096 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x01800 1024 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x10000 196608 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x02000 16384 0x00000000 0x00000000 0x00000000 0x00000000",
               "W 0x04000 16384 0x00000000 0x00000000 0x00000000 0x00000000");

    /* A callback destroying its own device from inside a call, by name or typed, is
     * refused; the device stays. */
    a_pHost->m_pDevice = a_pDevice;
    a_pHost->m_iDestroyStatus = -1;
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "NOPE", "X", "1/d", 0), ZEV_NOT_FOUND);
    CHECK_NUMBER(a_pHost->m_iDestroyStatus, ZEV_BAD_ARGUMENT);
    a_pHost->m_iDestroyStatus = -1;
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"), 2, ZEV_WRITE_IMMEDIATE, NULL));
    a_pHost->m_pDevice = NULL;
    CHECK_NUMBER(a_pHost->m_iDestroyStatus, ZEV_BAD_ARGUMENT);
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"), 1, ZEV_WRITE_IMMEDIATE, NULL));
}

/* Two devices on two hosts: each host sees its own device's traffic and reports only. */
static void TestTwoHosts(zev_device* a_pFirst)
{
    zev_host Second = Host(&g_Second);
    zev_device* pSecond = NULL;
    Second.prepare_set = NULL;
    Second.prepare_reset = NULL;
    Second.prepare_reset_all = NULL;
    CHECK_OK(NULL, zev_create(&Second, &pSecond));
    if (pSecond == NULL)
        return;
    Clear(&g_First);
    Clear(&g_Second);
    CHECK_STATUS(pSecond, zev_service_write(pSecond, "AUD_CNTRL0", "NOPE", "1/d", 0), ZEV_NOT_FOUND);
    CHECK_STATUS(a_pFirst, zev_service_write(a_pFirst, "AUD_CNTRL0", "MULT_DE", "99/d", 0), ZEV_REFUSED);
    /* Without preparation callbacks a status word goes out as the library made it. */
    CHECK_OK(pSecond, zev_signal_set(Signal(pSecond, "PRI_STATUSREG1", "SR1_B_REC_END"), 1, ZEV_WRITE_IMMEDIATE, NULL));
    EXPECT_LOG(&g_Second, "E CRegisterBase::ServiceWrite: Invalid signal submitted: NOPE", "W 0x00018 4 0x00008000");
    EXPECT_LOG(&g_First, "E CSignalBase::ServiceWrite: Value limit exceeded: 99/d,");
    CHECK_OK(NULL, zev_destroy(pSecond));
    /* The first device still reports to its host after the second is gone. */
    Clear(&g_First);
    CHECK_STATUS(a_pFirst, zev_service_read(a_pFirst, "NOPE", "", 0, 1, NULL, 0, NULL, NULL), ZEV_NOT_FOUND);
    EXPECT_LOG(&g_First, "E CHWDeviceBase::ServiceRead: Invalid register submitted: NOPE");
}

static void TestCreateArguments(void)
{
    zev_host Incomplete = Host(&g_Second);
    zev_device* pDevice = (zev_device*)&Incomplete;
    Incomplete.wait = NULL;
    CHECK_STATUS(NULL, zev_create(&Incomplete, &pDevice), ZEV_BAD_ARGUMENT);
    CHECK(pDevice == NULL);
    CHECK_STATUS(NULL, zev_create(NULL, &pDevice), ZEV_BAD_ARGUMENT);
}

int main(void)
{
    zev_host First = Host(&g_First);
    zev_device* pDevice = NULL;

    CHECK_OK(NULL, zev_create(&First, &pDevice));
    if (pDevice == NULL)
        return Finish("capi_callback_host");
    /* Making the device moves nothing on the bus. */
    CHECK_NUMBER(g_First.m_iCount, 0);
    TestTypedTransfers(pDevice, &g_First);
    TestStatusWords(pDevice, &g_First);
    TestFailingCallbacks(pDevice, &g_First);
    TestDeviceOperations(pDevice, &g_First);
    TestTwoHosts(pDevice);
    TestCreateArguments();
    Clear(&g_First);
    CHECK_OK(NULL, zev_destroy(pDevice));
    /* Destroying it moves nothing either. */
    CHECK_NUMBER(g_First.m_iCount, 0);
    return Finish("capi_callback_host");
}
