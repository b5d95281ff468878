/* A virtual camera for the test rig: one PipeWire node published the way a
 * V4L2 webcam's node is (media class Video/Source, role Camera), for tests
 * that need a real camera on a real PipeWire daemon.
 *
 *   ferrowick_vcam NODE_NAME DESCRIPTION RRGGBB [JPEG_FOLDER]
 *
 * Raw: YUY2 640 x 480 at 30 frames a second, the given colour with a white
 * square that moves every frame. With JPEG_FOLDER: MJPEG 640 x 480 at 30, the
 * folder's *.jpg files sent in turn.
 *
 * The node drives the graph from a timer of its own, so stopping the process
 * (SIGSTOP) stalls its consumers without an error, as a hung driver does.
 * Every buffer carries a monotonic time stamp, as V4L2 nodes' buffers do. A
 * frame is skipped when the consumer holds every buffer, so a consumer that
 * leaves or hangs never blocks the camera. Everything runs on one loop.
 *
 * The node offers a webcam's controls as PipeWire node parameters
 * (SPA_PARAM_PropInfo, SPA_PARAM_Props) under the ids PipeWire's V4L2 nodes
 * give them: gain and exposure time as SPA_PROP_gain and SPA_PROP_exposure,
 * automatic exposure, white balance temperature and automatic white balance
 * as SPA_PROP_START_CUSTOM plus their V4L2 ids. Exposure and gain scale the
 * raw picture's brightness from their defaults; the temperature tints it.
 * With automatic exposure on (its default, aperture priority) the camera
 * sets the exposure itself and hunts, so the brightness pumps from frame to
 * frame; the manual exposure holds only with it off, and the temperature only
 * with automatic white balance off, as drivers have it.
 *
 * With VCAM_LIGHT_FILE set, the light falling on the scene is the number in
 * that file (1: as bright as at first), read before every raw frame, so a
 * benchmark can make dusk fall.
 */
#include <dirent.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <pipewire/pipewire.h>
#include <spa/param/buffers.h>
#include <spa/param/props.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/iter.h>

enum { WIDTH = 640, HEIGHT = 480, RATE = 30, SQUARE = 48, MAX_JPEGS = 64 };

/* The controls, as a UVC webcam's driver offers them (V4L2 ids and names). */
enum control { GAIN, EXPOSURE, EXPOSURE_AUTO, WB_TEMPERATURE, WB_AUTO, CONTROLS };
enum { EXPOSURE_MANUAL = 1, EXPOSURE_APERTURE_PRIORITY = 3 };

struct control_info {
  uint32_t prop;
  const char *name;
  int minimum, maximum, step, preset;
};

static const struct control_info control_info[CONTROLS] = {
    [GAIN] = {SPA_PROP_gain, "Gain", 0, 255, 1, 64},
    [EXPOSURE] = {SPA_PROP_exposure, "Exposure Time, Absolute", 3, 2047, 1, 250},
    [EXPOSURE_AUTO] = {SPA_PROP_START_CUSTOM + 0x009a0901, "Auto Exposure", 0, 3, 1,
                       EXPOSURE_APERTURE_PRIORITY},
    [WB_TEMPERATURE] = {SPA_PROP_START_CUSTOM + 0x0098091a, "White Balance Temperature", 2800, 6500, 10,
                        4600},
    [WB_AUTO] = {SPA_PROP_START_CUSTOM + 0x0098090c, "White Balance, Automatic", 0, 1, 1, 1},
};

struct jpeg {
  unsigned char *bytes;
  size_t size;
};

struct camera {
  struct pw_main_loop *loop;
  struct spa_source *clock;
  struct pw_stream *stream;
  struct spa_hook stream_listener;
  unsigned char y, u, v;
  int value[CONTROLS];
  struct jpeg jpegs[MAX_JPEGS];
  int jpeg_count;
  uint64_t frame;
  const char *light_file;
  double scene; /* the light falling on the scene */
};

static unsigned char clamp(double v, double lo, double hi) {
  return (unsigned char)lround(v < lo ? lo : v > hi ? hi : v);
}

