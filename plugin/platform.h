// The few Windows functions the plug-in boundary calls.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
// Natively the boundary is built against a test double of these functions.
#include <stdint.h>

#define WINAPI
#define __cdecl
typedef void* HGLOBAL;
typedef void* HWND;
typedef void* HINSTANCE;
typedef int BOOL;
typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef void* LPVOID;
#define TRUE 1
#define GMEM_MOVEABLE 0x0002
#define MB_ICONINFORMATION 0x00000040L

extern "C" {
HGLOBAL GlobalAlloc(UINT flags, size_t bytes);
void* GlobalLock(HGLOBAL block);
BOOL GlobalUnlock(HGLOBAL block);
HGLOBAL GlobalFree(HGLOBAL block);
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type);
}
#endif
