#include "tests/fakes/FakeCameras.h"

#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace fakes {

// One element made for a camera: the bin, its source, whether it failed.
struct Made {
  GWeakRef bin;
  GWeakRef source;
  std::atomic<bool> dead = false;
  Made() {
    g_weak_ref_init(&bin, nullptr);
    g_weak_ref_init(&source, nullptr);
  }
  ~Made() {
    g_weak_ref_clear(&bin);
    g_weak_ref_clear(&source);
  }
};

struct FakeCamera::State {
  FakeCameraModel model;
  std::atomic<bool> stalled = false;
  std::mutex mutex;
  std::vector<std::shared_ptr<Made>> made;
  std::condition_variable released;
  bool hung = false;
  int blocked = 0;  // state changes waiting for hung to end

  void waitWhileHung() {
    std::unique_lock lock(mutex);
    ++blocked;
    released.wait(lock, [this] { return !hung; });
    --blocked;
  }

  std::shared_ptr<Made> newest() {
    std::lock_guard lock(mutex);
    return made.empty() ? nullptr : made.back();
  }
};

namespace {

using State = FakeCamera::State;

constexpr const char* kStateKey = "ferrowick-fake-camera";

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}
// Plugged devices, and the providers that announce them.
std::vector<GstDevice*>& plugged() {
  static std::vector<GstDevice*> v;
  return v;
}
std::vector<GstDeviceProvider*>& started() {
  static std::vector<GstDeviceProvider*> v;
  return v;
}

GstPadProbeReturn dropWhenStalled(GstPad*, GstPadProbeInfo*, gpointer data) {
  auto* pair = static_cast<std::pair<std::shared_ptr<State>, std::shared_ptr<Made>>*>(data);
  return pair->first->stalled || pair->second->dead ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

// The bin's chain is made when it is linked: jpegenc goes in when what it is
// linked to wants MJPEG.
void onLinked(GstPad* ghost, GstPad* peer, gpointer data) {
  auto* state = static_cast<std::shared_ptr<State>*>(data);
  GstElement* bin = GST_ELEMENT(gst_object_get_parent(GST_OBJECT(ghost)));
  if (!bin) return;
  GstCaps* wanted = gst_pad_query_caps(peer, nullptr);
  GstCaps* jpegCaps = gst_caps_from_string("image/jpeg");
  GstCaps* rawCaps = gst_caps_from_string("video/x-raw");
  const bool jpeg = gst_caps_can_intersect(wanted, jpegCaps) && !gst_caps_can_intersect(wanted, rawCaps);
  gst_caps_unref(wanted);
  gst_caps_unref(jpegCaps);
  gst_caps_unref(rawCaps);

  GstElement* source = gst_element_factory_make("videotestsrc", nullptr);
  g_object_set(source, "is-live", TRUE, nullptr);
  gst_util_set_object_arg(G_OBJECT(source), "pattern", "ball");
  g_object_set(source, "background-color", 0xFF000000u | (*state)->model.rgb, nullptr);
  gst_bin_add(GST_BIN(bin), source);
  GstElement* last = source;
  if (jpeg) {
    last = gst_element_factory_make("jpegenc", nullptr);
    gst_bin_add(GST_BIN(bin), last);
    gst_element_link(source, last);
  }
  GstPad* out = gst_element_get_static_pad(last, "src");
  gst_ghost_pad_set_target(GST_GHOST_PAD(ghost), out);
  gst_object_unref(out);

  auto made = std::make_shared<Made>();
  g_weak_ref_set(&made->bin, bin);
  g_weak_ref_set(&made->source, source);
  GstPad* pad = gst_element_get_static_pad(source, "src");
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BUFFER, dropWhenStalled,
      new std::pair<std::shared_ptr<State>, std::shared_ptr<Made>>(*state, made),
      [](gpointer p) { delete static_cast<std::pair<std::shared_ptr<State>, std::shared_ptr<Made>>*>(p); });
  gst_object_unref(pad);
  {
    std::lock_guard lock((*state)->mutex);
    (*state)->made.push_back(made);
  }
  gst_element_sync_state_with_parent(source);
  if (last != source) gst_element_sync_state_with_parent(last);
  gst_object_unref(bin);
}

