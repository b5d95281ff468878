#include "platform/framefolder.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <initializer_list>

#include "platform/vba.h"

#ifndef FERROWICK_INSTALL_BINDIR
#define FERROWICK_INSTALL_BINDIR "/usr/local/bin"
#endif

namespace framefolder {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string canonical(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string result = resolved;
  ::free(resolved);
  return result;
}

std::string withoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string below(const std::string& folder, const std::string& name) {
  return (folder == "/" ? "" : folder) + "/" + name;
}

std::string home() {
  std::string folder = env("HOME");
  if (folder.empty()) {
    // Without HOME (a bare service environment) the account still has one.
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) folder = pw->pw_dir;
  }
  return withoutTrailingSlash(folder);
}

// The folders programs are installed into: a program there is the system's,
// whoever runs it.
bool isInstallLocation(const std::string& folder) {
  const std::string here = canonical(folder);
  for (const char* system : {FERROWICK_INSTALL_BINDIR, "/usr/bin", "/bin", "/usr/local/bin", "/usr/sbin",
                             "/sbin", "/usr/local/sbin", "/usr/games", "/usr/local/games"}) {
    if (here == canonical(system)) return true;
  }
  return false;
}

// Whether the program may write beside itself. access(2) is the kernel's
// answer and also says no for a read-only mount or a path that cannot exist.
bool canWriteBeside(const std::string& appFolder, const std::string& beside) {
  const std::string target = isFolder(beside) ? beside : appFolder;
  return ::access(target.c_str(), W_OK | X_OK) == 0;
}

// XDG_PICTURES_DIR from user-dirs.dirs, a shell fragment of lines such as
// XDG_PICTURES_DIR="$HOME/Pictures"; the last assignment wins. Empty when
// the file does not set it.
std::string fromUserDirsFile(const std::string& homeFolder) {
  std::string config = env("XDG_CONFIG_HOME");
  if (config.empty() || config.front() != '/') {
    if (homeFolder.empty()) return {};
    config = homeFolder + "/.config";
  }
  std::ifstream file(config + "/user-dirs.dirs");
  const std::string key = "XDG_PICTURES_DIR=";
  std::string found;
  for (std::string line; std::getline(file, line);) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string raw = line.substr(start + key.size());
    std::string value;
    if (!raw.empty() && raw.front() == '"') {
      for (size_t i = 1; i < raw.size() && raw[i] != '"'; ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
        value += raw[i];
      }
    } else {
      value = raw.substr(0, raw.find_first_of(" \t#"));
    }
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
      value = homeFolder.empty() ? std::string() : homeFolder + value.substr(5);
    }
    found = value;
  }
  return found;
}

}  // namespace

std::string picturesFolder() {
  const std::string homeFolder = home();
  std::string configured = fromUserDirsFile(homeFolder);
  if (configured.empty()) configured = env("XDG_PICTURES_DIR");
  if (!configured.empty() && configured.front() == '/' && isFolder(configured)) {
    return withoutTrailingSlash(configured);
  }
  if (homeFolder.empty()) return {};
  return below(homeFolder, "Pictures");
}

std::string capturedFolder() {
  const std::string app = vba::AppPath();
  const std::string beside = below(app, "captured");
  if (!isInstallLocation(app) && canWriteBeside(app, beside)) return beside;
  const std::string pictures = picturesFolder();
  // No home folder either: beside the program is the only place left, and a
  // save there reports why it fails.
  if (pictures.empty()) return beside;
  return below(pictures, "Ferrowick/captured");
}

void makeParentFolders(const std::string& capturedFolder) {
  const std::string pictures = picturesFolder();
  if (pictures.empty() || capturedFolder != below(pictures, "Ferrowick/captured")) return;
  // ~/Pictures may not exist yet; a configured pictures folder always does.
  ::mkdir(pictures.c_str(), 0777);
  ::mkdir(below(pictures, "Ferrowick").c_str(), 0777);
}

}  // namespace framefolder
