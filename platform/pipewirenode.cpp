#include "platform/pipewirenode.h"

// libpipewire's method calls are macros made of GNU statement expressions.
#pragma GCC diagnostic ignored "-Wpedantic"

#include <pipewire/pipewire.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>

#include <linux/videodev2.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

namespace pipewirenode {
namespace {

using Clock = std::chrono::steady_clock;

void initOnce() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

struct PodFree {
  void operator()(spa_pod* pod) const { std::free(pod); }
};
using PodPtr = std::unique_ptr<spa_pod, PodFree>;

std::optional<int64_t> number(const spa_pod* pod) {
  int32_t i = 0;
  int64_t l = 0;
  bool b = false;
  float f = 0;
  double d = 0;
  if (spa_pod_get_int(pod, &i) == 0) return i;
  if (spa_pod_get_long(pod, &l) == 0) return l;
  if (spa_pod_get_bool(pod, &b) == 0) return b ? 1 : 0;
  if (spa_pod_get_float(pod, &f) == 0) return static_cast<int64_t>(f < 0 ? f - 0.5f : f + 0.5f);
  if (spa_pod_get_double(pod, &d) == 0) return static_cast<int64_t>(d < 0 ? d - 0.5 : d + 0.5);
  return std::nullopt;
}

// The type of a PropInfo: a choice of numbers (default first; a range's
// minimum and maximum, a step's step; an enumeration's alternatives) or one.
// False for a type other than whole numbers and switches (floating-point
// gains, strings, arrays): such a control is not offered.
bool readType(const spa_pod* type, Property& p) {
  const spa_pod* values = type;
  uint32_t count = 1, choice = SPA_CHOICE_None;
  if (spa_pod_is_choice(type)) {
    values = SPA_POD_CHOICE_CHILD(type);
    count = SPA_POD_CHOICE_N_VALUES(type);
    choice = SPA_POD_CHOICE_TYPE(type);
  }
  const uint32_t childType = SPA_POD_TYPE(values);
  const uint32_t size = SPA_POD_BODY_SIZE(values);
  const auto* body = static_cast<const uint8_t*>(SPA_POD_BODY_CONST(values));
  std::vector<int64_t> n;
  for (uint32_t i = 0; i < count; ++i) {
    const void* v = body + static_cast<size_t>(i) * size;
    if (childType == SPA_TYPE_Int) n.push_back(*static_cast<const int32_t*>(v));
    if (childType == SPA_TYPE_Long) n.push_back(*static_cast<const int64_t*>(v));
    if (childType == SPA_TYPE_Bool) n.push_back(*static_cast<const int32_t*>(v) ? 1 : 0);
  }
  if (n.empty()) return false;
  p.defaultValue = p.minimum = p.maximum = n[0];
  if (childType == SPA_TYPE_Bool) {
    p.kind = Property::Kind::Boolean;
    p.minimum = 0;
    p.maximum = 1;
  } else if (choice == SPA_CHOICE_Enum) {
    p.kind = Property::Kind::Choice;
    const auto [lo, hi] = std::minmax_element(n.begin() + (n.size() > 1 ? 1 : 0), n.end());
    p.minimum = *lo;
    p.maximum = *hi;
  } else if ((choice == SPA_CHOICE_Range || choice == SPA_CHOICE_Step) && n.size() >= 3) {
    p.minimum = n[1];
    p.maximum = n[2];
    if (choice == SPA_CHOICE_Step && n.size() >= 4 && n[3] > 0) p.step = n[3];
  }
  return true;
}

std::optional<Property> propertyOf(const spa_pod* pod) {
  if (!spa_pod_is_object_type(pod, SPA_TYPE_OBJECT_PropInfo)) return std::nullopt;
  Property p;
  bool identified = false, typed = false;
  const auto* object = reinterpret_cast<const spa_pod_object*>(pod);
  const spa_pod_prop* prop = nullptr;
  SPA_POD_OBJECT_FOREACH(object, prop) {
    switch (prop->key) {
      case SPA_PROP_INFO_id:
        identified = spa_pod_get_id(&prop->value, &p.id) == 0;
        break;
      case SPA_PROP_INFO_description:
      case SPA_PROP_INFO_name: {
        const char* text = nullptr;
        if (spa_pod_get_string(&prop->value, &text) == 0 && text && p.description.empty())
          p.description = text;
        break;
      }
      case SPA_PROP_INFO_type:
        typed = readType(&prop->value, p);
        break;
      case SPA_PROP_INFO_labels: {
        if (!spa_pod_is_struct(&prop->value)) break;
        std::optional<int64_t> value;
        const void* body = SPA_POD_BODY_CONST(&prop->value);
        const uint32_t size = SPA_POD_BODY_SIZE(&prop->value);
        for (auto* item = static_cast<const spa_pod*>(body); spa_pod_is_inside(body, size, item);
             item = static_cast<const spa_pod*>(spa_pod_next(item))) {
          const char* text = nullptr;
          if (spa_pod_get_string(item, &text) == 0 && value && text) {
            p.labels.emplace_back(*value, text);
            value.reset();
          } else {
            value = number(item);
          }
        }
        break;
      }
      default:
        break;
    }
  }
  if (!identified || !typed) return std::nullopt;
  return p;
}

// One connection to the daemon, bound to the named node once it is found.
class Client {
 public:
  explicit Client(const std::string& nodeName) : name_(nodeName) {
    initOnce();
    loop_ = pw_loop_new(nullptr);
    if (loop_) context_ = pw_context_new(loop_, nullptr, 0);
    if (context_) core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
      error_ = "PipeWire cannot be reached";
      return;
    }
    pw_core_add_listener(core_, &coreHook_, &kCoreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryHook_, &kRegistryEvents, this);
    if (!roundTrip()) return;
    if (nodeId_ == SPA_ID_INVALID) {
      error_ = "PipeWire has no node " + name_;
      return;
    }
    node_ = static_cast<pw_node*>(
        pw_registry_bind(registry_, nodeId_, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    pw_node_add_listener(node_, &nodeHook_, &kNodeEvents, this);
  }
  ~Client() {
    if (node_) {
      spa_hook_remove(&nodeHook_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(node_));
    }
    if (registry_) {
      spa_hook_remove(&registryHook_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    if (core_) {
      spa_hook_remove(&coreHook_);
      pw_core_disconnect(core_);
    }
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_loop_destroy(loop_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool ok() const { return node_ && error_.empty(); }
  const std::string& error() const { return error_; }

  // The node's parameters of one kind, as copies.
  std::vector<PodPtr> params(uint32_t id) {
    params_.clear();
    wanted_ = id;
    pw_node_enum_params(node_, 0, id, 0, UINT32_MAX, nullptr);
    roundTrip();
    wanted_ = SPA_ID_INVALID;
    return std::move(params_);
  }

  void setParam(uint32_t id, const spa_pod* pod) {
    pw_node_set_param(node_, id, 0, pod);
    roundTrip();
  }

 private:
  // Runs the loop until the daemon has answered everything asked so far.
  bool roundTrip() {
    synced_ = false;
    pending_ = pw_core_sync(core_, PW_ID_CORE, 0);
    const auto deadline = Clock::now() + kAnswerLimit;
    pw_loop_enter(loop_);
    while (!synced_ && error_.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        error_ = "PipeWire did not answer";
        break;
      }
      pw_loop_iterate(loop_, static_cast<int>(left.count()));
    }
    pw_loop_leave(loop_);
    return error_.empty();
  }

  static void onDone(void* data, uint32_t id, int seq) {
    auto* self = static_cast<Client*>(data);
    if (id == PW_ID_CORE && seq == self->pending_) self->synced_ = true;
  }
  static void onError(void* data, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<Client*>(data);
    // Errors of the node (a parameter refused) are the node's to decide;
    // only the connection's own ends the conversation.
    if (id != PW_ID_CORE) return;
    self->error_ = std::string("PipeWire: ") + (message ? message : std::strerror(-res));
  }
  static void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    auto* self = static_cast<Client*>(data);
    if (!type || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || !props) return;
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    if (name && self->name_ == name && self->nodeId_ == SPA_ID_INVALID) self->nodeId_ = id;
  }
  static void onParam(void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
    auto* self = static_cast<Client*>(data);
    if (id != self->wanted_ || !param) return;
    self->params_.emplace_back(spa_pod_copy(param));
  }

  static inline const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = &Client::onDone;
    e.error = &Client::onError;
    return e;
  }();
  static inline const pw_registry_events kRegistryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = &Client::onGlobal;
    return e;
  }();
  static inline const pw_node_events kNodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.param = &Client::onParam;
    return e;
  }();

