// Loaded modules: dynamic libraries loaded by path, their exported
// functions, and the file a module was loaded from.
//
// A module handle (HMODULE) is the dynamic loader's handle of the library;
// a null handle stands for the program itself. Failures return null or 0
// with the reason in the thread's last error.
#pragma once

#include "platform/wintypes.h"

// An exported function, to be cast to its real type. A function taking and
// returning nothing, which casts to every function type without warnings.
using FARPROC = void (*)();

// Loads the library at `fileName` with all its symbols bound now, or takes
// another reference on it when it is loaded already. ERROR_MOD_NOT_FOUND when
// it cannot be loaded.
HMODULE LoadLibraryA(LPCSTR fileName);
// Gives up one reference; the library is unloaded with its last one.
BOOL FreeLibrary(HMODULE module);
// The exported function or data named `procName`; ERROR_PROC_NOT_FOUND.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

// The module that holds the address `moduleName` (with
// GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS), or the program itself when
// `moduleName` is null. The handle carries a reference of its own, which the
// caller gives up with FreeLibrary, unless UNCHANGED_REFCOUNT is asked for.
// Looking a module up by name is not supported (ERROR_NOT_SUPPORTED).
BOOL GetModuleHandleExA(DWORD flags, LPCSTR moduleName, HMODULE* module);

// The absolute path of the file the module was loaded from (the program's
// own for a null handle), with its terminating zero. Returns its length
// without the zero; when `size` is too small, the path is cut to size - 1
// characters and terminated, the result is `size` and the last error
// ERROR_INSUFFICIENT_BUFFER. 0 on failure.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
