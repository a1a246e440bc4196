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

    // --- Token access layer (utils_token.cpp) ---

    // --- Certificate summaries (utils_cert.cpp) ---

    // --- Token function tests (utils_functest.cpp) ---
};

#endif // UTILS_H