  std::string name_;
  std::string error_;
  pw_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  pw_node* node_ = nullptr;
  spa_hook coreHook_{};
  spa_hook registryHook_{};
  spa_hook nodeHook_{};
  uint32_t nodeId_ = SPA_ID_INVALID;
  int pending_ = 0;
  bool synced_ = false;
  uint32_t wanted_ = SPA_ID_INVALID;
  std::vector<PodPtr> params_;
};

// The V4L2 control a property stands for. PipeWire's V4L2 nodes give a few
// controls ids of PipeWire's own and the rest SPA_PROP_START_CUSTOM plus their
// V4L2 id. SPA_PROP_exposure is the absolute exposure time in later releases;
// 0.3's was V4L2_CID_EXPOSURE, its absolute time then a custom id, so a node
// that lists that custom id too means the other.
uint32_t controlOf(uint32_t id, const std::vector<Property>& all) {
  if (id > SPA_PROP_START_CUSTOM) return id - SPA_PROP_START_CUSTOM;
  switch (id) {
    case SPA_PROP_brightness:
      return V4L2_CID_BRIGHTNESS;
    case SPA_PROP_contrast:
      return V4L2_CID_CONTRAST;
    case SPA_PROP_saturation:
      return V4L2_CID_SATURATION;
    case SPA_PROP_hue:
      return V4L2_CID_HUE;
    case SPA_PROP_gamma:
      return V4L2_CID_GAMMA;
    case SPA_PROP_gain:
      return V4L2_CID_GAIN;
    case SPA_PROP_sharpness:
      return V4L2_CID_SHARPNESS;
    case SPA_PROP_exposure: {
      const bool absoluteToo = std::any_of(all.begin(), all.end(), [](const Property& p) {
        return p.id == SPA_PROP_START_CUSTOM + V4L2_CID_EXPOSURE_ABSOLUTE;
      });
      return absoluteToo ? V4L2_CID_EXPOSURE : V4L2_CID_EXPOSURE_ABSOLUTE;
    }
    default:
      return 0;
  }
}

std::vector<Property> propertiesOf(Client& client) {
  std::vector<Property> out;
  for (const PodPtr& pod : client.params(SPA_PARAM_PropInfo)) {
    if (auto p = propertyOf(pod.get())) out.push_back(std::move(*p));
  }
  for (Property& p : out) p.control = controlOf(p.id, out);
  return out;
}

}  // namespace

Description describe(const std::string& nodeName) {
  Description d;
  Client client(nodeName);
  if (!client.ok()) {
    d.error = client.error();
    return d;
  }
  d.properties = propertiesOf(client);
  for (const PodPtr& pod : client.params(SPA_PARAM_Props)) {
    if (!spa_pod_is_object_type(pod.get(), SPA_TYPE_OBJECT_Props)) continue;
    const auto* object = reinterpret_cast<const spa_pod_object*>(pod.get());
    const spa_pod_prop* prop = nullptr;
    SPA_POD_OBJECT_FOREACH(object, prop) {
      const bool described = std::any_of(d.properties.begin(), d.properties.end(),
                                         [&](const Property& p) { return p.id == prop->key; });
      const auto value = number(&prop->value);
      if (described && value) d.values.emplace_back(prop->key, *value);
    }
  }
  d.error = client.error();
  return d;
}

std::string write(const std::string& nodeName, const Values& values) {
  Client client(nodeName);
  if (!client.ok()) return client.error();
  const std::vector<Property> properties = propertiesOf(client);
  std::vector<uint8_t> space(4096);
  spa_pod_builder b{};
  spa_pod_builder_init(&b, space.data(), static_cast<uint32_t>(space.size()));
  spa_pod_frame frame{};
  spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
  for (const auto& [id, value] : values) {
    const auto p =
        std::find_if(properties.begin(), properties.end(), [&](const Property& q) { return q.id == id; });
    if (p == properties.end()) continue;
    spa_pod_builder_prop(&b, id, 0);
    if (p->kind == Property::Kind::Boolean) {
      spa_pod_builder_bool(&b, value != 0);
    } else {
      spa_pod_builder_int(&b, static_cast<int32_t>(value));
    }
  }
  const auto* pod = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &frame));
  if (!pod) return "too many values for one write";
  client.setParam(SPA_PARAM_Props, pod);
  return client.error();
}

}  // namespace pipewirenode
