/* The C door on a host of C callbacks that records every call in order: what each callback is
 * handed and hands back, failing callbacks, callbacks that call a device, a kept text, two
 * hosts. What the device does with its registers is the conformance cases'. Compiled as C. */
#include "check.h"

#include <stdarg.h>

#define STATUS_ADDRESS 24u
#define DATA_ADDRESS 30u

/* A bus with a word store and the device's read-back path: a read latches its word into the
 * data address, and after a status write the ready bit shows at a given poll. */
typedef struct SHost
{
    char m_acLog[8192];
    uint32_t m_audwWords[0x20000];
    uint32_t m_udwReadyAfterPolls, m_udwPolls; /* 0: never ready */
    int32_t m_iFailWrite, m_iFailRead, m_iFailWait, m_iFailPrepare, m_iFailLog; /* returned once, then 0 */
    int m_iStopAtAsk, m_iAsks; /* stop_waiting answers 1 at that ask, counting from 1; 0: never */
    zev_device *m_pDevice, *m_pOther; /* when set, every callback tries calls on them */
    int m_iInside, m_bLeaked;         /* which callbacks tried (a bit each); whether any call got through */
} SHost;

static SHost g_First, g_Second;

static void Log(SHost* a_pHost, const char* a_pcFormat, ...)
{
    va_list Arguments;
    const size_t uUsed = strlen(a_pHost->m_acLog);
    va_start(Arguments, a_pcFormat);
    vsnprintf(a_pHost->m_acLog + uUsed, sizeof a_pHost->m_acLog - uUsed, a_pcFormat, Arguments);
    va_end(Arguments);
}

/* One transfer: the words that move (of a 2- or 3-byte transfer its word's low bytes only). */
static void Transfer(SHost* a_pHost, const char* a_pcKind, uint32_t a_udwAddress, const uint32_t* a_pudwWords,
                     uint32_t a_udwByteCount)
{
    uint32_t i;
    Log(a_pHost, "%s 0x%05X %u%s", a_pcKind, a_udwAddress, a_udwByteCount, a_pcKind[0] == 'R' ? " ->" : "");
    const uint32_t udwMask = a_udwByteCount < 4 ? (1u << (8 * a_udwByteCount)) - 1u : 0xFFFFFFFFu;
    for (i = 0; i < (a_udwByteCount + 3) / 4 && i < 4; ++i)
        Log(a_pHost, " 0x%08X", a_pudwWords[i] & udwMask);
    Log(a_pHost, "\n");
}

static int32_t Once(int32_t* a_piFail)
{
    const int32_t iFail = *a_piFail;
    *a_piFail = 0;
    return iFail;
}

/* From inside a callback its device can be neither called nor destroyed, no other device
 * destroyed, and no device made. */
static void TryInside(SHost* a_pHost, int a_iWhich)
{
    uint32_t udwCount = 0;
    zev_device* pMade = (zev_device*)a_pHost;
    if (a_pHost->m_pDevice == NULL)
        return;
    a_pHost->m_iInside |= a_iWhich;
    a_pHost->m_bLeaked |= zev_destroy(a_pHost->m_pDevice) != ZEV_BAD_ARGUMENT ||
                          zev_report_count(a_pHost->m_pDevice, &udwCount) != ZEV_BAD_ARGUMENT ||
                          zev_destroy(a_pHost->m_pOther) != ZEV_BAD_ARGUMENT ||
                          zev_create_simulated(&pMade) != ZEV_BAD_ARGUMENT || pMade != NULL;
}

static int32_t ZEV_CALL Write(void* a_pContext, uint32_t a_udwAddress, const uint32_t* a_pudwWords,
                              uint32_t a_udwByteCount)
{
    SHost* pHost = (SHost*)a_pContext;
    uint32_t i;
    Transfer(pHost, "W", a_udwAddress, a_pudwWords, a_udwByteCount);
    TryInside(pHost, 1);
    if (a_udwAddress == STATUS_ADDRESS)
        pHost->m_udwPolls = 0; /* a read-back starts */
    for (i = 0; i < (a_udwByteCount + 3) / 4 && pHost->m_iFailWrite == 0; ++i)
        pHost->m_audwWords[(a_udwAddress + i) & 0x1FFFFu] = a_pudwWords[i];
    return Once(&pHost->m_iFailWrite);
}

