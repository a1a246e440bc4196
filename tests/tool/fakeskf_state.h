#ifndef FAKESKF_STATE_H
#define FAKESKF_STATE_H

// The scripted token library used by the token access layer tests: every SKF function of
// the layer returns `result`, records what it was given and fills its outputs from here.

#include "skfapi.h"

struct FakeSkfState {
    // Script.
    ULONG result = 0;
    ULONG retries = 0;          // stored through a retry-count pointer
    bool storeHandle = true;    // whether handle outputs are written
    char names[2048] = {};      // name list handed out by the enumerations
    ULONG namesLength = 0;      // bytes copied from names
    ULONG reportedLength = 0;   // length reported back (0: namesLength)
    BYTE cert[4096] = {};
    ULONG certLength = 0;       // bytes copied out; also the reported length
    ULONG reportedCertLength = 0; // length reported back (0: certLength)
    ULONG containerType = 0;
    DEVINFO devInfo = {};

    // Record of the last call.
    int calls = 0;
    char function[64] = {};
    char name[512] = {};        // a name argument, as NUL-terminated bytes
    BYTE pin[64] = {};          // the whole 64-byte buffer of the first PIN argument
    BYTE pin2[64] = {};         // the whole 64-byte buffer of the second PIN argument
    BYTE appName[64] = {};      // OpenApplication's 64-byte name buffer
    ULONG type = 0;             // PIN type
    ULONG adminRetries = 0;
    ULONG userRetries = 0;
    ULONG rights = 0;
    BOOL sign = -1;
    ULONG bufferSize = 0;       // the in length of an output buffer
    void *handle = nullptr;     // the object handle argument
};

extern "C" FakeSkfState *fakeskf_state();

#endif // FAKESKF_STATE_H
