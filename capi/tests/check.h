/* The C suites' checks: each failure prints where and what, and the suite's exit code is
 * the number of failed checks (capped), so CTest sees any of them. */
#ifndef RL_ZEV_C_CHECK_H
#define RL_ZEV_C_CHECK_H

#include "rl_zev_c.h"

#include <stdio.h>
#include <string.h>

static int g_iChecks = 0, g_iFailures = 0;
static char g_acError[4096], g_acSeen[8192];

/* The device's last error text, for failure messages and checks. */
static const char* LastError(const zev_device* a_pDevice)
{
    g_acError[0] = '\0';
    return zev_last_error(a_pDevice, g_acError, sizeof g_acError, NULL) == ZEV_OK ? g_acError : "(no last error text)";
}

static void Check(int a_bOk, const char* a_pcFile, int a_iLine, const char* a_pcWhat, const char* a_pcSeen)
{
    ++g_iChecks;
    if (a_bOk)
        return;
    ++g_iFailures;
    fprintf(stderr, "%s:%d: failed: %s%s\n", a_pcFile, a_iLine, a_pcWhat, a_pcSeen);
}

static void CheckStatus(const zev_device* a_pDevice, zev_status a_iSeen, zev_status a_iExpected, const char* a_pcFile,
                        int a_iLine, const char* a_pcCall)
{
    if (a_iSeen != a_iExpected)
        snprintf(g_acSeen, sizeof g_acSeen, " gave %s, not %s (last error: %s)", zev_status_name(a_iSeen),
                 zev_status_name(a_iExpected), LastError(a_pDevice));
    Check(a_iSeen == a_iExpected, a_pcFile, a_iLine, a_pcCall, g_acSeen);
}

static void CheckText(const char* a_pcSeen, const char* a_pcExpected, const char* a_pcFile, int a_iLine,
                      const char* a_pcWhat)
{
    snprintf(g_acSeen, sizeof g_acSeen, " is \"%s\", not \"%s\"", a_pcSeen, a_pcExpected);
    Check(strcmp(a_pcSeen, a_pcExpected) == 0, a_pcFile, a_iLine, a_pcWhat, g_acSeen);
}

#define CHECK(a_Condition) Check((a_Condition) != 0, __FILE__, __LINE__, #a_Condition, "")
#define CHECK_STATUS(a_pDevice, a_Call, a_iExpected)                                             \
    CheckStatus(a_pDevice, (a_Call), a_iExpected, __FILE__, __LINE__, #a_Call)
#define CHECK_OK(a_pDevice, a_Call) CHECK_STATUS(a_pDevice, a_Call, ZEV_OK)
#define CHECK_TEXT(a_pcSeen, a_pcExpected) CheckText(a_pcSeen, a_pcExpected, __FILE__, __LINE__, #a_pcSeen)

/* A signal's handle, the look-up checked. */
static zev_signal* Signal(zev_device* a_pDevice, const char* a_pcRegister, const char* a_pcSignal)
{
    zev_signal* pSignal = NULL;
    CHECK_OK(a_pDevice, zev_signal_lookup(a_pDevice, a_pcRegister, a_pcSignal, &pSignal));
    return pSignal;
}

static int Finish(const char* a_pcSuite)
{
    fflush(stderr);
    printf("%s: %d checks, %d failed\n", a_pcSuite, g_iChecks, g_iFailures);
    return g_iFailures > 100 ? 100 : g_iFailures;
}

#endif