static int32_t ZEV_CALL Read(void* a_pContext, uint32_t a_udwAddress, uint32_t* a_pudwWords, uint32_t a_udwByteCount)
{
    SHost* pHost = (SHost*)a_pContext;
    uint32_t i;
    TryInside(pHost, 8);
    if (pHost->m_iFailRead != 0)
    {
        Log(pHost, "R 0x%05X %u failed\n", a_udwAddress, a_udwByteCount);
        return Once(&pHost->m_iFailRead);
    }
    for (i = 0; i < (a_udwByteCount + 3) / 4; ++i)
        a_pudwWords[i] = pHost->m_audwWords[(a_udwAddress + i) & 0x1FFFFu];
    if (a_udwAddress == STATUS_ADDRESS)
        a_pudwWords[0] = ++pHost->m_udwPolls == pHost->m_udwReadyAfterPolls ? 0x10000u : 0;
    else if (a_udwAddress != DATA_ADDRESS)
        pHost->m_audwWords[DATA_ADDRESS] = a_pudwWords[0];
    Transfer(pHost, "R", a_udwAddress, a_pudwWords, a_udwByteCount);
    return 0;
}

static int32_t ZEV_CALL Wait(void* a_pContext, uint32_t a_udwDuration)
{
    Log((SHost*)a_pContext, "wait %u\n", a_udwDuration);
    TryInside((SHost*)a_pContext, 16);
    return Once(&((SHost*)a_pContext)->m_iFailWait);
}

/* Each marks the word in place: it must go out as the host left it. */
static int32_t ZEV_CALL PrepareSet(void* a_pContext, uint32_t* a_pudwWord)
{
    Log((SHost*)a_pContext, "prepare_set 0x%08X\n", *a_pudwWord);
    *a_pudwWord |= 0x40000000u;
    TryInside((SHost*)a_pContext, 32);
    return Once(&((SHost*)a_pContext)->m_iFailPrepare);
}

static int32_t ZEV_CALL PrepareReset(void* a_pContext, uint32_t* a_pudwWord)
{
    Log((SHost*)a_pContext, "prepare_reset 0x%08X\n", *a_pudwWord);
    *a_pudwWord |= 0x20000000u;
    return 0;
}

static void ZEV_CALL ReportError(void* a_pContext, const char* a_pcFile, int32_t a_iLine, const char* a_pcFunction,
                                 const char* a_pcMessage)
{
    (void)a_pcFile;
    (void)a_iLine;
    Log((SHost*)a_pContext, "E %s: %s\n", a_pcFunction, a_pcMessage);
    TryInside((SHost*)a_pContext, 2);
}

static void ZEV_CALL ReportAccessDenied(void* a_pContext, const char* a_pcFile, int32_t a_iLine,
                                        const char* a_pcFunction, const char* a_pcMessage)
{
    (void)a_pcFile;
    (void)a_iLine;
    Log((SHost*)a_pContext, "D %s: %s\n", a_pcFunction, a_pcMessage);
    TryInside((SHost*)a_pContext, 64);
}

static int32_t ZEV_CALL StopWaiting(void* a_pContext)
{
    SHost* pHost = (SHost*)a_pContext;
    Log(pHost, "stop?\n");
    TryInside(pHost, 128);
    return ++pHost->m_iAsks == pHost->m_iStopAtAsk;
}

static int32_t ZEV_CALL LogLine(void* a_pContext, const char* a_pcLine)
{
    Log((SHost*)a_pContext, "log %s\n", a_pcLine);
    TryInside((SHost*)a_pContext, 4);
    return Once(&((SHost*)a_pContext)->m_iFailLog);
}

