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
  const std::string& Error() const { return error_; }

 private:
  std::string folder_;
  bool mounted_ = false;
  std::string error_;
};

std::string AccountHome() {
  const passwd* pw = ::getpwuid(::getuid());
  return pw ? pw->pw_dir : "";
}

}  // namespace

class FrameFolder : public MainWindowTest {
 protected:
  std::string Root() const { return dir.path().toStdString(); }
  std::string Home() const { return Root() + "/home"; }
  void MakeFolder(const std::string& path) const { ASSERT_TRUE(QDir().mkpath(QString::fromStdString(path))); }
};

TEST_F(FrameFolder, BesideTheProgramOnlyWhereItsFolderIsItsOwn) {
  MakeFolder(Home());
  MakeFolder(Root() + "/shots");
  MakeFolder(Home() + "/Bilder");
  MakeFolder(Root() + "/config");
  {
    QFile plain(QString::fromStdString(Root() + "/plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  }
  {
    QFile dirs(QString::fromStdString(Root() + "/config/user-dirs.dirs"));
    ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
    dirs.write(
        "# written by "
        "xdg-user-dirs-update\nXDG_PICTURES_DIR=\"$HOME/Elsewhere\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  }
  const std::string defaultPictures = Home() + "/Pictures/Ferrowick/captured";
  ReadOnlyMount readOnly(Root() + "/ro");

  struct Case {
    const char* what;
    std::string appFolder;
    std::optional<std::string> home;  // none: HOME unset
    std::string configHome;
    std::optional<std::string> picturesEnv;
    std::string expected;
  };
  const std::string home = Home();
  const std::string shots = Root() + "/shots";
  const std::string config = Root() + "/config";
  const std::string nowhere = Root() + "/config/empty";
  const Case cases[] = {
      {"a build folder", Root(), home, nowhere, std::nullopt, Root() + "/captured"},
      {"a build folder, pictures folder set", Root(), home, nowhere, shots, Root() + "/captured"},
      {"the install location", "/usr/bin", home, nowhere, std::nullopt, defaultPictures},
      {"the install location through a link", "/bin", home, nowhere, std::nullopt, defaultPictures},
      {"a folder under a plain file", Root() + "/plain/app", home, nowhere, std::nullopt, defaultPictures},
      {"a read-only folder", Root() + "/ro", home, nowhere, std::nullopt, defaultPictures},
      {"XDG_PICTURES_DIR set", "/usr/bin", home, nowhere, shots, shots + "/Ferrowick/captured"},
      {"XDG_PICTURES_DIR set with a trailing slash", "/usr/bin", home, nowhere, shots + "/",
       shots + "/Ferrowick/captured"},
      {"XDG_PICTURES_DIR at a missing folder", "/usr/bin", home, nowhere, Root() + "/unmounted/Pictures",
       defaultPictures},
      {"XDG_PICTURES_DIR relative", "/usr/bin", home, nowhere, "shots", defaultPictures},
      {"user-dirs.dirs overrides the environment", "/usr/bin", home, config, shots,
       Home() + "/Bilder/Ferrowick/captured"},
      {"HOME unset", "/usr/bin", std::nullopt, nowhere, std::nullopt,
       AccountHome() + "/Pictures/Ferrowick/captured"},
  };
  Open({});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.appFolder == Root() + "/ro" && !readOnly.Error().empty()) {
      ADD_FAILURE() << "cannot make a read-only folder: " << readOnly.Error();
      continue;
    }
    ScopedEnv homeEnv("HOME", c.home ? c.home->c_str() : nullptr);
    ScopedEnv configEnv("XDG_CONFIG_HOME", c.configHome.c_str());
    ScopedEnv picturesEnv("XDG_PICTURES_DIR", c.picturesEnv ? c.picturesEnv->c_str() : nullptr);
    vba::SetAppPath(c.appFolder);
    EXPECT_EQ(framefolder::CapturedFolder(), c.expected);
    boxes.clear();
    form->cmdStart.Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].prompt, "Captured frames will be saved in " + c.expected + "/");
  }
  // Deciding makes nothing: a Start that is never followed by a frame leaves
  // the home folder as it was.
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(Home() + "/Pictures")));
}

// An installed copy's first frame makes ~/Pictures/Ferrowick/captured and is
// saved there under its usual name; nothing is written beside the program.
TEST_F(FrameFolder, InstalledCopySavesIntoANewPicturesFolder) {
  MakeFolder(Home());
  ScopedEnv homeEnv("HOME", Home().c_str());
  ScopedEnv configEnv("XDG_CONFIG_HOME", nullptr);
  ScopedEnv picturesEnv("XDG_PICTURES_DIR", nullptr);
  const bool besideExisted = QFileInfo::exists("/usr/bin/captured");
  Open({"cam"});
  vba::SetAppPath("/usr/bin");
  StartLive();
  ASSERT_TRUE(form->saveframe()) << form->lblStatus.Caption();
  EXPECT_EQ(QDir(QString::fromStdString(Home() + "/Pictures/Ferrowick/captured")).entryList(QDir::Files),
            QStringList{"05_03_2007 080409.bmp"});
  if (!besideExisted) {
    EXPECT_FALSE(QFileInfo::exists("/usr/bin/captured"));
  }
}
