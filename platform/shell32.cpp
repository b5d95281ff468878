#include "platform/shell32.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>
#include <cstdint>
#include <cstring>

namespace shell32 {

namespace {
HINSTANCE result(intptr_t value) { return reinterpret_cast<HINSTANCE>(value); }
}  // namespace

// Stands in for ShellExecuteA with the "open" verb.
HINSTANCE ShellExecuteA(HWND /*hwnd*/, const char* lpOperation, const char* lpFile,
                        const char* /*lpParameters*/, const char* /*lpDirectory*/, INT /*nShowCmd*/) {
  if (!lpFile || (lpOperation && std::strcmp(lpOperation, "open") != 0)) return result(SE_ERR_NOASSOC);
  const QString path = QString::fromUtf8(lpFile);
  if (!QFileInfo::exists(path)) return result(ERROR_FILE_NOT_FOUND);
  // The desktop's opener (xdg-open) runs detached: the window never waits for it.
  return result(QDesktopServices::openUrl(QUrl::fromLocalFile(path)) ? 42 : SE_ERR_NOASSOC);
}

}  // namespace shell32