/* prepare_reset_all stays NULL: no call of the C door reaches it. */
static zev_host Host(SHost* a_pHost)
{
    zev_host Result = {a_pHost, Write, Read, Wait, PrepareSet, PrepareReset, NULL, ReportError, ReportAccessDenied,
                       StopWaiting};
    a_pHost->m_udwReadyAfterPolls = 1;
    return Result;
}

static void Clear(SHost* a_pHost)
{
    a_pHost->m_acLog[0] = '\0';
    a_pHost->m_iAsks = 0;
    a_pHost->m_udwPolls = 0;
}

/* The words each bus callback is handed and hands back (a register's three bytes are
 * TestPreparedWordsAndLog's): the read-back path poll by poll, the host asked between polls
 * and its answer ending the waiting; a memory's block, one transfer each way. A text too long
 * for its buffer is kept: zev_fetch_text hands it over without a transfer, to a buffer big
 * enough only (zev_last_error between them aside), once; any other call drops it. */
static void TestTransfers(zev_device* a_pDevice, SHost* a_pHost)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    zev_register* pRam = NULL;
    uint32_t udwValue = 0, audwWords[3] = {0x111, 0x222, 0x333}, audwBack[2] = {0, 0};
    char acText[64];

    a_pHost->m_udwReadyAfterPolls = 0;
    a_pHost->m_iStopAtAsk = 2;
    a_pHost->m_audwWords[0x0E00] = 6;
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_get(pTrigSel, 1, &udwValue));
    CHECK(udwValue == 6);
    CHECK_TEXT(a_pHost->m_acLog, "W 0x00018 4 0x00010000\nR 0x00E00 4 -> 0x00000006\nwait 8\n"
                                 "R 0x00018 4 -> 0x00000000\nstop?\nwait 8\nR 0x00018 4 -> 0x00000000\nstop?\n"
                                 "wait 50\nR 0x0001E 4 -> 0x00000006\n");
    a_pHost->m_iStopAtAsk = 0;
    a_pHost->m_udwReadyAfterPolls = 1;

    CHECK_OK(a_pDevice, zev_register_find(a_pDevice, "DET_APD_SSRAM", &pRam));
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_memory_set(pRam, 10, 3, audwWords, NULL));
    CHECK_OK(a_pDevice, zev_memory_get(pRam, 11, 2, 1, audwBack, NULL));
    CHECK(audwBack[0] == 0x222 && audwBack[1] == 0x333);
    CHECK_TEXT(a_pHost->m_acLog, "W 0x0500A 12 0x00000111 0x00000222 0x00000333\n"
                                 "R 0x0500B 8 -> 0x00000222 0x00000333\n");

    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, "DET_APD_SSRAM", "", 10, 3, acText, 12, NULL, NULL),
                 ZEV_BUFFER_TOO_SMALL);
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_fetch_text(a_pDevice, acText, 20, NULL), ZEV_BUFFER_TOO_SMALL);
    CHECK_OK(a_pDevice, zev_fetch_text(a_pDevice, acText, sizeof acText, NULL));
    CHECK_TEXT(acText, "00000111/h\n00000222/h\n00000333/h");
    CHECK_TEXT(a_pHost->m_acLog, "");
    CHECK_STATUS(a_pDevice, zev_fetch_text(a_pDevice, acText, sizeof acText, NULL), ZEV_NOT_FOUND);
    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, "DET_APD_SSRAM", "", 10, 3, acText, 12, NULL, NULL),
                 ZEV_BUFFER_TOO_SMALL);
    CHECK_OK(a_pDevice, zev_clear_reports(a_pDevice));
    CHECK_STATUS(a_pDevice, zev_fetch_text(a_pDevice, acText, sizeof acText, NULL), ZEV_NOT_FOUND);
}

/* A buffer too small hides no refusal: a read of a write-only register gives the status and
 * last error it gives with room for its text, and keeps the text for zev_fetch_text. */
