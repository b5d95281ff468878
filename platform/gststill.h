#pragma once
// Full-size stills over GStreamer: the branch of a camera's pipeline that
// keeps its newest full-size sample, and that sample as a still, converted
// only when a frame is due.
#include <memory>
#include <string>

#include "platform/capturedriver.h"

typedef struct _GstElement GstElement;

namespace gstcapture {

// The branch (launch syntax) that keeps full-size samples: a tee named "t"
// whose one branch ends in an appsink named "still" holding the newest
// sample only; the preview's chain follows as "t. ! ...".
std::string stillBranch();

// The newest sample the pipeline's "still" appsink holds, as a still: the
// previous one again while no newer sample came; null when there is no such
// sink or no sample yet.
std::shared_ptr<const avicap32::StillFrame> newestStill(GstElement* pipeline,
                                                        std::shared_ptr<const avicap32::StillFrame> previous);

}  // namespace gstcapture
