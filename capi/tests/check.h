/* The C suites' checks: each failure prints where and what, and the suite's exit code is
 * the number of failed checks (capped), so CTest sees any of them. */
#ifndef RL_ZEV_C_CHECK_H
#define RL_ZEV_C_CHECK_H

#include "rl_zev_c.h"

#include <stdio.h>
#include <string.h>

static int g_iChecks = 0;
static int g_iFailures = 0;

static char g_acError[4096];

/* The device's last error text, for failure messages and checks. */
static const char* LastError(const zev_device* a_pDevice)
{
    g_acError[0] = '\0';
    if (zev_last_error(a_pDevice, g_acError, sizeof g_acError, NULL) != ZEV_OK)
        return "(no last error text)";
    return g_acError;
}

#define CHECK(a_Condition)                                                                       \
    do                                                                                           \
    {                                                                                            \
        ++g_iChecks;                                                                             \
        if (!(a_Condition))                                                                      \
        {                                                                                        \
            ++g_iFailures;                                                                       \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #a_Condition);           \
        }                                                                                        \
    } while (0)

/* A call's status, with the device's last error text when it is not the one expected. */
#define CHECK_STATUS(a_pDevice, a_Call, a_iExpected)                                             \
    do                                                                                           \
    {                                                                                            \
        const zev_status iStatus_ = (a_Call);                                                    \
        ++g_iChecks;                                                                             \
        if (iStatus_ != (a_iExpected))                                                           \
        {                                                                                        \
            ++g_iFailures;                                                                       \
            fprintf(stderr, "%s:%d: %s gave %s, not %s (last error: %s)\n", __FILE__, __LINE__, #a_Call, \
                    zev_status_name(iStatus_), zev_status_name(a_iExpected), LastError(a_pDevice)); \
        }                                                                                        \
    } while (0)

#define CHECK_OK(a_pDevice, a_Call) CHECK_STATUS(a_pDevice, a_Call, ZEV_OK)

#define CHECK_TEXT(a_pcActual, a_pcExpected)                                                     \
    do                                                                                           \
    {                                                                                            \
        const char* pcActual_ = (a_pcActual);                                                    \
        const char* pcExpected_ = (a_pcExpected);                                                \
        ++g_iChecks;                                                                             \
        if (strcmp(pcActual_, pcExpected_) != 0)                                                 \
        {                                                                                        \
            ++g_iFailures;                                                                       \
            fprintf(stderr, "%s:%d: %s is \"%s\", not \"%s\"\n", __FILE__, __LINE__, #a_pcActual, pcActual_, \
                    pcExpected_);                                                                \
        }                                                                                        \
    } while (0)

#define CHECK_NUMBER(a_Actual, a_Expected)                                                       \
    do                                                                                           \
    {                                                                                            \
        const unsigned long uActual_ = (unsigned long)(a_Actual);                                \
        const unsigned long uExpected_ = (unsigned long)(a_Expected);                            \
        ++g_iChecks;                                                                             \
        if (uActual_ != uExpected_)                                                              \
        {                                                                                        \
            ++g_iFailures;                                                                       \
            fprintf(stderr, "%s:%d: %s is %lu (0x%lX), not %lu (0x%lX)\n", __FILE__, __LINE__, #a_Actual, uActual_, \
                    uActual_, uExpected_, uExpected_);                                           \
        }                                                                                        \
    } while (0)

static int Finish(const char* a_pcSuite)
{
    fflush(stderr);
    printf("%s: %d checks, %d failed\n", a_pcSuite, g_iChecks, g_iFailures);
    return g_iFailures > 100 ? 100 : g_iFailures;
}

#endif