static void TestRefusalWithShortBuffer(zev_device* a_pDevice)
{
    char acText[64];
    uint32_t udwNeeded = 0;

    CHECK_STATUS(a_pDevice, zev_service_read(a_pDevice, "DIN_STROBE", "", 0, 1, acText, 4, &udwNeeded, NULL),
                 ZEV_REFUSED);
    CHECK(acText[0] == '\0' && udwNeeded > 4);
    CHECK_TEXT(LastError(a_pDevice), ",No read access allowed!");
    CHECK_OK(a_pDevice, zev_fetch_text(a_pDevice, acText, sizeof acText, NULL));
    CHECK(strlen(acText) + 1 == udwNeeded);
    CHECK_TEXT(LastError(a_pDevice), ",No read access allowed!");
}

/* A status register's words as the host prepares them. A failing log callback makes the call
 * that logged a host fault (every call settles its news alike): the call is done and logging
 * goes on. */
static void TestPreparedWordsAndLog(zev_device* a_pDevice, SHost* a_pHost)
{
    zev_signal* pRecEnd = Signal(a_pDevice, "PRI_STATUSREG1", "SR1_B_REC_END");
    zev_signal* pOverflow = Signal(a_pDevice, "PRI_STATUSREG1", "COR_OVERFLOW_TH_MAX");
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    const char* pcLine = NULL;
    int32_t iWritten = 0;

    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_set(pRecEnd, 1, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_OK(a_pDevice, zev_signal_set(pOverflow, 0, ZEV_WRITE_DEFERRED, NULL));
    CHECK_OK(a_pDevice, zev_signal_set(pRecEnd, 0, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_TEXT(a_pHost->m_acLog, "prepare_set 0x00008000\nW 0x00018 4 0x40008000\nprepare_reset 0x00008001\n"
                                 "W 0x00018 4 0x20008001\n");

    CHECK_OK(a_pDevice, zev_set_log_callback(a_pDevice, LogLine, a_pHost));
    CHECK_OK(a_pDevice, zev_set_log_callback(a_pDevice, LogLine, a_pHost)); /* set again: still heard once */
    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 1));
    a_pHost->m_iFailLog = 7;
    CHECK_STATUS(a_pDevice, zev_signal_set(pTrigSel, 1, ZEV_WRITE_IMMEDIATE, &iWritten), ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the log callback returned 7");
    CHECK(a_pHost->m_audwWords[0x0E00] == 1 && iWritten == 1);
    Clear(a_pHost);
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 2, ZEV_WRITE_IMMEDIATE, NULL));
    pcLine = strstr(a_pHost->m_acLog, "\nlog Register: AUD_CNTRL0 Signal: TRIG_SEL Changed from value: MARKER_SIG_1 "
                                      "to value: 2\n");
    CHECK(pcLine != NULL && strstr(a_pHost->m_acLog, "W 0x00E00 3 0x00000002\nlog ") != NULL);
    CHECK(pcLine != NULL && strstr(pcLine + 1, "\nlog ") == NULL);
    /* A call by name settles its news on a path of its own. */
    a_pHost->m_iFailLog = 5;
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", "MARKER_SIG_4", 0), ZEV_HOST_FAULT);
    CHECK(a_pHost->m_audwWords[0x0E00] == 4);
    CHECK_OK(a_pDevice, zev_unlock(a_pDevice, "AUD_CNTRL0", "TRIG_SEL"));
}

/* A failing callback ends the call in ZEV_HOST_FAULT, naming the callback, what it returned and
 * where; inside the read-back path the library catches it itself, reports it and refuses (a
 * failing read there is the conformance cases'). */
