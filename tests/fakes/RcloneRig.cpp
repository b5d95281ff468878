#include "tests/fakes/RcloneRig.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

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
  // A port below the range the system hands out to sockets that ask for
  // any port: while the server is stopped no other socket takes it, and
  // nothing else ever answers at the rig's address. Another rig may hold the
  // one picked first: then the next is tried.
  const bool first = port_ == 0;
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (first) port_ = QRandomGenerator::global()->bounded(20000, 30000);
    if (listen(readOnly)) return !first || configure();
    if (!first) return false;
  }
  return false;
}

bool RcloneRig::listen(bool readOnly) {
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
  while (!said.contains("listening on 127.0.0.1:" + QByteArray::number(port_))) {
    if (!server_->waitForReadyRead(10000)) return false;
    said += server_->readAll();
  }
  return true;
}

// The remote, its password obscured as rclone keeps it.
bool RcloneRig::configure() {
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
