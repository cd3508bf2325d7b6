// The one header through which asio/, ks/ and com/ reach the platform: the Windows SDK on Windows,
// the same names and layouts declared here and implemented by sim/ elsewhere.
#pragma once

#ifdef _WIN32
#ifndef UNICODE
#define UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <objbase.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>
#include <avrt.h>
#include <olectl.h>
#include "platform/ks_guids.h"
// Older SDK headers lack it; systems that do not know it refuse the timer, and the driver falls back.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
using PFN_KSCREATEPIN = DWORD(WINAPI*)(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access,
                                       PHANDLE pin);
#else
#include "platform/linux/win_base.h"
#include "platform/linux/win_com.h"
#include "platform/linux/win_ks.h"
#endif

#include <string>

#include "platform/layouts.h"

static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(LONG) == 4);

// Wide-string helpers that work for WCHAR on both targets (wchar_t on Windows, char16_t elsewhere).
using WideTraits = std::char_traits<WCHAR>;
