// The serial error codes and their printed names, in one list: the driver's
// codes and the error log's names table are both made from it.
#pragma once

// X(identifier, number, printed name); the code is -number. The printed
// names of 40..42 begin with "_", which C++ reserves for identifiers.
#define STRAVON_SERIAL_ERRORS(X)                        \
    X(GENERALERROR, 1, "GENERALERROR")                  \
    X(INVPORT, 2, "INVPORT")                            \
    X(INUSE, 3, "INUSE")                                \
    X(INVBUFSIZE, 4, "INVBUFSIZE")                      \
    X(NOMEMORY, 5, "NOMEMORY")                          \
    X(NOTSETUP, 6, "NOTSETUP")                          \
    X(INVPAR, 7, "INVPAR")                              \
    X(BUFREMPTY, 8, "BUFREMPTY")                        \
    X(BUFRFULL, 9, "BUFRFULL")                          \
    X(TIMEOUT, 10, "TIMEOUT")                           \
    X(NOCTS, 11, "NOCTS")                               \
    X(NOCD, 12, "NOCD")                                 \
    X(NODSR, 13, "NODSR")                               \
    X(NO8250, 14, "NO8250")                             \
    X(XMSTATUS, 15, "XMSTATUS")                         \
    X(USERABORT, 16, "USERABORT")                       \
    X(FILERR, 17, "FILERR")                             \
    X(XMERROR, 18, "XMERROR")                           \
    X(NOWIDERX, 19, "NOWIDERX")                         \
    X(CONFLICT, 20, "CONFLICT")                         \
    X(CRCMODE, 21, "CRCMODE")                           \
    X(NOHAYESOK, 22, "NOHAYESOK")                       \
    X(NOHAYESRESPONSE, 23, "NOHAYESRESPONSE")           \
    X(NOTSUPPORTED, 24, "NOTSUPPORTED")                 \
    X(ILLEGALBAUDRATE, 25, "ILLEGALBAUDRATE")           \
    X(ILLEGALPARITY, 26, "ILLEGALPARITY")               \
    X(ILLEGALWORDLENGTH, 27, "ILLEGALWORDLENGTH")       \
    X(ILLEGALSTOPBITS, 28, "ILLEGALSTOPBITS")           \
    X(NOCOPYRIGHTNOTICE, 29, "NOCOPYRIGHTNOTICE")       \
    X(DRIVERNOTINSTALLED, 30, "DRIVERNOTINSTALLED")     \
    X(OVERFLOW, 31, "OVERFLOW")                         \
    X(CONNECTFAILURE, 32, "CONNECTFAILURE")             \
    X(DOSEXTENDERERROR, 33, "DOSEXTENDERERROR")         \
    X(ILLEGALBOARDNUMBER, 34, "ILLEGALBOARDNUMBER")     \
    X(BOARDINUSE, 35, "BOARDINUSE")                     \
    X(HANDSHAKEBLOCK, 36, "HANDSHAKEBLOCK")             \
    X(MAXPORTSEXCEEDED, 37, "MAXPORTSEXCEEDED")         \
    X(ILLEGALIRQ, 38, "ILLEGALIRQ")                     \
    X(IRQINUSE, 39, "IRQINUSE")                         \
    X(THUNK_SETUP_FAILED, 40, "_THUNK_SETUP_FAILED")    \
    X(NASI_ERROR, 41, "_NASI_ERROR")                    \
    X(PACKING_ERROR, 42, "_PACKING_ERROR")              \
    X(USERDEFINEDERROR, 75, "USERDEFINEDERROR")

// Driver error codes; 0 is success.
enum ComError {
#define STRAVON_COM_ERROR_CODE(id, number, name) id = -(number),
    STRAVON_SERIAL_ERRORS(STRAVON_COM_ERROR_CODE)
#undef STRAVON_COM_ERROR_CODE
};
