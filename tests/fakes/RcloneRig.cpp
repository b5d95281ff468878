#include "tests/fakes/RcloneRig.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace fakes {
namespace {

constexpr const char* kUser = "ann";
constexpr const char* kPassword = "time-lapse";

}  // namespace

RcloneRig::RcloneRig() {
  QDir().mkpath(dir_.filePath("served"));
  config_.emplace("RCLONE_CONFIG", dir_.filePath("rclone.conf").toLocal8Bit().constData());
}

RcloneRig::~RcloneRig() { stop(); }

bool RcloneRig::start(bool readOnly) {
  stop();
  server_ = std::make_unique<QProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  // Its host keys, made at the first start, in the rig's folder.
  env.insert("XDG_CACHE_HOME", dir_.filePath("cache"));
  server_->setProcessEnvironment(env);
  server_->setProcessChannelMode(QProcess::MergedChannels);
  QStringList args = {"serve",  "sftp", served().c_str(), "--addr", "127.0.0.1:" + QString::number(port_),
                      "--user", kUser,  "--pass",         kPassword};
  if (readOnly) args << "--read-only";
  server_->start("rclone", args);
  QByteArray said;
  static const QRegularExpression listening(R"(listening on 127\.0\.0\.1:(\d+))");
  QRegularExpressionMatch m;
  while (!(m = listening.match(QString::fromLocal8Bit(said))).hasMatch()) {
    if (!server_->waitForReadyRead(10000)) return false;
    said += server_->readAll();
  }
  if (port_ != 0) return true;
  port_ = m.captured(1).toInt();
  // The remote, its password obscured as rclone keeps it.
  QProcess obscure;
  obscure.start("rclone", {"obscure", kPassword});
  if (!obscure.waitForFinished(10000)) return false;
  QFile conf(dir_.filePath("rclone.conf"));
  if (!conf.open(QIODevice::WriteOnly)) return false;
  conf.write("[rig]\ntype = sftp\nhost = 127.0.0.1\nport = " + QByteArray::number(port_) + "\nuser = " +
             kUser + "\npass = " + obscure.readAllStandardOutput().trimmed() + "\nshell_type = none\n");
  return true;
}

void RcloneRig::stop() {
  if (!server_) return;
  server_->terminate();
  if (!server_->waitForFinished(5000)) server_->kill();
  server_->waitForFinished(1000);
  server_.reset();
}

}  // namespace fakes