/* The exposure in force: with automatic exposure on, the camera's own, which
 * hunts around its preset as a webcam's does. */
static int exposure_now(const struct camera *cam) {
  if (cam->value[EXPOSURE_AUTO] == EXPOSURE_MANUAL) return cam->value[EXPOSURE];
  const double hunt = 1.0 + 0.12 * sin((double)cam->frame * 0.9) + 0.06 * sin((double)cam->frame * 2.3);
  return (int)lround(control_info[EXPOSURE].preset * hunt);
}

static void paint_yuy2(const struct camera *cam, unsigned char *row0, uint32_t stride) {
  const uint32_t step = (uint32_t)(cam->frame * 6);
  const uint32_t sx = step % (WIDTH - SQUARE), sy = (step / 2) % (HEIGHT - SQUARE);
  /* Exposure and gain scale the light that reaches the picture. */
  const double light = cam->scene * exposure_now(cam) / control_info[EXPOSURE].preset *
                       (cam->value[GAIN] + 16.0) / (control_info[GAIN].preset + 16.0);
  const int temperature =
      cam->value[WB_AUTO] ? control_info[WB_TEMPERATURE].preset : cam->value[WB_TEMPERATURE];
  const double tint = (temperature - control_info[WB_TEMPERATURE].preset) / 100.0;
  const unsigned char y = clamp(16 + (cam->y - 16) * light, 16, 235);
  const unsigned char u = clamp(cam->u - tint, 16, 240), v = clamp(cam->v + tint, 16, 240);
  for (uint32_t row = 0; row < HEIGHT; row++) {
    unsigned char *p = row0 + (size_t)row * stride;
    for (uint32_t x = 0; x < WIDTH; x += 2, p += 4) {
      const int inside = row >= sy && row < sy + SQUARE && x >= sx && x < sx + SQUARE;
      p[0] = p[2] = inside ? 235 : y;
      p[1] = inside ? 128 : u;
      p[3] = inside ? 128 : v;
    }
  }
}

/* The controls' descriptions, one SPA_PARAM_PropInfo object each. */
static uint32_t build_prop_info(struct spa_pod_builder *b, const struct spa_pod **params) {
  for (int c = 0; c < CONTROLS; c++) {
    const struct control_info *i = &control_info[c];
    struct spa_pod_frame f;
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_PropInfo, SPA_PARAM_PropInfo);
    spa_pod_builder_add(b, SPA_PROP_INFO_id, SPA_POD_Id(i->prop), SPA_PROP_INFO_description,
                        SPA_POD_String(i->name), 0);
    if (c == WB_AUTO) {
      spa_pod_builder_add(b, SPA_PROP_INFO_type, SPA_POD_CHOICE_Bool(i->preset != 0), 0);
    } else if (c == EXPOSURE_AUTO) {
      spa_pod_builder_add(
          b, SPA_PROP_INFO_type,
          SPA_POD_CHOICE_ENUM_Int(3, i->preset, EXPOSURE_MANUAL, EXPOSURE_APERTURE_PRIORITY), 0);
      struct spa_pod_frame labels;
      spa_pod_builder_prop(b, SPA_PROP_INFO_labels, 0);
      spa_pod_builder_push_struct(b, &labels);
      spa_pod_builder_int(b, EXPOSURE_MANUAL);
      spa_pod_builder_string(b, "Manual Mode");
      spa_pod_builder_int(b, EXPOSURE_APERTURE_PRIORITY);
      spa_pod_builder_string(b, "Aperture Priority Mode");
      spa_pod_builder_pop(b, &labels);
    } else {
      spa_pod_builder_add(b, SPA_PROP_INFO_type,
                          SPA_POD_CHOICE_STEP_Int(i->preset, i->minimum, i->maximum, i->step), 0);
    }
    params[c] = spa_pod_builder_pop(b, &f);
  }
  return CONTROLS;
}

