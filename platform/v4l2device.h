#pragma once
// The system calls a camera's V4L2 device node is reached through: open,
// ioctl, close. A seam: the real calls by default, a fake device in tests.
#include <memory>
#include <string>

namespace v4l2device {

class System {
 public:
  virtual ~System() = default;
  // open(2) for reading and writing, without blocking: a descriptor, or -1
  // with errno set.
  virtual int open(const std::string& path);
  // ioctl(2): 0, or -1 with errno set.
  virtual int ioctl(int fd, unsigned long request, void* arg);
  virtual void close(int fd);
};

// The calls in use; the real ones until another is set.
System& system();
// Replaces the calls (null: the real ones again).
void setSystem(std::shared_ptr<System> system);

}  // namespace v4l2device
