// The classes this server creates.
#include "asio/asio_larkspur.h"
#include "com/class_factory.h"

const ClassTableEntry g_classTable[] = {
    {TEXT("ASIOLarkspur"), &CLSID_ASIOLarkspur, &ASIOLarkspur::CreateInstance},
};
const int g_classTableCount = sizeof g_classTable / sizeof g_classTable[0];
