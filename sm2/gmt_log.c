/*
 * Diagnostic log of the SM2 module.
 */
#include "gmt_log.h"

#include <stdio.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>

#define LOG_SWITCH_FILE "LogConfig"
#define LOG_FILE_PREFIX "openssl_log"
#define LOG_FILE_NUMBER 1

int g_LogFlag = 0;
int g_InitLog = 0;

static CRYPTO_ONCE log_once = CRYPTO_ONCE_STATIC_INIT;

static void log_decide(void)
{
    FILE *fp;

    g_InitLog = 1;
    fp = fopen(LOG_SWITCH_FILE, "rb");
    if (fp != NULL) {
        fclose(fp);
        g_LogFlag = 0;
    } else {
        g_LogFlag = 1;
    }
    printf("g_LogFlag = %d\n", g_LogFlag);
    fflush(stdout);
}

int checkLog(void)
{
    /* Decided once per process, also when the first calls race. */
    if (!CRYPTO_THREAD_run_once(&log_once, log_decide))
        return 1;
    return g_LogFlag;
}

static BIO *log_file_open(void)
{
    char name[128];

    snprintf(name, sizeof(name), "%s%d.txt", LOG_FILE_PREFIX, LOG_FILE_NUMBER);
    return BIO_new_file(name, "a+");
}

static BIO *log_stdout_open(void)
{
    fflush(stdout);
    return BIO_new_fp(stdout, BIO_NOCLOSE);
}

int gmt_log(const char *msg)
{
    BIO *out;

    if (checkLog() != 0)
        return 0;

    out = log_file_open();
    BIO_printf(out, "%s\n", msg);
    BIO_free(out);

    out = log_stdout_open();
    BIO_printf(out, "%s\n", msg);
    BIO_free(out);
    fflush(stdout);
    return 0;
}

int gmt_logbuf(const char *title, const unsigned char *data, size_t len, void *unused)
{
    BIO *out;

    (void)unused;
    if (checkLog() != 0)
        return 0;

    out = log_file_open();
    BIO_printf(out, "%s len[%d 0x%x]\n", title, (int)len, (unsigned int)len);
    BIO_dump(out, data, (int)len);
    BIO_printf(out, "\n");
    BIO_free(out);

    out = log_stdout_open();
    BIO_printf(out, "%s\n", title);
    BIO_dump(out, data, (int)len);
    BIO_printf(out, "\n");
    BIO_free(out);
    fflush(stdout);
    return 0;
}

void BNPrintf(const BIGNUM *bn)
{
    char *hex = bn != NULL ? BN_bn2hex(bn) : NULL;

    if (hex == NULL)
        return;
    printf("%s", hex);
    fflush(stdout);
    OPENSSL_free(hex);
}
