#pragma once
// Owning pointers for the GStreamer and GLib references the capture drivers
// hold: each is released by its owner's destructor. For the drivers' sources
// only (it includes GStreamer).
#include <gst/gst.h>

#include <memory>
#include <string>

namespace gstcapture {

// An owning pointer that releases with the library's own free function.
template <typename T, auto Release>
struct Releaser {
  void operator()(T* p) const { Release(p); }
};
template <typename T, auto Release>
using Owned = std::unique_ptr<T, Releaser<T, Release>>;

using ElementPtr = Owned<GstElement, gst_object_unref>;
using BusPtr = Owned<GstBus, gst_object_unref>;
using DevicePtr = Owned<GstDevice, gst_object_unref>;
using MessagePtr = Owned<GstMessage, gst_message_unref>;
using SamplePtr = Owned<GstSample, gst_sample_unref>;
using CapsPtr = Owned<GstCaps, gst_caps_unref>;
using StructurePtr = Owned<GstStructure, gst_structure_free>;
using ErrorPtr = Owned<GError, g_error_free>;
using StringPtr = Owned<gchar, g_free>;

// Takes ownership of a newly made element, whose reference may be floating.
inline ElementPtr adopt(GstElement* e) {
  return ElementPtr(e ? GST_ELEMENT(gst_object_ref_sink(e)) : nullptr);
}

// The text of a string the caller owns, which is freed.
inline std::string takeString(gchar* s) {
  StringPtr owned(s);
  return owned ? std::string(owned.get()) : std::string();
}

}  // namespace gstcapture
