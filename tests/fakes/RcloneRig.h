#pragma once
// A storage server for sending tests: a folder served over SFTP by
// `rclone serve sftp` on 127.0.0.1 with a user and a password, and a
// throw-away rclone configuration (RCLONE_CONFIG, set for the rig's life)
// whose remote "rig" reaches it. It can be stopped, and started again on the
// same port (read-only, refusing every upload, when asked).
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <optional>
#include <string>

#include "tests/fakes/TestSupport.h"

namespace fakes {

class RcloneRig {
 public:
  RcloneRig();
  ~RcloneRig();
  RcloneRig(const RcloneRig&) = delete;
  RcloneRig& operator=(const RcloneRig&) = delete;

  // Whether the server is up.
  bool start(bool readOnly = false);
  void stop();
  // The folder the server serves.
  std::string served() const { return dir_.filePath("served").toStdString(); }

 private:
  bool listen(bool readOnly);
  bool configure();

  QTemporaryDir dir_;
  std::unique_ptr<QProcess> server_;
  int port_ = 0;
  std::optional<testsupport::ScopedEnv> config_;
};

}  // namespace fakes
