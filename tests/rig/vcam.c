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
 */
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <pipewire/pipewire.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>

enum { WIDTH = 640, HEIGHT = 480, RATE = 30, SQUARE = 48, MAX_JPEGS = 64 };

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
  struct jpeg jpegs[MAX_JPEGS];
  int jpeg_count;
  uint64_t frame;
};

static void paint_yuy2(const struct camera *cam, unsigned char *row0, uint32_t stride) {
  const uint32_t step = (uint32_t)(cam->frame * 6);
  const uint32_t sx = step % (WIDTH - SQUARE), sy = (step / 2) % (HEIGHT - SQUARE);
  for (uint32_t y = 0; y < HEIGHT; y++) {
    unsigned char *p = row0 + (size_t)y * stride;
    for (uint32_t x = 0; x < WIDTH; x += 2, p += 4) {
      const int inside = y >= sy && y < sy + SQUARE && x >= sx && x < sx + SQUARE;
      p[0] = p[2] = inside ? 235 : cam->y;
      p[1] = inside ? 128 : cam->u;
      p[3] = inside ? 128 : cam->v;
    }
  }
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
  unsigned char space[1024];
  struct spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof(space));
  struct spa_pod_frame f;
  spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                      SPA_POD_Id(cam.jpeg_count > 0 ? SPA_MEDIA_SUBTYPE_mjpg : SPA_MEDIA_SUBTYPE_raw), 0);
  if (cam.jpeg_count == 0) spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_YUY2), 0);
  spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&SPA_RECTANGLE(WIDTH, HEIGHT)),
                      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&SPA_FRACTION(RATE, 1)), 0);
  const struct spa_pod *format = spa_pod_builder_pop(&b, &f);
  pw_stream_connect(cam.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS, &format, 1);
  pw_main_loop_run(cam.loop);

  pw_stream_destroy(cam.stream);
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_main_loop_destroy(cam.loop);
  pw_deinit();
  for (int i = 0; i < cam.jpeg_count; i++) free(cam.jpegs[i].bytes);
  return 0;
}