static void TestFailingCallbacks(zev_device* a_pDevice, SHost* a_pHost)
{
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    zev_signal* pRecEnd = Signal(a_pDevice, "PRI_STATUSREG1", "SR1_B_REC_END");
    uint32_t udwValue = 0;

    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 0));
    a_pHost->m_iFailWrite = 7;
    CHECK_STATUS(a_pDevice, zev_signal_set(pTrigSel, 3, ZEV_WRITE_IMMEDIATE, NULL), ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the host's write callback returned 7 (address 0x00E00, 3 bytes)");
    a_pHost->m_iFailRead = -2;
    CHECK_STATUS(a_pDevice, zev_signal_get(pRecEnd, 1, &udwValue), ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the host's read callback returned -2 (address 0x00018, 4 bytes)");
    a_pHost->m_iFailPrepare = 3;
    CHECK_STATUS(a_pDevice, zev_signal_set(pRecEnd, 1, ZEV_WRITE_IMMEDIATE, NULL), ZEV_HOST_FAULT);
    CHECK_TEXT(LastError(a_pDevice), "host fault: the host's prepare_set callback returned 3");

    a_pHost->m_iFailWait = 1;
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_signal_get(pTrigSel, 1, &udwValue), ZEV_REFUSED);
    CHECK_TEXT(a_pHost->m_acLog, "W 0x00018 4 0x00010000\nR 0x00E00 4 -> 0x00000002\nwait 8\n"
                                 "E CSequentialRead_ParallelWrite::Read: ,Unknown error!\n");
}

/* The host's report callbacks, errors and refused directions apart (a refused set: written 0),
 * replaced by zev_set_report_callbacks; the device's report log, a line with file and line
 * each. Calls from inside any callback are refused: the device stays, and so does another
 * device it would destroy. The simulator's calls are refused on a device of the caller's host. */