/* The values in force, as one SPA_PARAM_Props object. */
static const struct spa_pod *build_props(const struct camera *cam, struct spa_pod_builder *b) {
  struct spa_pod_frame f;
  spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
  for (int c = 0; c < CONTROLS; c++) {
    spa_pod_builder_prop(b, control_info[c].prop, 0);
    if (c == WB_AUTO) {
      spa_pod_builder_bool(b, cam->value[c] != 0);
    } else {
      spa_pod_builder_int(b, c == EXPOSURE ? exposure_now(cam) : cam->value[c]);
    }
  }
  return spa_pod_builder_pop(b, &f);
}

static void publish_props(struct camera *cam) {
  unsigned char space[1024];
  struct spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof(space));
  const struct spa_pod *props = build_props(cam, &b);
  pw_stream_update_params(cam->stream, &props, 1);
}

/* Values written by another program: clamped to their ranges and steps; a
 * manual value its automatic mode governs is refused while that mode is on. */
static void set_props(struct camera *cam, const struct spa_pod *param) {
  if (!spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Props)) return;
  const struct spa_pod_object *object = (const struct spa_pod_object *)param;
  const struct spa_pod_prop *prop;
  int asked[CONTROLS] = {0}, given[CONTROLS] = {0};
  SPA_POD_OBJECT_FOREACH(object, prop) {
    int c = 0;
    while (c < CONTROLS && control_info[c].prop != prop->key) c++;
    if (c == CONTROLS) continue;
    int32_t i;
    bool flag;
    float f;
    double d;
    if (spa_pod_get_int(&prop->value, &i) == 0) {
      asked[c] = i;
    } else if (spa_pod_get_bool(&prop->value, &flag) == 0) {
      asked[c] = flag;
    } else if (spa_pod_get_float(&prop->value, &f) == 0) {
      asked[c] = (int)lroundf(f);
    } else if (spa_pod_get_double(&prop->value, &d) == 0) {
      asked[c] = (int)lround(d);
    } else {
      continue;
    }
    given[c] = 1;
  }
  /* Automatic modes first, so that a manual value sent with them holds. */
  for (int c = CONTROLS - 1; c >= 0; c--) {
    if (!given[c]) continue;
    const struct control_info *i = &control_info[c];
    int v = asked[c] < i->minimum ? i->minimum : asked[c] > i->maximum ? i->maximum : asked[c];
    v = i->minimum + (v - i->minimum) / i->step * i->step;
    if (c == EXPOSURE_AUTO && v != EXPOSURE_MANUAL) v = EXPOSURE_APERTURE_PRIORITY;
    if (c == EXPOSURE && cam->value[EXPOSURE_AUTO] != EXPOSURE_MANUAL) continue;
    if (c == WB_TEMPERATURE && cam->value[WB_AUTO]) continue;
    /* Switched to manual, the exposure stays where the hunt had it. */
    if (c == EXPOSURE_AUTO && v == EXPOSURE_MANUAL && cam->value[c] != EXPOSURE_MANUAL)
      cam->value[EXPOSURE] = exposure_now(cam);
    cam->value[c] = v;
  }
  fprintf(stderr, "vcam: gain %d, exposure %d (auto %d), white balance %d (auto %d)\n", cam->value[GAIN],
          cam->value[EXPOSURE], cam->value[EXPOSURE_AUTO], cam->value[WB_TEMPERATURE], cam->value[WB_AUTO]);
  publish_props(cam);
}

