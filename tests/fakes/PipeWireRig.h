#pragma once
// A private PipeWire session for camera tests: D-Bus, PipeWire and
// WirePlumber started in a runtime folder of their own (real devices'
// monitors off), and virtual cameras published on it. This process is pointed
// at the session, so GStreamer's PipeWire device provider sees its cameras.
// Everything is stopped and removed when the rig goes. One rig per process:
// the program's device monitor, started once, stays with the first session
// (ctest runs each test in a process of its own).
#include <QProcess>
#include <QTemporaryDir>
#include <map>
#include <memory>
#include <string>

namespace fakes {

class PipeWireRig {
 public:
  PipeWireRig();
  ~PipeWireRig();
  PipeWireRig(const PipeWireRig&) = delete;
  PipeWireRig& operator=(const PipeWireRig&) = delete;

  // Whether the session came up; Error() says what did not.
  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

  // Plugs in a virtual camera: a PipeWire node named nodeName, described as
  // description, the colour 0xRRGGBB with a moving square (raw YUY2: its
  // brightness follows the node's exposure and gain, and pumps while its
  // automatic exposure is on, as it is at first) or, with mjpeg, a moving
  // ball on that colour (MJPEG). True once the node is there
  // (with wait false: once the camera's process started).
  bool Plug(const std::string& nodeName, const std::string& description, unsigned rgb, bool mjpeg = false,
            bool wait = true);
  // Stops (SIGSTOP) and continues (SIGCONT) the camera's process: a stall
  // without an error.
  void Stall(const std::string& nodeName);
  void Resume(const std::string& nodeName);
  // Kills the camera's process: the node vanishes, as when unplugged. True
  // once the node is gone (with wait false: once the process is).
  bool Unplug(const std::string& nodeName, bool wait = true);
  // Whether a node of that name is on the daemon now.
  bool HasNode(const std::string& nodeName);
  // Kills the PipeWire daemon (as in a crash); WirePlumber and the cameras,
  // which need it, go with it.
  void KillDaemon();
  // Starts PipeWire and WirePlumber (again); true once they are ready. The
  // cameras are plugged in again by the caller, as the session manager
  // publishes real ones again.
  bool StartDaemon();

 private:
  QProcess* startDaemon(const QString& program, const QStringList& args, const QString& log);
  void stop(QProcess* p);
  QProcessEnvironment env_;
  QTemporaryDir dir_;
  std::string error_;
  std::unique_ptr<QProcess> dbus_, pipewire_, wireplumber_;
  std::map<std::string, std::unique_ptr<QProcess>> cameras_;
};

}  // namespace fakes
