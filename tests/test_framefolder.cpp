// Where frames go, and what the Start box says, for each kind of copy and
// each state of the user's pictures folder.
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "platform/framefolder.h"
#include "tests/fakes/MainWindowFixture.h"

namespace {

using testsupport::ScopedEnv;

// A read-only bind mount of a folder onto itself: a folder no one can write,
// root included, which file permissions alone cannot give.
class ReadOnlyMount {
 public:
  explicit ReadOnlyMount(const std::string& folder) : folder_(folder) {
    QDir().mkpath(QString::fromStdString(folder));
    if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      error_ = std::strerror(errno);
      return;
    }
    mounted_ = true;
    if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      error_ = std::strerror(errno);
    }
  }
  ~ReadOnlyMount() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  const std::string& error() const { return error_; }

 private:
  std::string folder_;
  bool mounted_ = false;
  std::string error_;
};

std::string accountHome() {
  const passwd* pw = ::getpwuid(::getuid());
  return pw ? pw->pw_dir : "";
}

}  // namespace

class FrameFolder : public MainWindowTest {
 protected:
  std::string root() const { return dir.path().toStdString(); }
  std::string homeFolder() const { return root() + "/home"; }
  void makeFolder(const std::string& path) const { ASSERT_TRUE(QDir().mkpath(QString::fromStdString(path))); }
};

TEST_F(FrameFolder, BesideTheProgramOnlyWhereItsFolderIsItsOwn) {
  makeFolder(homeFolder());
  makeFolder(root() + "/shots");
  makeFolder(homeFolder() + "/Bilder");
  makeFolder(root() + "/config");
  {
    QFile plain(QString::fromStdString(root() + "/plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  }
  {
    QFile dirs(QString::fromStdString(root() + "/config/user-dirs.dirs"));
    ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
    dirs.write(
        "# written by "
        "xdg-user-dirs-update\nXDG_PICTURES_DIR=\"$HOME/Elsewhere\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  }
  const std::string defaultPictures = homeFolder() + "/Pictures/Ferrowick/captured";
  ReadOnlyMount readOnly(root() + "/ro");

  struct Case {
    const char* what;
    std::string appFolder;
    std::optional<std::string> home;  // none: HOME unset
    std::string configHome;
    std::optional<std::string> picturesEnv;
    std::string expected;
  };
  const std::string home = homeFolder();
  const std::string shots = root() + "/shots";
  const std::string config = root() + "/config";
  const std::string nowhere = root() + "/config/empty";
  const Case cases[] = {
      {"a build folder", root(), home, nowhere, std::nullopt, root() + "/captured"},
      {"a build folder, pictures folder set", root(), home, nowhere, shots, root() + "/captured"},
      {"the install location", "/usr/bin", home, nowhere, std::nullopt, defaultPictures},
      {"the install location through a link", "/bin", home, nowhere, std::nullopt, defaultPictures},
      {"a folder under a plain file", root() + "/plain/app", home, nowhere, std::nullopt, defaultPictures},
      {"a read-only folder", root() + "/ro", home, nowhere, std::nullopt, defaultPictures},
      {"XDG_PICTURES_DIR set", "/usr/bin", home, nowhere, shots, shots + "/Ferrowick/captured"},
      {"XDG_PICTURES_DIR set with a trailing slash", "/usr/bin", home, nowhere, shots + "/",
       shots + "/Ferrowick/captured"},
      {"XDG_PICTURES_DIR at a missing folder", "/usr/bin", home, nowhere, root() + "/unmounted/Pictures",
       defaultPictures},
      {"XDG_PICTURES_DIR relative", "/usr/bin", home, nowhere, "shots", defaultPictures},
      {"user-dirs.dirs overrides the environment", "/usr/bin", home, config, shots,
       homeFolder() + "/Bilder/Ferrowick/captured"},
      {"HOME unset", "/usr/bin", std::nullopt, nowhere, std::nullopt,
       accountHome() + "/Pictures/Ferrowick/captured"},
  };
  open({});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.appFolder == root() + "/ro" && !readOnly.error().empty()) {
      // Mounting needs a privilege a container may not grant; the folder
      // under a plain file still covers a folder that cannot be written.
      std::cout << "skipped, cannot make a read-only folder here: " << readOnly.error() << "\n";
      continue;
    }
    ScopedEnv homeEnv("HOME", c.home ? c.home->c_str() : nullptr);
    ScopedEnv configEnv("XDG_CONFIG_HOME", c.configHome.c_str());
    ScopedEnv picturesEnv("XDG_PICTURES_DIR", c.picturesEnv ? c.picturesEnv->c_str() : nullptr);
    vba::setAppPath(c.appFolder);
    EXPECT_EQ(framefolder::capturedFolder(), c.expected);
    boxes.clear();
    form->cmdStart.Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].prompt, "Captured frames will be saved in " + c.expected + "/");
  }
  // Deciding makes nothing: a Start that is never followed by a frame leaves
  // the home folder as it was.
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(homeFolder() + "/Pictures")));
}

// An installed copy's first frame makes ~/Pictures/Ferrowick/captured and is
// saved there under its usual name; nothing is written beside the program.
TEST_F(FrameFolder, InstalledCopySavesIntoANewPicturesFolder) {
  makeFolder(homeFolder());
  ScopedEnv homeEnv("HOME", homeFolder().c_str());
  ScopedEnv configEnv("XDG_CONFIG_HOME", nullptr);
  ScopedEnv picturesEnv("XDG_PICTURES_DIR", nullptr);
  const bool besideExisted = QFileInfo::exists("/usr/bin/captured");
  open({"cam"});
  vba::setAppPath("/usr/bin");
  startLive();
  ASSERT_TRUE(form->saveframe()) << form->lblStatus.Caption();
  form->frameStore.waitIdle();
  EXPECT_EQ(QDir(QString::fromStdString(homeFolder() + "/Pictures/Ferrowick/captured")).entryList(QDir::Files),
            QStringList{"05_03_2007 080409.bmp"});
  if (!besideExisted) {
    EXPECT_FALSE(QFileInfo::exists("/usr/bin/captured"));
  }
}
