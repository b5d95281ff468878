// The runtime's file and folder operations and its picture saver, on real
// files in a temporary folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/gdi32.h"
#include "platform/olepro32.h"
#include "platform/vba.h"
#include "tests/fakes/TestSupport.h"

namespace {

using testsupport::errorOf;

// A folder holding a plain file "file.txt" and a folder "sub".
class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    root = tmp.path().toStdString();
    write(root + "/file.txt", "old");
    ASSERT_TRUE(QDir(tmp.path()).mkdir("sub"));
  }
  static void write(const std::string& path, const QByteArray& bytes) { testsupport::writeFile(path, bytes); }
  static QByteArray read(const std::string& path) { return testsupport::readFile(path); }
  static bool exists(const std::string& path) { return QFileInfo::exists(QString::fromStdString(path)); }

  QTemporaryDir tmp;
  std::string root;
};

TEST_F(Files, DirFindsFilesAndFoldersOnlyWhenAsked) {
  struct Case {
    const char* path;
    int attributes;
    const char* name;
  };
  const Case cases[] = {
      {"/file.txt", vba::vbNormal, "file.txt"},
      {"/file.txt", vba::vbDirectory, "file.txt"},
      {"/sub", vba::vbNormal, ""},
      {"/sub", vba::vbDirectory, "sub"},
      {"/missing", vba::vbDirectory, ""},
      {"/file.txt/inner", vba::vbDirectory, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(vba::Dir(root + c.path, c.attributes), c.name);
  }
}

TEST_F(Files, MkDirCreatesOrFailsWithTheRightNumber) {
  vba::MkDir(root + "/captured");
  EXPECT_TRUE(QFileInfo(QString::fromStdString(root + "/captured")).isDir());

  struct Case {
    const char* path;
    int error;
  };
  const Case cases[] = {
      {"/sub", vba::vbErrPathFileAccess},         // a folder is there
      {"/file.txt", vba::vbErrPathFileAccess},    // a file is there
      {"/missing/new", vba::vbErrPathNotFound},   // no parent
      {"/file.txt/new", vba::vbErrPathNotFound},  // parent is a plain file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(errorOf([&] { vba::MkDir(root + c.path); }), c.error);
  }
  EXPECT_EQ(read(root + "/file.txt"), "old");
}

TEST_F(Files, NameMovesAFile) {
  vba::Name(root + "/file.txt", root + "/sub/renamed.bmp");
  EXPECT_FALSE(exists(root + "/file.txt"));
  EXPECT_EQ(read(root + "/sub/renamed.bmp"), "old");
}

TEST_F(Files, NameNeverReplacesAndFailsWithTheRightNumber) {
  write(root + "/taken.bmp", "taken");
  struct Case {
    const char* from;
    const char* to;
    int error;
  };
  const Case cases[] = {
      {"/file.txt", "/taken.bmp", vba::vbErrFileAlreadyExists},
      {"/file.txt", "/sub", vba::vbErrFileAlreadyExists},
      {"/missing", "/new.bmp", vba::vbErrFileNotFound},
      {"/file.txt", "/missing/new.bmp", vba::vbErrPathNotFound},
      {"/file.txt", "/taken.bmp/new.bmp", vba::vbErrPathNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    EXPECT_EQ(errorOf([&] { vba::Name(root + c.from, root + c.to); }), c.error);
  }
  EXPECT_EQ(read(root + "/file.txt"), "old");
  EXPECT_EQ(read(root + "/taken.bmp"), "taken");
}

// A 4 x 3 true-colour bitmap picture that owns its bitmap.
olepro32::StdPicture makePicture() {
  HDC dc = gdi32::CreateCompatibleDC(nullptr);
  HBITMAP bitmap = gdi32::CreateCompatibleBitmap(dc, 4, 3);
  gdi32::DeleteDC(dc);
  olepro32::PICTDESC desc;
  desc.cbSizeofstruct = sizeof desc;
  desc.picType = olepro32::PICTYPE_BITMAP;
  desc.bmp.hbitmap = bitmap;
  void* object = nullptr;
  EXPECT_EQ(olepro32::OleCreatePictureIndirect(&desc, olepro32::IID_IPictureDisp, TRUE, &object), S_OK);
  return olepro32::StdPicture(static_cast<olepro32::IPictureDisp*>(object));
}

class SavePicture : public Files {
 protected:
  void TearDown() override {
    vba::setFileWriter(nullptr);
    vba::setDiskSpaceProbe(nullptr);
  }
  const olepro32::StdPicture picture = makePicture();
  const std::vector<uint8_t> bmp = gdi32::encodeBmp(picture.Handle(), picture.hPal());
  QByteArray expected() const { return QByteArray(reinterpret_cast<const char*>(bmp.data()), bmp.size()); }
};

TEST_F(SavePicture, WritesTheBitmapReplacingALongerFile) {
  ASSERT_FALSE(bmp.empty());
  write(root + "/frame.bmp", QByteArray(4096, 'x'));
  vba::SavePicture(picture, root + "/frame.bmp");
  EXPECT_EQ(read(root + "/frame.bmp"), expected());
}

TEST_F(SavePicture, CompletesShortAndInterruptedWrites) {
  int calls = 0;
  vba::setFileWriter([&](int fd, const void* buf, size_t count) -> ssize_t {
    if (++calls % 3 == 0) {
      errno = EINTR;
      return -1;
    }
    return ::write(fd, buf, std::min<size_t>(count, 7));
  });
  vba::SavePicture(picture, root + "/frame.bmp");
  EXPECT_EQ(read(root + "/frame.bmp"), expected());
}

TEST_F(SavePicture, AFailedWriteLeavesNoFile) {
  struct Case {
    int err;
    int error;
  };
  const Case cases[] = {
      {ENOSPC, vba::vbErrDiskFull}, {EDQUOT, vba::vbErrDiskFull}, {EIO, vba::vbErrPathFileAccess}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    // The disk fills up after the first 20 bytes.
    size_t written = 0;
    vba::setFileWriter([&](int fd, const void* buf, size_t count) -> ssize_t {
      if (written >= 20) {
        errno = c.err;
        return -1;
      }
      const ssize_t n = ::write(fd, buf, std::min<size_t>(count, 20 - written));
      written += static_cast<size_t>(n);
      return n;
    });
    EXPECT_EQ(errorOf([&] { vba::SavePicture(picture, root + "/frame.bmp"); }), c.error);
    EXPECT_FALSE(exists(root + "/frame.bmp"));
  }
}

TEST_F(SavePicture, PathsThatCannotBeWritten) {
  struct Case {
    const char* path;
    int error;
  };
  const Case cases[] = {
      {"/missing/frame.bmp", vba::vbErrPathNotFound},
      {"/file.txt/frame.bmp", vba::vbErrPathNotFound},
      {"/sub", vba::vbErrPathFileAccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(errorOf([&] { vba::SavePicture(picture, root + c.path); }), c.error);
  }
  EXPECT_TRUE(QFileInfo(QString::fromStdString(root + "/sub")).isDir());
  EXPECT_EQ(read(root + "/file.txt"), "old");
}

TEST_F(SavePicture, NoPictureIsAnInvalidPicture) {
  EXPECT_EQ(errorOf([&] { vba::SavePicture(olepro32::StdPicture(), root + "/frame.bmp"); }),
            vba::vbErrInvalidPicture);
  EXPECT_FALSE(exists(root + "/frame.bmp"));
}

}  // namespace

TEST(Settings, KeptInTheConfigFolderWrittenThroughAndRemovable) {
  const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  ASSERT_FALSE(config.isEmpty());
  EXPECT_EQ(vba::GetSetting("SettingsTest", "Frames", "Format", "BMP"), "BMP");
  vba::SaveSetting("SettingsTest", "Frames", "Format", "JPEG");
  vba::SaveSetting("SettingsTest", "Frames", "Size", "Full");
  vba::SaveSetting("SettingsTest", "Job", "Folder", "/a b/c=d;e");
  // On the disk at once, where another process (the next run) reads it.
  QFile file(config + "/SettingsTest/SettingsTest.conf");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll().contains("Format=JPEG"));
  EXPECT_EQ(vba::GetSetting("SettingsTest", "Job", "Folder"), "/a b/c=d;e");
  using All = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(vba::GetAllSettings("SettingsTest", "Frames"), (All{{"Format", "JPEG"}, {"Size", "Full"}}));
  vba::DeleteSetting("SettingsTest", "Frames", "Format");
  EXPECT_EQ(vba::GetSetting("SettingsTest", "Frames", "Format", "BMP"), "BMP");
  EXPECT_EQ(vba::GetSetting("SettingsTest", "Frames", "Size"), "Full");
  vba::DeleteSetting("SettingsTest", "Job");
  EXPECT_EQ(vba::GetSetting("SettingsTest", "Job", "Folder", "none"), "none");
  // A settings folder that cannot be made (a plain file in its place).
  QFile blocker(config + "/Blocked");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  EXPECT_EQ(testsupport::errorOf([] { vba::SaveSetting("Blocked", "S", "K", "V"); }),
            vba::vbErrPathFileAccess);
}
