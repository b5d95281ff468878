#include "tests/fakes/LaunchDriver.h"

#include <utility>

#include "platform/gstsession.h"

namespace fakes {
namespace {

class LaunchDriver : public gstcapture::PipelineDriver {
 public:
  LaunchDriver(std::string launch, std::string name)
      : PipelineDriver(std::move(name)), launch_(std::move(launch)) {}

 protected:
  GstElement* build(int, int, int) override { return parseLaunch(launch_); }

 private:
  std::string launch_;
};

}  // namespace

std::shared_ptr<avicap32::CaptureDriver> makeLaunchDriver(const std::string& description,
                                                          const std::string& name) {
  return std::make_shared<LaunchDriver>(description, name);
}

}  // namespace fakes