// A subclass of parent, with the class's own init.
template <typename Class, typename Instance>
GType subclass(GType parent, const char* name, GClassInitFunc init) {
  GTypeInfo info{};
  info.class_size = sizeof(Class);
  info.class_init = init;
  info.instance_size = sizeof(Instance);
  return g_type_register_static(parent, name, &info, GTypeFlags(0));
}

// The camera's element: a bin whose state changes wait while the camera
// is hung.
GstElementClass* binParent = nullptr;

GstStateChangeReturn changeState(GstElement* bin, GstStateChange transition) {
  if (auto* state = static_cast<std::shared_ptr<State>*>(g_object_get_data(G_OBJECT(bin), kStateKey)))
    (*state)->waitWhileHung();
  return binParent->change_state(bin, transition);
}

void binClassInit(gpointer klass, gpointer) {
  binParent = GST_ELEMENT_CLASS(g_type_class_peek_parent(klass));
  GST_ELEMENT_CLASS(klass)->change_state = changeState;
}

GType fakeBinType() {
  static const GType type =
      subclass<GstBinClass, GstBin>(GST_TYPE_BIN, "FerrowickFakeCameraBin", binClassInit);
  return type;
}

void keepState(gpointer object, const std::shared_ptr<State>& state) {
  g_object_set_data_full(G_OBJECT(object), kStateKey, new std::shared_ptr<State>(state),
                         [](gpointer p) { delete static_cast<std::shared_ptr<State>*>(p); });
}

GstElement* createElement(GstDevice* device, const gchar* name) {
  auto* state = static_cast<std::shared_ptr<State>*>(g_object_get_data(G_OBJECT(device), kStateKey));
  GstElement* bin = GST_ELEMENT(g_object_new(fakeBinType(), "name", name, nullptr));
  keepState(bin, *state);
  GstPad* ghost = gst_ghost_pad_new_no_target("src", GST_PAD_SRC);
  g_signal_connect_data(
      ghost, "linked", G_CALLBACK(onLinked), new std::shared_ptr<State>(*state),
      [](gpointer p, GClosure*) { delete static_cast<std::shared_ptr<State>*>(p); }, GConnectFlags(0));
  gst_element_add_pad(bin, ghost);
  return bin;
}

void deviceClassInit(gpointer klass, gpointer) { GST_DEVICE_CLASS(klass)->create_element = createElement; }

GType fakeDeviceType() {
  static const GType type =
      subclass<GstDeviceClass, GstDevice>(GST_TYPE_DEVICE, "FerrowickFakeCamera", deviceClassInit);
  return type;
}

GList* probe(GstDeviceProvider*) {
  std::lock_guard lock(registryMutex());
  GList* list = nullptr;
  for (GstDevice* d : plugged()) list = g_list_append(list, gst_object_ref(d));
  return list;
}

gboolean start(GstDeviceProvider* provider) {
  std::lock_guard lock(registryMutex());
  started().push_back(provider);
  for (GstDevice* d : plugged()) gst_device_provider_device_add(provider, d);
  return TRUE;
}

void stop(GstDeviceProvider* provider) {
  std::lock_guard lock(registryMutex());
  std::erase(started(), provider);
}

void providerClassInit(gpointer klass, gpointer) {
  auto* k = GST_DEVICE_PROVIDER_CLASS(klass);
  k->probe = probe;
  k->start = start;
  k->stop = stop;
  gst_device_provider_class_set_static_metadata(k, "Fake cameras", "Video/Source",
                                                "V4L2-like cameras for tests", "Ferrowick");
}

GType fakeProviderType() {
  static const GType type = subclass<GstDeviceProviderClass, GstDeviceProvider>(
      GST_TYPE_DEVICE_PROVIDER, "FerrowickFakeCameraProvider", providerClassInit);
  return type;
}

gboolean pluginInit(GstPlugin* plugin) {
  return gst_device_provider_register(plugin, "ferrowickfakecameras", GST_RANK_PRIMARY, fakeProviderType());
}

GstElement* newestSource(const std::shared_ptr<State>& state) {
  std::shared_ptr<Made> made = state->newest();
  return made ? GST_ELEMENT(g_weak_ref_get(&made->source)) : nullptr;
}

}  // namespace