static void on_process(void *data) {
  struct camera *cam = data;
  struct pw_buffer *buf = pw_stream_dequeue_buffer(cam->stream);
  if (!buf) return; /* the consumer holds them all: this frame is skipped */
  struct spa_data *d = &buf->buffer->datas[0];
  if (d->data) {
    if (cam->jpeg_count > 0) {
      const struct jpeg *j = &cam->jpegs[cam->frame % (uint64_t)cam->jpeg_count];
      const size_t n = j->size < d->maxsize ? j->size : d->maxsize;
      memcpy(d->data, j->bytes, n);
      d->chunk->size = (uint32_t)n;
      d->chunk->stride = 0;
    } else {
      FILE *f = cam->light_file ? fopen(cam->light_file, "r") : NULL;
      if (f) {
        double scene;
        if (fscanf(f, "%lf", &scene) == 1 && scene >= 0) cam->scene = scene;
        fclose(f);
      }
      paint_yuy2(cam, d->data, WIDTH * 2);
      d->chunk->size = WIDTH * 2 * HEIGHT;
      d->chunk->stride = WIDTH * 2;
    }
    d->chunk->offset = 0;
    struct spa_meta_header *h = spa_buffer_find_meta_data(buf->buffer, SPA_META_Header, sizeof(*h));
    if (h) {
      struct timespec ts;
      clock_gettime(CLOCK_MONOTONIC, &ts);
      h->pts = SPA_TIMESPEC_TO_NSEC(&ts);
      h->flags = 0;
      h->seq = cam->frame;
      h->dts_offset = 0;
    }
    cam->frame++;
  }
  pw_stream_queue_buffer(cam->stream, buf);
}

static void on_clock(void *data, uint64_t expirations) {
  (void)expirations; /* after a stop, one frame, not a burst */
  struct camera *cam = data;
  pw_stream_trigger_process(cam->stream);
}

static void on_state_changed(void *data, enum pw_stream_state old, enum pw_stream_state state,
                             const char *error) {
  (void)old;
  struct camera *cam = data;
  struct pw_loop *loop = pw_main_loop_get_loop(cam->loop);
  fprintf(stderr, "vcam: %s%s%s\n", pw_stream_state_as_string(state), error ? ": " : "", error ? error : "");
  if (state == PW_STREAM_STATE_STREAMING) {
    struct timespec first = {0, 1}, period = {0, SPA_NSEC_PER_SEC / RATE};
    pw_loop_update_timer(loop, cam->clock, &first, &period, false);
  } else {
    pw_loop_update_timer(loop, cam->clock, NULL, NULL, false);
  }
  /* The daemon went away: leave rather than linger. */
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) pw_main_loop_quit(cam->loop);
}

static size_t largest_jpeg(const struct camera *cam) {
  size_t max = 0;
  for (int i = 0; i < cam->jpeg_count; i++)
    if (cam->jpegs[i].size > max) max = cam->jpegs[i].size;
  return max;
}

/* The format is settled: ask for mappable buffers that carry a header. */
static void on_param_changed(void *data, uint32_t id, const struct spa_pod *param) {
  struct camera *cam = data;
  if (param && id == SPA_PARAM_Props) set_props(cam, param);
  if (!param || id != SPA_PARAM_Format) return;
  unsigned char space[1024];
  struct spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof(space));
  const int jpeg = cam->jpeg_count > 0;
  const int size = jpeg ? (int)largest_jpeg(cam) : WIDTH * 2 * HEIGHT;
  const struct spa_pod *params[2];
  params[0] = spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(6, 2, 12), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_Int(size), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(jpeg ? 0 : WIDTH * 2),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)));
  params[1] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                         SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                                         SPA_POD_Int(sizeof(struct spa_meta_header)));
  pw_stream_update_params(cam->stream, params, 2);
}

static const struct pw_stream_events stream_events = {
    PW_VERSION_STREAM_EVENTS,
    .state_changed = on_state_changed,
    .param_changed = on_param_changed,
    .process = on_process,
};

static void on_signal(void *data, int signal_number) {
  (void)signal_number;
  pw_main_loop_quit(((struct camera *)data)->loop);
}

static int by_name(const void *a, const void *b) { return strcmp(*(char *const *)a, *(char *const *)b); }

