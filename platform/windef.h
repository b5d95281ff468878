#pragma once
// The basic types and handle kinds of the windowing platform the system is
// written against. Handles are opaque pointers, as with the platform's STRICT
// declarations: distinct kinds do not convert into each other, and "no handle"
// is written 0.
#include <cstdint>

using BOOL = int32_t;
using BYTE = uint8_t;
using WORD = uint16_t;
using SHORT = int16_t;
using INT = int32_t;
using UINT = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using HRESULT = int32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

#ifndef TRUE
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
#endif

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);

#define FERROWICK_DECLARE_HANDLE(name) \
  struct name##__ {                    \
    int unused;                        \
  };                                   \
  using name = name##__*

FERROWICK_DECLARE_HANDLE(HWND);
FERROWICK_DECLARE_HANDLE(HDC);
FERROWICK_DECLARE_HANDLE(HBITMAP);
FERROWICK_DECLARE_HANDLE(HPALETTE);
FERROWICK_DECLARE_HANDLE(HINSTANCE);
using HGDIOBJ = void*;

struct RECT {
  LONG left = 0;
  LONG top = 0;
  LONG right = 0;
  LONG bottom = 0;
};

struct POINT {
  LONG x = 0;
  LONG y = 0;
};
