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
using PFN_KSCREATEPIN = DWORD(WINAPI*)(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access,
                                       PHANDLE pin);
#else
#include "platform/linux/win_base.h"
#include "platform/linux/win_com.h"
#include "platform/linux/win_ks.h"
#endif

#include <string>

static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(LONG) == 4);
static_assert(sizeof(KSPROPERTY) == 24);
static_assert(sizeof(KSP_PIN) == 32);
static_assert(sizeof(KSSTREAM_HEADER) == 56);
static_assert(sizeof(OVERLAPPED) == 32);
static_assert(sizeof(KSPIN_CONNECT) == 72);
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVINFO_DATA) == 32);

// Wide-string helpers that work for WCHAR on both targets (wchar_t on Windows, char16_t elsewhere).
using WideTraits = std::char_traits<WCHAR>;