/* Loads the folder's *.jpg files in name order; the count, -1 on failure. */
static int load_jpegs(struct camera *cam, const char *folder) {
  DIR *dir = opendir(folder);
  if (!dir) return -1;
  char *names[MAX_JPEGS];
  int n = 0;
  for (struct dirent *e; (e = readdir(dir)) && n < MAX_JPEGS;) {
    const size_t len = strlen(e->d_name);
    if (len > 4 && strcmp(e->d_name + len - 4, ".jpg") == 0) names[n++] = strdup(e->d_name);
  }
  closedir(dir);
  qsort(names, (size_t)n, sizeof names[0], by_name);
  for (int i = 0; i < n; i++) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", folder, names[i]);
    free(names[i]);
    FILE *f = fopen(path, "rb");
    if (!f) return -1;
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    rewind(f);
    struct jpeg *j = &cam->jpegs[cam->jpeg_count];
    j->bytes = malloc(size > 0 ? (size_t)size : 1);
    j->size = size > 0 ? (size_t)size : 0;
    const int ok = size > 0 && fread(j->bytes, 1, j->size, f) == j->size;
    fclose(f);
    if (!ok) return -1;
    cam->jpeg_count++;
  }
  return cam->jpeg_count;
}

int main(int argc, char *argv[]) {
  struct camera cam = {0};
  unsigned rgb = 0;
  if (argc < 4 || sscanf(argv[3], "%6x", &rgb) != 1) {
    fprintf(stderr, "usage: %s NODE_NAME DESCRIPTION RRGGBB [JPEG_FOLDER]\n", argv[0]);
    return 2;
  }
  if (argc > 4 && load_jpegs(&cam, argv[4]) <= 0) {
    fprintf(stderr, "vcam: no JPEG frames in %s\n", argv[4]);
    return 2;
  }
  /* BT.601 studio range, as cameras send it. */
  const double r = rgb >> 16, g = (rgb >> 8) & 0xff, bl = rgb & 0xff;
  cam.y = (unsigned char)(16 + (65.481 * r + 128.553 * g + 24.966 * bl) / 255);
  cam.u = (unsigned char)(128 + (-37.797 * r - 74.203 * g + 112.0 * bl) / 255);
  cam.v = (unsigned char)(128 + (112.0 * r - 93.786 * g - 18.214 * bl) / 255);

  for (int c = 0; c < CONTROLS; c++) cam.value[c] = control_info[c].preset;
  cam.scene = 1;
  cam.light_file = getenv("VCAM_LIGHT_FILE");

  pw_init(&argc, &argv);
  cam.loop = pw_main_loop_new(NULL);
  struct pw_loop *loop = pw_main_loop_get_loop(cam.loop);
  pw_loop_add_signal(loop, SIGINT, on_signal, &cam);
  pw_loop_add_signal(loop, SIGTERM, on_signal, &cam);
  cam.clock = pw_loop_add_timer(loop, on_clock, &cam);
  struct pw_context *context = pw_context_new(loop, NULL, 0);
  struct pw_core *core = pw_context_connect(context, NULL, 0);
  if (!core) {
    perror("vcam: cannot reach PipeWire");
    return 1;
  }
  cam.stream = pw_stream_new(core, argv[2],
                             pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera",
                                               PW_KEY_NODE_NAME, argv[1], PW_KEY_NODE_DESCRIPTION, argv[2], NULL));
  pw_stream_add_listener(cam.stream, &cam.stream_listener, &stream_events, &cam);

  /* The one mode this camera offers. */
  unsigned char space[4096];
  struct spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof(space));
  struct spa_pod_frame f;
  spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                      SPA_POD_Id(cam.jpeg_count > 0 ? SPA_MEDIA_SUBTYPE_mjpg : SPA_MEDIA_SUBTYPE_raw), 0);
  if (cam.jpeg_count == 0) spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_YUY2), 0);
  spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&SPA_RECTANGLE(WIDTH, HEIGHT)),
                      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&SPA_FRACTION(RATE, 1)), 0);
  const struct spa_pod *params[2 + CONTROLS];
  params[0] = spa_pod_builder_pop(&b, &f);
  uint32_t n = 1 + build_prop_info(&b, params + 1);
  params[n++] = build_props(&cam, &b);
  pw_stream_connect(cam.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS, params, n);
  pw_main_loop_run(cam.loop);

  pw_stream_destroy(cam.stream);
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_main_loop_destroy(cam.loop);
  pw_deinit();
  for (int i = 0; i < cam.jpeg_count; i++) free(cam.jpegs[i].bytes);
  return 0;
}
