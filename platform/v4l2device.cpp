#include "platform/v4l2device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace v4l2device {
namespace {

std::shared_ptr<System>& installed() {
  static std::shared_ptr<System> system = std::make_shared<System>();
  return system;
}

}  // namespace

int System::open(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); }

int System::ioctl(int fd, unsigned long request, void* arg) {
  int r;
  // A call interrupted by a signal is made again, as V4L2's own tools do.
  do {
    r = ::ioctl(fd, request, arg);
  } while (r == -1 && errno == EINTR);
  return r;
}

void System::close(int fd) { ::close(fd); }

System& system() { return *installed(); }

void setSystem(std::shared_ptr<System> system) {
  installed() = system ? std::move(system) : std::make_shared<System>();
}

}  // namespace v4l2device