static void TestReportsAndCallsInside(zev_device* a_pDevice, SHost* a_pHost)
{
    char acReports[1024], acFile[64];
    int iLine = 0, iAt = 0;
    uint32_t udwWord = 0;
    int32_t iWritten = -1;
    zev_signal* pServal = Signal(a_pDevice, "PRI_SERVAL", "SERVAL");
    zev_signal* pTrigSel = Signal(a_pDevice, "AUD_CNTRL0", "TRIG_SEL");
    const char* pcReported = "E CSignalBase::ServiceWrite: Value limit exceeded: 64/d,\n"
                             "D CParallelRead::Write: ,No write access allowed!\n";

    CHECK_OK(a_pDevice, zev_clear_reports(a_pDevice));
    CHECK_OK(NULL, zev_create_simulated(&a_pHost->m_pOther));
    a_pHost->m_pDevice = a_pDevice;
    a_pHost->m_udwReadyAfterPolls = 2;
    Clear(a_pHost);
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "64/d", 0), ZEV_REFUSED);
    CHECK_STATUS(a_pDevice, zev_signal_set(pServal, 1, ZEV_WRITE_IMMEDIATE, &iWritten), ZEV_REFUSED);
    CHECK(iWritten == 0);
    CHECK_TEXT(a_pHost->m_acLog, pcReported);
    CHECK_OK(a_pDevice, zev_logging(a_pDevice, "AUD_CNTRL0", "TRIG_SEL", 1));
    CHECK_OK(a_pDevice, zev_signal_set(pTrigSel, 2, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_OK(a_pDevice, zev_signal_set(Signal(a_pDevice, "PRI_STATUSREG1", "SR1_B_REC_END"), 1, 0, NULL));
    CHECK_OK(a_pDevice, zev_signal_get(pTrigSel, 1, &udwWord));
    a_pHost->m_pDevice = NULL;
    a_pHost->m_udwReadyAfterPolls = 1;
    CHECK(a_pHost->m_iInside == 255 && !a_pHost->m_bLeaked);
    CHECK_TEXT(LastError(a_pHost->m_pOther), "a device cannot be destroyed from inside a device call");
    CHECK_OK(NULL, zev_destroy(a_pHost->m_pOther));
    CHECK_OK(a_pDevice, zev_reports(a_pDevice, acReports, sizeof acReports, NULL));
    CHECK(sscanf(acReports, "%63[^:]:%d: %n", acFile, &iLine, &iAt) == 2 && iLine > 0 &&
          strncmp(acReports + iAt, pcReported + 2, 55) == 0);
    CHECK_OK(a_pDevice, zev_report_count(a_pDevice, &udwWord));
    CHECK(udwWord == 2);

    Clear(&g_Second);
    CHECK_OK(a_pDevice, zev_set_report_callbacks(a_pDevice, ReportError, NULL, &g_Second)); /* none for directions */
    CHECK_STATUS(a_pDevice, zev_service_write(a_pDevice, "AUD_CNTRL0", "MULT_HP", "64/d", 0), ZEV_REFUSED);
    CHECK_STATUS(a_pDevice, zev_signal_set(pServal, 1, ZEV_WRITE_IMMEDIATE, NULL), ZEV_REFUSED);
    CHECK_TEXT(g_Second.m_acLog, "E CSignalBase::ServiceWrite: Value limit exceeded: 64/d,\n");
    CHECK_OK(a_pDevice, zev_set_report_callbacks(a_pDevice, ReportError, ReportAccessDenied, a_pHost));
    CHECK_STATUS(a_pDevice, zev_sim_peek(a_pDevice, 0x0E00, &udwWord), ZEV_BAD_ARGUMENT);
    CHECK_TEXT(LastError(a_pDevice), "not a simulated device");
}

/* Two devices on two hosts: each host sees its own device's traffic and reports only; without
 * preparation callbacks a status word goes out as the library made it. A host without any one
 * needed callback makes no device, and none makes one without a host. */
static void TestTwoHosts(zev_device* a_pFirst)
{
    zev_host Second = Host(&g_Second);
    zev_device* pSecond = NULL;
    int i;
    Second.prepare_set = NULL;
    CHECK_OK(NULL, zev_create(&Second, &pSecond));
    Clear(&g_First);
    Clear(&g_Second);
    CHECK_STATUS(pSecond, zev_service_write(pSecond, "AUD_CNTRL0", "NOPE", "1/d", 0), ZEV_NOT_FOUND);
    CHECK_STATUS(a_pFirst, zev_service_write(a_pFirst, "AUD_CNTRL0", "MULT_DE", "99/d", 0), ZEV_REFUSED);
    CHECK_OK(pSecond, zev_signal_set(Signal(pSecond, "PRI_STATUSREG1", "SR1_B_REC_END"), 1, ZEV_WRITE_IMMEDIATE, NULL));
    CHECK_TEXT(g_Second.m_acLog, "E CRegisterBase::ServiceWrite: Invalid signal submitted: NOPE\n"
                                 "W 0x00018 4 0x00008000\n");
    CHECK_TEXT(g_First.m_acLog, "E CSignalBase::ServiceWrite: Value limit exceeded: 99/d,\n");
    CHECK_OK(NULL, zev_destroy(pSecond));

    for (i = 0; i < 4; ++i)
    {
        zev_host Lacking = Host(&g_Second);
        Lacking.write = i == 0 ? NULL : Lacking.write;
        Lacking.read = i == 1 ? NULL : Lacking.read;
        Lacking.wait = i == 2 ? NULL : Lacking.wait;
        pSecond = (zev_device*)&Lacking;
        CHECK_STATUS(NULL, zev_create(i < 3 ? &Lacking : NULL, &pSecond), ZEV_BAD_ARGUMENT);
        CHECK(pSecond == NULL);
    }
}

int main(void)
{
    zev_host First = Host(&g_First);
    zev_device* pDevice = NULL;

    CHECK_OK(NULL, zev_create(&First, &pDevice));
    if (pDevice == NULL)
        return Finish("capi_callback_host");
    /* Making the device moves nothing on the bus, and destroying it neither. */
    CHECK_TEXT(g_First.m_acLog, "");
    TestTransfers(pDevice, &g_First);
    TestRefusalWithShortBuffer(pDevice);
    TestPreparedWordsAndLog(pDevice, &g_First);
    TestFailingCallbacks(pDevice, &g_First);
    TestReportsAndCallsInside(pDevice, &g_First);
    TestTwoHosts(pDevice);
    Clear(&g_First);
    CHECK_OK(NULL, zev_destroy(pDevice));
    CHECK_TEXT(g_First.m_acLog, "");
    return Finish("capi_callback_host");
}
