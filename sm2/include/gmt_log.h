/*
 * Diagnostic log of the SM2 module. Off unless a file named "LogConfig" exists in the
 * working directory at the first logging call of the process; then each message is
 * appended to openssl_log1.txt in the working directory and echoed to standard output.
 */
#ifndef MVSM2_GMT_LOG_H
#define MVSM2_GMT_LOG_H

#include <stddef.h>
#include <openssl/bn.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The switch: 0 logging on, 1 off. Decided once, at the first logging call. */
extern int g_LogFlag;
/* 0 until the switch has been decided, then 1. */
extern int g_InitLog;

/* Decides the switch on first use (printing "g_LogFlag = %d\n"); returns it. */
int checkLog(void);
/* Logs one line; always 0. */
int gmt_log(const char *msg);
/* Logs a titled hex dump of data; the last argument is not used. Always 0. */
int gmt_logbuf(const char *title, const unsigned char *data, size_t len, void *unused);
/* Prints the number in hexadecimal to standard output, without a line end. */
void BNPrintf(const BIGNUM *bn);

#ifdef __cplusplus
}
#endif

#endif
