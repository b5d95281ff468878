#include "tests/fakes/PipeWireRig.h"

#include <gst/gst.h>
#include <signal.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <functional>

#ifndef FERROWICK_VCAM
#error "FERROWICK_VCAM must name the virtual camera program"
#endif

namespace fakes {
namespace {

// Generous: the rig also runs on a loaded two-core machine under sanitizers.
constexpr int kStartMs = 20000;

bool waitUntil(const std::function<bool()>& done, int ms) {
  QDeadlineTimer deadline(ms);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QThread::msleep(50);
  }
  return true;
}

bool writeFile(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

// Frames for an MJPEG camera: a ball moving over the colour, as JPEG files.
bool makeJpegs(const QString& folder, unsigned rgb) {
  QDir().mkpath(folder);
  gst_init(nullptr, nullptr);
  const std::string launch = "videotestsrc num-buffers=12 pattern=ball motion=wavy background-color=" +
                             std::to_string(0xFF000000u | rgb) +
                             " ! video/x-raw,width=640,height=480 ! jpegenc ! multifilesink location=" +
                             (folder + "/frame%02d.jpg").toStdString();
  GstElement* pipeline = gst_parse_launch(launch.c_str(), nullptr);
  if (!pipeline) return false;
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* msg = gst_bus_timed_pop_filtered(
      bus, 20 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  const bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
  if (msg) gst_message_unref(msg);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return ok;
}

}  // namespace

PipeWireRig::PipeWireRig() {
  if (!dir_.isValid()) {
    error_ = "no temporary folder";
    return;
  }
  const QString d = dir_.path();
  // WirePlumber must not bring in this machine's cameras, sound cards or
  // Bluetooth devices: the session holds the virtual cameras only.
  writeFile(
      d + "/config/wireplumber/main.lua.d/60-rig.lua",
      "v4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\nalsa_monitor.enabled = false\n");
  writeFile(d + "/config/wireplumber/bluetooth.lua.d/60-rig.lua", "bluez_monitor.enabled = false\n");
  QDir().mkpath(d + "/state");

  const QString bus = "unix:path=" + d + "/bus";
  env_ = QProcessEnvironment::systemEnvironment();
  env_.insert("XDG_RUNTIME_DIR", d);
  env_.insert("PIPEWIRE_RUNTIME_DIR", d);
  env_.insert("DBUS_SESSION_BUS_ADDRESS", bus);
  env_.insert("XDG_CONFIG_HOME", d + "/config");
  env_.insert("XDG_STATE_HOME", d + "/state");
  env_.remove("PIPEWIRE_REMOTE");
  // This process talks to the same session.
  qputenv("XDG_RUNTIME_DIR", d.toUtf8());
  qputenv("PIPEWIRE_RUNTIME_DIR", d.toUtf8());
  qputenv("DBUS_SESSION_BUS_ADDRESS", bus.toUtf8());
  qunsetenv("PIPEWIRE_REMOTE");

  dbus_.reset(startDaemon("dbus-daemon", {"--session", "--nofork", "--address=" + bus}, "dbus.log"));
  if (!waitUntil([&] { return QFile::exists(d + "/bus"); }, kStartMs)) {
    error_ = "dbus-daemon did not start";
    return;
  }
  if (!StartDaemon()) error_ = "pipewire or wireplumber did not start";
}

bool PipeWireRig::StartDaemon() {
  pipewire_.reset(startDaemon("pipewire", {}, "pipewire.log"));
  // Answering (a killed daemon's socket file may still be there).
  const bool answers = waitUntil(
      [&] {
        QProcess info;
        info.setProcessEnvironment(env_);
        info.start("pw-cli", {"info", "0"});
        return info.waitForFinished(5000) && info.exitStatus() == QProcess::NormalExit &&
               info.exitCode() == 0;
      },
      kStartMs);
  if (!answers) return false;
  wireplumber_.reset(startDaemon("wireplumber", {}, "wireplumber.log"));
  // WirePlumber is ready once it has made the default metadata.
  return waitUntil(
      [&] {
        QProcess ls;
        ls.setProcessEnvironment(env_);
        ls.start("pw-cli", {"ls", "Metadata"});
        return ls.waitForFinished(5000) && ls.readAllStandardOutput().contains("metadata.name = \"default\"");
      },
      kStartMs);
}

void PipeWireRig::KillDaemon() {
  pipewire_->kill();
  pipewire_->waitForFinished(5000);
  stop(wireplumber_.get());
  for (auto& [name, camera] : cameras_) stop(camera.get());
  cameras_.clear();
}

PipeWireRig::~PipeWireRig() {
  for (auto& [name, camera] : cameras_) stop(camera.get());
  stop(wireplumber_.get());
  stop(pipewire_.get());
  stop(dbus_.get());
}

QProcess* PipeWireRig::startDaemon(const QString& program, const QStringList& args, const QString& log) {
  auto* p = new QProcess;
  p->setProcessEnvironment(env_);
  p->setStandardInputFile(QProcess::nullDevice());
  p->setStandardOutputFile(dir_.path() + "/" + log);
  p->setStandardErrorFile(dir_.path() + "/" + log);
  p->start(program, args);
  return p;
}

void PipeWireRig::stop(QProcess* p) {
  if (!p || p->state() == QProcess::NotRunning) return;
  ::kill(static_cast<pid_t>(p->processId()), SIGCONT);  // it may be stopped
  p->terminate();
  if (!p->waitForFinished(5000)) {
    p->kill();
    p->waitForFinished(5000);
  }
}

bool PipeWireRig::HasNode(const std::string& nodeName) {
  QProcess ls;
  ls.setProcessEnvironment(env_);
  ls.start("pw-cli", {"ls", "Node"});
  return ls.waitForFinished(5000) &&
         ls.readAllStandardOutput().contains(QByteArray("node.name = \"") + nodeName.c_str() + "\"");
}

bool PipeWireRig::Plug(const std::string& nodeName, const std::string& description, unsigned rgb, bool mjpeg,
                       bool wait) {
  if (!Ok() || cameras_.count(nodeName)) return false;
  QStringList args = {QString::fromStdString(nodeName), QString::fromStdString(description),
                      QString::asprintf("%06x", rgb & 0xFFFFFF)};
  if (mjpeg) {
    const QString folder = dir_.path() + "/jpeg-" + QString::fromStdString(nodeName);
    if (!makeJpegs(folder, rgb)) return false;
    args << folder;
  }
  auto& camera = cameras_[nodeName];
  camera.reset(startDaemon(FERROWICK_VCAM, args, "camera-" + QString::fromStdString(nodeName) + ".log"));
  if (!wait) return camera->waitForStarted(kStartMs);
  return waitUntil([&] { return HasNode(nodeName); }, kStartMs);
}

void PipeWireRig::Stall(const std::string& nodeName) {
  if (cameras_.count(nodeName)) ::kill(static_cast<pid_t>(cameras_[nodeName]->processId()), SIGSTOP);
}

void PipeWireRig::Resume(const std::string& nodeName) {
  if (cameras_.count(nodeName)) ::kill(static_cast<pid_t>(cameras_[nodeName]->processId()), SIGCONT);
}

bool PipeWireRig::Unplug(const std::string& nodeName, bool wait) {
  auto it = cameras_.find(nodeName);
  if (it == cameras_.end()) return false;
  it->second->kill();
  it->second->waitForFinished(5000);
  cameras_.erase(it);
  if (!wait) return true;
  return waitUntil([&] { return !HasNode(nodeName); }, kStartMs);
}

}  // namespace fakes
