#pragma once
// Stand-in for the shell library: opening a document or folder with the
// program the user's desktop chose for it.
#include "platform/windef.h"

namespace shell32 {

constexpr INT SW_SHOWNORMAL = 1;
// ShellExecuteA's results above 32 mean success; these are its failures used here.
constexpr INT ERROR_FILE_NOT_FOUND = 2;
constexpr INT SE_ERR_NOASSOC = 31;

// ShellExecuteA: with the "open" verb, opens lpFile (a file or folder path)
// in the desktop's program for it. Returns a value above 32 on success,
// ERROR_FILE_NOT_FOUND for a path that does not exist and SE_ERR_NOASSOC
// when the desktop has nothing to open it with.
HINSTANCE ShellExecuteA(HWND hwnd, const char* lpOperation, const char* lpFile, const char* lpParameters,
                        const char* lpDirectory, INT nShowCmd);

}  // namespace shell32