void RegisterFakeCameraProvider() {
  static const bool registered = [] {
    gst_init(nullptr, nullptr);
    return gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "ferrowickfakecameras",
                                      "V4L2-like cameras for tests", pluginInit, "1.0", "LGPL", "ferrowick",
                                      "ferrowick", "https://ferrowick.example.org");
  }();
  (void)registered;
}

FakeCamera::FakeCamera(const FakeCameraModel& model) : state_(std::make_shared<State>()) {
  state_->model = model;
  GstCaps* caps = gst_caps_from_string(model.caps.c_str());
  GstStructure* props = gst_structure_new_empty("properties");
  gst_structure_set(props, "device.api", G_TYPE_STRING, "v4l2", nullptr);
  for (const auto& [key, value] : model.props)
    gst_structure_set(props, key.c_str(), G_TYPE_STRING, value.c_str(), nullptr);
  device_ = GST_DEVICE(g_object_new(fakeDeviceType(), "display-name", model.name.c_str(), "device-class",
                                    "Video/Source", "caps", caps, "properties", props, nullptr));
  gst_object_ref_sink(device_);
  gst_caps_unref(caps);
  gst_structure_free(props);
  keepState(device_, state_);
}

FakeCamera::~FakeCamera() {
  Unplug();
  gst_object_unref(device_);
}

void FakeCamera::Plug() {
  std::lock_guard lock(registryMutex());
  if (plugged_) return;
  plugged_ = true;
  plugged().push_back(device_);
  for (GstDeviceProvider* p : started()) gst_device_provider_device_add(p, device_);
}

void FakeCamera::Unplug() {
  std::lock_guard lock(registryMutex());
  if (!plugged_) return;
  plugged_ = false;
  std::erase(plugged(), device_);
  for (GstDeviceProvider* p : started()) gst_device_provider_device_remove(p, device_);
}

void FakeCamera::Fail() {
  std::shared_ptr<Made> made = state_->newest();
  GstElement* source = newestSource(state_);
  if (!source || !made) return;
  made->dead = true;  // no frame after the error, as from a device that is gone
  GError* read =
      g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ, "Could not read from resource.");
  gst_element_post_message(
      source, gst_message_new_error(GST_OBJECT(source), read, "Failed to dequeue buffer: No such device"));
  g_error_free(read);
  GError* stream =
      g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, "Internal data stream error.");
  gst_element_post_message(
      source, gst_message_new_error(GST_OBJECT(source), stream, "streaming stopped, reason error (-5)"));
  g_error_free(stream);
  gst_object_unref(source);
}

void FakeCamera::SetStalled(bool stalled) { state_->stalled = stalled; }

void FakeCamera::EndStream() {
  if (GstElement* source = newestSource(state_)) {
    gst_element_send_event(source, gst_event_new_eos());
    gst_object_unref(source);
  }
}

void FakeCamera::SetHung(bool hung) {
  std::lock_guard lock(state_->mutex);
  state_->hung = hung;
  state_->released.notify_all();
}

bool FakeCamera::Blocked() {
  std::lock_guard lock(state_->mutex);
  return state_->blocked > 0;
}

std::string FakeCamera::NegotiatedCaps() {
  std::shared_ptr<Made> made = state_->newest();
  GstElement* bin = made ? GST_ELEMENT(g_weak_ref_get(&made->bin)) : nullptr;
  if (!bin) return "";
  std::string text;
  GstPad* pad = gst_element_get_static_pad(bin, "src");
  if (GstCaps* caps = pad ? gst_pad_get_current_caps(pad) : nullptr) {
    gchar* s = gst_caps_to_string(caps);
    text = s;
    g_free(s);
    gst_caps_unref(caps);
  }
  if (pad) gst_object_unref(pad);
  gst_object_unref(bin);
  return text;
}

int FakeCamera::LiveElements() {
  std::lock_guard lock(state_->mutex);
  int n = 0;
  for (const auto& made : state_->made) {
    if (GObject* bin = static_cast<GObject*>(g_weak_ref_get(&made->bin))) {
      ++n;
      g_object_unref(bin);
    }
  }
  return n;
}

}  // namespace fakes
