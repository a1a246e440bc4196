#ifndef UTILS_H
#define UTILS_H

#include <QList>
#include <QObject>
#include <QString>

#include "skfapi.h"

class QWidget;

// The tool's shared functions. Never instantiated: every member is static.
class Utils : public QObject
{
    Q_OBJECT

public:
    explicit Utils(QObject *parent = nullptr);
    ~Utils() override;

    // --- Text and message helpers (utils.cpp) ---
    // Whole file decoded as GBK; empty when it cannot be read.
    static QString readfile(const QString &path);
    // NUL-terminated bytes decoded as GBK / UTF-8; empty for null.
    static QString convertCharToGBKStr(const char *bytes);
    static QString convertCharToUTF8Str(const char *bytes);
    // Splits a NUL-separated name list of at most `length` bytes; stops at the first empty name.
    static QList<QString> parseCharArray(char *list, int length);
    // Modal warning box "温馨提示：" with the single button "确定".
    static void showMsgTip(const QString &text);
    // Value after the first ':' of the first line starting with SKFLIBNAME (kind 0) or
    // OESLIBNAME (kind 1); null when absent.
    static QString getLibName(int kind, const QString &path);
    static QString showPwdDialog(QWidget *parent);

    // --- Token access layer (utils_token.cpp) ---

    // --- Certificate summaries (utils_cert.cpp) ---

    // --- Token function tests (utils_functest.cpp) ---
};

#endif // UTILS_H
