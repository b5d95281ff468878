// The runtime's file and folder operations and its settings, on real files
// in a temporary folder.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <string>
#include <vector>

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
