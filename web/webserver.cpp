#include "web/webserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libsoup/soup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QString>
#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/gdi32.h"
#include "platform/vba.h"
#include "schedule/localtime.h"
#include "store/framename.h"
#include "web/password.h"

namespace web {
namespace {

Q_LOGGING_CATEGORY(lcWeb, "ferrowick.web", QtInfoMsg)

// What a request may bring: beyond these it is refused before it is read on.
constexpr std::size_t kMaxUrl = 2048;
constexpr std::size_t kMaxHeaders = 16 * 1024;
constexpr goffset kMaxBody = 1024;
// A wrong password is answered this much later, so guessing is slow.
constexpr guint kWrongPasswordDelayMs = 1000;
// Stream frames a client may have unread before it loses the next ones.
constexpr int kStreamBacklog = 2;
// A video is sent in pieces of this size, one at a time.
constexpr std::size_t kPieceBytes = 256 * 1024;
constexpr int kThumbWidth = 160;
constexpr const char* kBoundary = "ferrowickframe";
// Connections the system holds until the server takes them.
constexpr int kListenBacklog = 128;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

const char* contentType(const std::string& name) {
  const std::string n = lower(name);
  if (endsWith(n, ".jpg") || endsWith(n, ".jpeg")) return "image/jpeg";
  if (endsWith(n, ".png")) return "image/png";
  if (endsWith(n, ".bmp")) return "image/bmp";
  if (endsWith(n, ".mp4")) return "video/mp4";
  if (endsWith(n, ".webm")) return "video/webm";
  if (endsWith(n, ".js")) return "text/javascript; charset=utf-8";
  if (endsWith(n, ".css")) return "text/css; charset=utf-8";
  return "text/html; charset=utf-8";
}

bool isVideo(const std::string& name) {
  const std::string n = lower(name);
  return endsWith(n, ".mp4") || endsWith(n, ".webm");
}

// The real path of an existing file; empty when there is none.
std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// A file named in an address, inside root: its real path; empty when the
// name is not one plain file name, or it leads out of root (a symbolic link).
std::string inside(const std::string& root, const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos)
    return {};
  const std::string realRoot = realPath(root);
  const std::string file = realPath(root + "/" + name);
  if (realRoot.empty() || file.empty() || !file.starts_with(realRoot + "/")) return {};
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return file;
}

QByteArray jpegOf(const QImage& image, int quality) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPG", quality);
  return bytes;
}

QString freeText(uint64_t bytes) {
  const double gb = bytes / 1e9;
  if (gb >= 10) return QString::number(gb, 'f', 0) + " GB";
  if (gb >= 1) return QString::number(gb, 'f', 1) + " GB";
  return QString::number(bytes / 1e6, 'f', 0) + " MB";
}

std::string dayOf(const vba::DateTime& t) { return vba::Format(t, "dd_MM_yyyy"); }

// The frames of a folder, in capture order, and how many each day has: read
// again only when the folder changed.
struct FolderIndex {
  struct Frame {
    std::string name;
    vba::DateTime taken;
    int suffix = 1;
    std::string day;  // dayOf(taken)
  };
  std::string folder;
  struct timespec changed {};
  std::vector<Frame> frames;
  std::vector<std::pair<std::string, int>> days;  // each day of frames and their count, in order

  void refresh(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      frames.clear();
      days.clear();
      folder.clear();
      return;
    }
    if (path == folder && st.st_mtim.tv_sec == changed.tv_sec && st.st_mtim.tv_nsec == changed.tv_nsec)
      return;
    folder = path;
    changed = st.st_mtim;
    frames.clear();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
      std::string name = entry.path().filename().string();
      if (const auto parsed = framename::parse(name))
        frames.push_back({std::move(name), parsed->taken, parsed->suffix, dayOf(parsed->taken)});
    }
    const auto key = [](const Frame& f) {
      return std::tuple(f.taken.year, f.taken.month, f.taken.day, f.taken.hour, f.taken.minute,
                        f.taken.second, f.suffix);
    };
    std::sort(frames.begin(), frames.end(), [&](const Frame& a, const Frame& b) { return key(a) < key(b); });
    days.clear();
    for (const Frame& f : frames) {
      if (days.empty() || days.back().first != f.day) days.emplace_back(f.day, 0);
      ++days.back().second;
    }
  }
};

struct Watcher {
  SoupServerMessage* msg = nullptr;
  int unread = 0;  // frames handed to the connection and not written yet
};

// A file sent in pieces, the next one when the last was written.
struct Piecewise {
  int fd = -1;
  goffset left = 0;
};

}  // namespace

bool isLoopback(const std::string& address) {
  if (address == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

struct Server::Impl : std::enable_shared_from_this<Impl> {
  // ---- Shared between the threads, under mutex.
  std::mutex mutex;
  run::State state;
  std::string folder;
  std::optional<Sending> sending;
  std::optional<DailyVideo> daily;
  Server* owner = nullptr;  // the window's thread's side; null once it is gone
  std::atomic<int> port{0};
  std::atomic<bool> watching{false};

  // ---- The server's thread.
  Options options;
  std::thread thread;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  SoupServer* server = nullptr;
  SoupAuthDomain* auth = nullptr;
  std::set<GSocket*> clients;  // the connections counted, held until closed
  std::vector<Watcher> watchers;
  GBytes* lastPart = nullptr;  // the newest stream frame, as its part
  gint64 lastPartAt = 0;
  std::map<uint64_t, SoupServerMessage*> acting;  // Start and Stop waiting for the window
  uint64_t nextAction = 1;
  std::set<QByteArray> verified;  // digests of the credentials that verified
  FolderIndex index;
  std::string latestName;  // /latest.jpg's frame and its JPEG
  QByteArray latestJpeg;

  ~Impl() {
    if (context) g_main_context_unref(context);
  }

  // Runs f on the server's thread, soon.
  void post(std::function<void(Impl&)> f) {
    auto* call = new std::pair(weak_from_this(), std::move(f));
    using Call = decltype(call);
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          auto* c = static_cast<Call>(data);
          if (auto self = c->first.lock()) c->second(*self);
          return G_SOURCE_REMOVE;
        },
        call, [](gpointer data) { delete static_cast<Call>(data); });
  }

  // Runs f on the window's thread, with the server that is still there.
  void toWindow(std::function<void(Server&)> f) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(
        app,
        [weak = weak_from_this(), f = std::move(f)] {
          const auto self = weak.lock();
          if (!self) return;
          Server* s = nullptr;
          {
            std::lock_guard lock(self->mutex);
            s = self->owner;
          }
          if (s) f(*s);
        },
        Qt::QueuedConnection);
  }

  // ---- Serving, on the server's thread.

  std::string listen() {
    server = soup_server_new("server-header", "Ferrowick", nullptr);
    auth = soup_auth_domain_basic_new("realm", "Ferrowick", nullptr);
    soup_auth_domain_basic_set_auth_callback(
        auth,
        [](SoupAuthDomain*, SoupServerMessage*, const char* user, const char* pass,
           gpointer self) -> gboolean { return static_cast<Impl*>(self)->checkPassword(user, pass); },
        this, nullptr);
    SoupServerListenOptions listenOptions = static_cast<SoupServerListenOptions>(0);
    if (!options.certFile.empty()) {
      GError* error = nullptr;
      GTlsCertificate* cert =
          g_tls_certificate_new_from_files(options.certFile.c_str(), options.keyFile.c_str(), &error);
      if (!cert) {
        std::string why = "cannot read the certificate: " + std::string(error->message);
        g_error_free(error);
        return why;
      }
      soup_server_set_tls_certificate(server, cert);
      g_object_unref(cert);
      listenOptions = SOUP_SERVER_LISTEN_HTTPS;
    }
    g_signal_connect(server, "request-started",
                     G_CALLBACK(+[](SoupServer*, SoupServerMessage* msg, gpointer self) {
                       static_cast<Impl*>(self)->started(msg);
                     }),
                     this);
    soup_server_add_handler(
        server, nullptr,
        [](SoupServer*, SoupServerMessage* msg, const char* path, GHashTable* query, gpointer self) {
          static_cast<Impl*>(self)->handle(msg, path, query);
        },
        this, nullptr);
    GInetAddress* inet = g_inet_address_new_from_string(options.address.c_str());
    if (!inet) return "'" + options.address + "' is not an IP address";
    GSocketAddress* address = g_inet_socket_address_new(inet, static_cast<guint16>(options.port));
    g_object_unref(inet);
    // The socket is made here for its queue of connections not yet taken:
    // the default's ten overflow when many clients come at once, and those
    // beyond wait a second for their connection to be tried again.
    GError* error = nullptr;
    GSocket* socket = g_socket_new(g_socket_address_get_family(address), G_SOCKET_TYPE_STREAM,
                                   G_SOCKET_PROTOCOL_TCP, &error);
    if (socket) g_socket_set_listen_backlog(socket, kListenBacklog);
    const gboolean listening = socket && g_socket_bind(socket, address, TRUE, &error) &&
                               g_socket_listen(socket, &error) &&
                               soup_server_listen_socket(server, socket, listenOptions, &error);
    if (socket) g_object_unref(socket);
    g_object_unref(address);
    if (!listening) {
      std::string why = error->message;
      g_error_free(error);
      return why;
    }
    GSList* uris = soup_server_get_uris(server);
    if (uris) port = g_uri_get_port(static_cast<GUri*>(uris->data));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    return {};
  }

  void shutDown() {
    for (auto& [id, msg] : acting) g_object_unref(msg);
    acting.clear();
    if (server) {
      soup_server_disconnect(server);
      g_object_unref(server);
      server = nullptr;
    }
    // Connections closing let go of their messages now.
    while (g_main_context_iteration(context, FALSE)) {
    }
    watchers.clear();
    for (GSocket* socket : clients) g_object_unref(socket);
    clients.clear();
    if (auth) g_object_unref(auth);
    auth = nullptr;
    if (lastPart) g_bytes_unref(lastPart);
    lastPart = nullptr;
  }

  // A request begins on a connection: a new connection is counted, or
  // refused when there are enough already, and has a while to speak.
  void started(SoupServerMessage* msg) {
    GSocket* socket = soup_server_message_get_socket(msg);
    if (socket && !clients.count(socket)) {
      // Connections closed since are no longer counted.
      std::erase_if(clients, [](GSocket* s) {
        if (!g_socket_is_closed(s)) return false;
        g_object_unref(s);
        return true;
      });
      if (static_cast<int>(clients.size()) >= kMaxClients) {
        g_object_set_data(G_OBJECT(msg), "ferrowick-busy", GINT_TO_POINTER(1));
      } else {
        clients.insert(static_cast<GSocket*>(g_object_ref(socket)));
      }
      GSource* silent = g_timeout_source_new_seconds(kHeadersWithinSeconds);
      g_source_set_callback(
          silent,
          [](gpointer s) -> gboolean {
            // Shut down, not closed: libsoup reads the end and closes the
            // connection itself.
            auto* socket = static_cast<GSocket*>(s);
            if (!g_object_get_data(G_OBJECT(socket), "ferrowick-spoke") && !g_socket_is_closed(socket))
              g_socket_shutdown(socket, TRUE, TRUE, nullptr);
            return G_SOURCE_REMOVE;
          },
          g_object_ref(socket), g_object_unref);
      g_source_attach(silent, context);
      g_source_unref(silent);
    }
    g_signal_connect(
        msg, "got-headers",
        G_CALLBACK(+[](SoupServerMessage* m, gpointer self) { static_cast<Impl*>(self)->bound(m); }), this);
  }

  // The headers are in: what is too much is refused before the body is read.
  void bound(SoupServerMessage* msg) {
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(msg);
    // Every answer closes its connection. libsoup before 3.3 never notices
    // a client closing a connection kept open for a next request: the
    // connection stays, half closed, and keeps its place among the clients
    // counted, so a browser's reloads would lock everyone out in the end.
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection", "close");
    if (GSocket* socket = soup_server_message_get_socket(msg))
      g_object_set_data(G_OBJECT(socket), "ferrowick-spoke", GINT_TO_POINTER(1));
    if (g_object_get_data(G_OBJECT(msg), "ferrowick-busy")) {
      soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Retry-After", "5");
      return text(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "Too many clients; try again soon.");
    }
    std::size_t size = 0;
    SoupMessageHeadersIter it;
    soup_message_headers_iter_init(&it, headers);
    const char* name;
    const char* value;
    while (soup_message_headers_iter_next(&it, &name, &value))
      size += std::strlen(name) + std::strlen(value) + 4;
    char* uri = g_uri_to_string(soup_server_message_get_uri(msg));
    const std::size_t uriSize = std::strlen(uri);
    g_free(uri);
    if (uriSize > kMaxUrl) return text(msg, SOUP_STATUS_REQUEST_URI_TOO_LONG, "Address too long.");
    if (size > kMaxHeaders) return text(msg, 431, "Headers too large.");
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CHUNKED ||
        soup_message_headers_get_content_length(headers) > kMaxBody) {
      // What comes is read and dropped, never kept.
      soup_message_body_set_accumulate(soup_server_message_get_request_body(msg), FALSE);
      return text(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, "Body too large.");
    }
  }

  static void text(SoupServerMessage* msg, guint status, const std::string& body) {
    soup_server_message_set_status(msg, status, nullptr);
    const std::string line = body + "\n";
    soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_COPY, line.data(),
                                     line.size());
  }

  static void bytes(SoupServerMessage* msg, const char* type, const QByteArray& data, const char* cache) {
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", cache);
    soup_server_message_set_response(msg, type, SOUP_MEMORY_COPY, data.constData(),
                                     static_cast<gsize>(data.size()));
  }

  bool checkPassword(const char* user, const char* pass) {
    if (!user || !pass || std::string(user) != kUser) return false;
    // A password that verified once is known by its digest, so the slow
    // hash is not computed again for every picture the page asks for.
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray(pass) + '\0' + QByteArray::fromStdString(options.passwordHash),
                                 QCryptographicHash::Sha256);
    if (verified.count(digest)) return true;
    if (!password::verify(pass, options.passwordHash)) return false;
    if (verified.size() > 16) verified.clear();
    verified.insert(digest);
    return true;
  }

  // Whether the request may go on: the Host is this computer when serving it
  // only (a page elsewhere that renames itself to it gets nothing), and the
  // password is given when one is set. Otherwise it is answered here.
  bool admitted(SoupServerMessage* msg) {
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(msg);
    if (isLoopback(options.address)) {
      std::string host =
          soup_message_headers_get_one(headers, "Host") ? soup_message_headers_get_one(headers, "Host") : "";
      if (host.starts_with("[")) {
        host = host.substr(1, host.find(']') - 1);
      } else if (const auto colon = host.rfind(':'); colon != std::string::npos) {
        host.resize(colon);
      }
      if (!isLoopback(host)) {
        text(msg, SOUP_STATUS_FORBIDDEN, "This page answers to this computer only.");
        return false;
      }
    }
    if (options.passwordHash.empty()) return true;
    char* user = soup_auth_domain_accepts(auth, msg);
    if (user) {
      g_free(user);
      return true;
    }
    text(msg, SOUP_STATUS_UNAUTHORIZED, "The password is needed.");
    soup_auth_domain_challenge(auth, msg);
    if (soup_message_headers_get_one(headers, "Authorization")) {
      // A wrong password: answered a while later.
      soup_server_message_pause(msg);
      g_object_ref(msg);
      GSource* later = g_timeout_source_new(kWrongPasswordDelayMs);
      g_source_set_callback(
          later,
          [](gpointer m) -> gboolean {
            soup_server_message_unpause(static_cast<SoupServerMessage*>(m));
            return G_SOURCE_REMOVE;
          },
          msg, g_object_unref);
      g_source_attach(later, context);
      g_source_unref(later);
    }
    return false;
  }

  void handle(SoupServerMessage* msg, const char* rawPath, GHashTable* query) {
    if (!admitted(msg)) return;
    const std::string method = soup_server_message_get_method(msg);
    char* decoded = g_uri_unescape_string(rawPath, "/");
    if (!decoded) return text(msg, SOUP_STATUS_FORBIDDEN, "Not an address of this page.");
    const std::string path = decoded;
    g_free(decoded);
    const bool get = method == "GET" || method == "HEAD";
    const auto only = [&](const char* allowed) {
      soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", allowed);
      text(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "Method not allowed.");
    };
    if (path == "/api/start" || path == "/api/stop") {
      if (method != "POST") return only("POST");
      return act(msg, path == "/api/start");
    }
    static const std::set<std::string> pages{"/", "/app.js", "/style.css"};
    const auto under = [&](const char* prefix) { return path.starts_with(prefix); };
    const bool known = pages.count(path) || path == "/latest.jpg" || path == "/stream.mjpg" ||
                       under("/api/") || under("/frames/") || under("/thumbs/") || under("/videos/");
    if (!known) return text(msg, SOUP_STATUS_NOT_FOUND, "Not found.");
    if (!get) return only("GET, HEAD");
    if (pages.count(path)) return page(msg, path);
    std::string folderNow;
    {
      std::lock_guard lock(mutex);
      folderNow = folder;
    }
    if (path == "/stream.mjpg") return watch(msg);
    if (path == "/latest.jpg") return latest(msg, folderNow);
    if (path == "/api/status") return status(msg, folderNow);
    if (path == "/api/days") return days(msg, folderNow);
    if (path == "/api/frames") {
      const char* day = query ? static_cast<const char*>(g_hash_table_lookup(query, "day")) : nullptr;
      return frames(msg, folderNow, day ? day : "");
    }
    if (path == "/api/videos") return videos(msg, folderNow);
    if (under("/frames/") || under("/thumbs/")) {
      const std::string name = path.substr(path.find('/', 1) + 1);
      const std::string file = framename::parse(name) ? inside(folderNow, name) : std::string();
      if (file.empty()) return text(msg, SOUP_STATUS_FORBIDDEN, "Not a frame of this run.");
      if (under("/frames/")) return sendFile(msg, file, name, false);
      const QImage image(QString::fromStdString(file));
      if (image.isNull()) return text(msg, SOUP_STATUS_NOT_FOUND, "Not a picture.");
      return bytes(msg, "image/jpeg", jpegOf(image.scaledToWidth(kThumbWidth, Qt::SmoothTransformation), 75),
                   "max-age=86400");
    }
    if (under("/videos/")) {
      const std::string name = path.substr(std::strlen("/videos/"));
      const std::string file = videoFile(folderNow, name);
      if (file.empty()) return text(msg, SOUP_STATUS_FORBIDDEN, "Not a video of this run.");
      return sendFile(msg, file, name, true);
    }
    text(msg, SOUP_STATUS_NOT_FOUND, "Not found.");
  }

  void page(SoupServerMessage* msg, const std::string& path) {
    QFile file(QString(":/web") + QString::fromStdString(path == "/" ? "/index.html" : path));
    if (!file.open(QIODevice::ReadOnly)) return text(msg, SOUP_STATUS_NOT_FOUND, "Not found.");
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    // The page loads nothing from elsewhere, and no other site may frame it.
    soup_message_headers_replace(out, "Content-Security-Policy",
                                 "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    soup_message_headers_replace(out, "X-Content-Type-Options", "nosniff");
    bytes(msg, contentType(path == "/" ? "index.html" : path), file.readAll(), "no-cache");
  }

  // ---- Start and Stop, done by the window.

  void act(SoupServerMessage* msg, bool start) {
    // A page of another site may not steer the run: its Origin is not ours.
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(msg);
    const char* origin = soup_message_headers_get_one(headers, "Origin");
    const char* host = soup_message_headers_get_one(headers, "Host");
    if (origin) {
      const std::string own =
          std::string(options.certFile.empty() ? "http://" : "https://") + (host ? host : "");
      if (lower(origin) != lower(own))
        return text(msg, SOUP_STATUS_FORBIDDEN, "Refused: another site's page.");
    }
    const uint64_t id = nextAction++;
    acting[id] = msg;
    g_object_ref(msg);
    soup_server_message_pause(msg);
    toWindow([start, id, weak = weak_from_this()](Server& s) {
      if (const auto& f = start ? s.onStart : s.onStop) f();
      if (const auto self = weak.lock()) {
        self->post([id](Impl& d) { d.actDone(id); });
      }
    });
  }

  void actDone(uint64_t id) {
    const auto it = acting.find(id);
    if (it == acting.end()) return;
    SoupServerMessage* msg = it->second;
    acting.erase(it);
    std::string words;
    {
      std::lock_guard lock(mutex);
      words = stateJson().value("words").toString().toStdString();
    }
    text(msg, SOUP_STATUS_OK, words);
    soup_server_message_unpause(msg);
    g_object_unref(msg);
  }

  // ---- The run's state.

  // Under mutex.
  QJsonObject stateJson() const {
    const run::Instant now = schedule::instantOf(vba::Now());
    QJsonObject o;
    const auto hhmm = [&](run::Instant t, const char* pattern) {
      return QString::fromStdString(vba::Format(schedule::localTime(t), pattern));
    };
    QString phase = "stopped";
    QString words = "Stopped";
    if (state.phase == run::Phase::Waiting) {
      phase = "waiting";
      words = "Waiting for active hours";
      if (state.opening) {
        const bool today = *state.opening - now < 20 * 3600;
        o["waitingUntil"] = hhmm(*state.opening, today ? "hh:nn" : "dd/MM/yyyy hh:nn");
        words += " until " + o["waitingUntil"].toString();
      }
    } else if (state.phase == run::Phase::Capturing && state.lostSince) {
      phase = "lost";
      o["lostSince"] = hhmm(*state.lostSince, "hh:nn");
      words = "Camera lost since " + o["lostSince"].toString() + (state.hung ? ", it does not answer" : "");
    } else if (state.phase == run::Phase::Capturing) {
      phase = "capturing";
      const int next = std::max(0, static_cast<int>(state.interval - state.elapsedSecs));
      o["nextFrameIn"] = next;
      words = "Capturing, next frame in " + QString::number(next) + " s";
    }
    o["state"] = phase;
    o["words"] = words;
    o["status"] = QString::fromStdString(state.status);
    o["source"] = QString::fromStdString(state.sourceName);
    o["interval"] = state.interval;
    o["framesThisRun"] = static_cast<qint64>(state.framesSaved);
    o["folder"] = QString::fromStdString(folder);
    return o;
  }

  void status(SoupServerMessage* msg, const std::string& folderNow) {
    QJsonObject o;
    std::optional<Sending> sendingNow;
    std::optional<DailyVideo> dailyNow;
    {
      std::lock_guard lock(mutex);
      o = stateJson();
      sendingNow = sending;
      dailyNow = daily;
    }
    index.refresh(folderNow);
    const std::string today = dayOf(vba::Now());
    const auto day =
        std::find_if(index.days.rbegin(), index.days.rend(), [&](const auto& d) { return d.first == today; });
    o["framesToday"] = day == index.days.rend() ? 0 : day->second;
    o["latest"] = index.frames.empty() ? QJsonValue() : QString::fromStdString(index.frames.back().name);
    try {
      const uint64_t free = vba::diskSpace(folderNow).available;
      o["freeBytes"] = static_cast<qint64>(free);
      o["free"] = freeText(free);
    } catch (const vba::RuntimeError&) {
      o["free"] = QJsonValue();
    }
    if (sendingNow) {
      QJsonObject s{{"waiting", static_cast<qint64>(sendingNow->waiting)},
                    {"lastSent", QString::fromStdString(sendingNow->lastSent)},
                    {"lastError", QString::fromStdString(sendingNow->lastError)}};
      if (sendingNow->errorSince)
        s["errorSince"] =
            QString::fromStdString(vba::Format(schedule::localTime(*sendingNow->errorSince), "hh:nn"));
      o["sending"] = s;
    } else {
      o["sending"] = QJsonValue();
    }
    o["dailyVideo"] =
        dailyNow ? QJsonValue(QJsonObject{{"state", QString::fromStdString(dailyNow->state)},
                                          {"lastError", QString::fromStdString(dailyNow->lastError)}})
                 : QJsonValue();
    json(msg, o);
  }

  static void json(SoupServerMessage* msg, const QJsonValue& value) {
    const QByteArray body = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                            : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    bytes(msg, "application/json", body, "no-store");
  }

  void days(SoupServerMessage* msg, const std::string& folderNow) {
    index.refresh(folderNow);
    QJsonArray list;
    for (const auto& [day, count] : index.days)
      list.append(QJsonObject{{"day", QString::fromStdString(day)}, {"frames", count}});
    json(msg, list);
  }

  void frames(SoupServerMessage* msg, const std::string& folderNow, const std::string& day) {
    index.refresh(folderNow);
    QJsonArray list;
    for (const auto& f : index.frames)
      if (f.day == day) list.append(QString::fromStdString(f.name));
    json(msg, list);
  }

  // Videos are those the video maker writes beside the frames folder (named
  // after it) and the daily ones in videos/ beside it.
  static std::vector<std::pair<std::string, std::string>> videoRoots(const std::string& folderNow) {
    const std::filesystem::path frames(folderNow);
    return {{(frames.parent_path() / "videos").string(), ""},
            {frames.parent_path().string(), frames.filename().string()}};
  }

  static std::string videoFile(const std::string& folderNow, const std::string& name) {
    if (!isVideo(name)) return {};
    for (const auto& [root, prefix] : videoRoots(folderNow)) {
      if (!name.starts_with(prefix)) continue;
      if (std::string file = inside(root, name); !file.empty()) return file;
    }
    return {};
  }

  void videos(SoupServerMessage* msg, const std::string& folderNow) {
    QJsonArray list;
    for (const auto& [root, prefix] : videoRoots(folderNow)) {
      std::error_code ec;
      for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix) || !isVideo(name) || inside(root, name).empty()) continue;
        list.append(QJsonObject{{"name", QString::fromStdString(name)},
                                {"bytes", static_cast<qint64>(entry.file_size(ec))}});
      }
    }
    json(msg, list);
  }

  // ---- Files: whole, or the byte range asked for, in pieces.

  void sendFile(SoupServerMessage* msg, const std::string& file, const std::string& name, bool ranges) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      if (fd >= 0) ::close(fd);
      return text(msg, SOUP_STATUS_NOT_FOUND, "Not found.");
    }
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    goffset from = 0;
    goffset length = st.st_size;
    guint status = SOUP_STATUS_OK;
    if (ranges) {
      soup_message_headers_replace(out, "Accept-Ranges", "bytes");
      SoupRange* asked = nullptr;
      int count = 0;
      SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
      if (soup_message_headers_get_ranges(in, st.st_size, &asked, &count)) {
        const bool one = count == 1 && asked[0].start < st.st_size && asked[0].start <= asked[0].end;
        if (one) {
          from = asked[0].start;
          length = asked[0].end - asked[0].start + 1;
          soup_message_headers_set_content_range(out, asked[0].start, asked[0].end, st.st_size);
          status = SOUP_STATUS_PARTIAL_CONTENT;
        }
        soup_message_headers_free_ranges(in, asked);
        if (!one) {
          ::close(fd);
          soup_message_headers_set_content_range(out, -1, -1, st.st_size);
          return text(msg, SOUP_STATUS_REQUESTED_RANGE_NOT_SATISFIABLE,
                      "One range within the file at a time.");
        }
      } else if (soup_message_headers_get_one(in, "Range")) {
        ::close(fd);
        soup_message_headers_set_content_range(out, -1, -1, st.st_size);
        return text(msg, SOUP_STATUS_REQUESTED_RANGE_NOT_SATISFIABLE, "Range not satisfiable.");
      }
    }
    soup_server_message_set_status(msg, status, nullptr);
    soup_message_headers_set_content_type(out, contentType(name), nullptr);
    soup_message_headers_set_content_length(out, length);
    soup_message_headers_replace(out, "Cache-Control", "max-age=3600");
    SoupMessageBody* body = soup_server_message_get_response_body(msg);
    soup_message_body_set_accumulate(body, FALSE);
    if (std::string(soup_server_message_get_method(msg)) == "HEAD" || length == 0) {
      ::close(fd);
      soup_message_body_complete(body);
      return;
    }
    ::lseek(fd, from, SEEK_SET);
    auto* piecewise = new Piecewise{fd, length};
    g_object_set_data_full(G_OBJECT(msg), "ferrowick-file", piecewise, [](gpointer p) {
      auto* pw = static_cast<Piecewise*>(p);
      ::close(pw->fd);
      delete pw;
    });
    g_signal_connect(msg, "wrote-chunk", G_CALLBACK(+[](SoupServerMessage* m, gpointer) { nextPiece(m); }),
                     nullptr);
    nextPiece(msg);
  }

  static void nextPiece(SoupServerMessage* msg) {
    auto* pw = static_cast<Piecewise*>(g_object_get_data(G_OBJECT(msg), "ferrowick-file"));
    SoupMessageBody* body = soup_server_message_get_response_body(msg);
    if (!pw || pw->left <= 0) return;
    std::vector<char> piece(std::min<std::size_t>(kPieceBytes, static_cast<std::size_t>(pw->left)));
    const ssize_t got = ::read(pw->fd, piece.data(), piece.size());
    if (got <= 0) {
      // The file shrank under us: the connection cannot keep its promise.
      pw->left = 0;
      soup_message_body_complete(body);
      soup_server_message_unpause(msg);
      return;
    }
    pw->left -= got;
    soup_message_body_append(body, SOUP_MEMORY_COPY, piece.data(), static_cast<gsize>(got));
    if (pw->left <= 0) soup_message_body_complete(body);
    soup_server_message_unpause(msg);
  }

  // ---- The latest frame.

  void latest(SoupServerMessage* msg, const std::string& folderNow) {
    index.refresh(folderNow);
    // Frames have no name until they are complete, so the newest named one
    // is whole.
    for (auto f = index.frames.rbegin(); f != index.frames.rend(); ++f) {
      if (f->name != latestName || latestJpeg.isEmpty()) {
        const std::string file = inside(folderNow, f->name);
        QFile in(QString::fromStdString(file));
        if (file.empty() || !in.open(QIODevice::ReadOnly)) continue;
        const QByteArray data = in.readAll();
        const std::string ext = lower(f->name.substr(f->name.rfind('.')));
        QByteArray jpeg = ext == ".jpg" || ext == ".jpeg" ? data : jpegOf(QImage::fromData(data), 90);
        if (jpeg.isEmpty()) continue;
        latestName = f->name;
        latestJpeg = std::move(jpeg);
      }
      soup_message_headers_replace(soup_server_message_get_response_headers(msg), "X-Frame-Name",
                                   latestName.c_str());
      return bytes(msg, "image/jpeg", latestJpeg, "no-store");
    }
    text(msg, SOUP_STATUS_NOT_FOUND, "No frame yet.");
  }

  // ---- The live picture.

  void watch(SoupServerMessage* msg) {
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    soup_message_headers_set_content_type(
        out, (std::string("multipart/x-mixed-replace;boundary=") + kBoundary).c_str(), nullptr);
    soup_message_headers_replace(out, "Cache-Control", "no-store");
    soup_message_headers_set_encoding(out, SOUP_ENCODING_CHUNKED);
    soup_message_body_set_accumulate(soup_server_message_get_response_body(msg), FALSE);
    if (std::string(soup_server_message_get_method(msg)) == "HEAD") {
      soup_message_body_complete(soup_server_message_get_response_body(msg));
      return;
    }
    watchers.push_back({msg, 0});
    g_signal_connect(msg, "wrote-chunk", G_CALLBACK(+[](SoupServerMessage* m, gpointer self) {
                       for (Watcher& w : static_cast<Impl*>(self)->watchers)
                         if (w.msg == m && w.unread > 0) --w.unread;
                     }),
                     this);
    g_signal_connect(
        msg, "finished",
        G_CALLBACK(+[](SoupServerMessage* m, gpointer self) { static_cast<Impl*>(self)->unwatch(m); }), this);
    // The newest picture at once, while it is still fresh.
    if (lastPart && g_get_monotonic_time() - lastPartAt < 1'000'000) send(watchers.back(), lastPart);
    if (watchers.size() == 1) setWatching(true);
  }

  void unwatch(SoupServerMessage* msg) {
    std::erase_if(watchers, [&](const Watcher& w) { return w.msg == msg; });
    if (watchers.empty()) setWatching(false);
  }

  void setWatching(bool on) {
    watching = on;
    toWindow([on](Server& s) {
      if (s.onWatching) s.onWatching(on);
    });
  }

  static void send(Watcher& w, GBytes* part) {
    // A client that does not read loses frames rather than piling them up.
    if (w.unread >= kStreamBacklog) return;
    ++w.unread;
    soup_message_body_append_bytes(soup_server_message_get_response_body(w.msg), part);
    soup_server_message_unpause(w.msg);
  }

  void preview(const QImage& picture) {
    if (watchers.empty()) return;
    const QByteArray jpeg = jpegOf(picture, 80);
    const QByteArray head =
        QByteArray("--") + kBoundary +
        "\r\nContent-Type: image/jpeg\r\nContent-Length: " + QByteArray::number(jpeg.size()) + "\r\n\r\n";
    const QByteArray part = head + jpeg + "\r\n";
    if (lastPart) g_bytes_unref(lastPart);
    lastPart = g_bytes_new(part.constData(), static_cast<gsize>(part.size()));
    lastPartAt = g_get_monotonic_time();
    for (Watcher& w : watchers) send(w, lastPart);
  }
};

Server::Server() : d_(std::make_shared<Impl>()) { d_->owner = this; }

Server::~Server() {
  stop();
  std::lock_guard lock(d_->mutex);
  d_->owner = nullptr;
}

std::string Server::start(const Options& options) {
  stop();
  if (d_->context) g_main_context_unref(d_->context);
  d_->context = g_main_context_new();
  d_->options = options;
  std::promise<std::string> ready;
  std::future<std::string> listening = ready.get_future();
  d_->thread = std::thread([d = d_.get(), &ready] {
    g_main_context_push_thread_default(d->context);
    d->loop = g_main_loop_new(d->context, FALSE);
    const std::string why = d->listen();
    ready.set_value(why);
    if (why.empty()) g_main_loop_run(d->loop);
    d->shutDown();
    g_main_loop_unref(d->loop);
    d->loop = nullptr;
    g_main_context_pop_thread_default(d->context);
  });
  const std::string why = listening.get();
  if (!why.empty()) {
    d_->thread.join();
    d_->port = 0;
    qCWarning(lcWeb).noquote() << "Web page not served:" << QString::fromStdString(why);
    return why;
  }
  qCInfo(lcWeb).noquote() << "Web page at" << QString::fromStdString(url());
  return {};
}

void Server::stop() {
  if (!d_->thread.joinable()) return;
  d_->post([](Impl& d) { g_main_loop_quit(d.loop); });
  d_->thread.join();
  d_->port = 0;
  d_->watching = false;
}

bool Server::serving() const { return d_->port != 0; }

int Server::port() const { return d_->port; }

std::string Server::url() const {
  if (!serving()) return {};
  std::string host = d_->options.address;
  if (host == "0.0.0.0" || host == "::") host = "127.0.0.1";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return (d_->options.certFile.empty() ? "http://" : "https://") + host + ":" + std::to_string(d_->port) +
         "/";
}

void Server::publish(const run::State& state, const std::string& folder) {
  std::lock_guard lock(d_->mutex);
  d_->state = state;
  d_->folder = folder;
}

void Server::publishSending(const std::optional<Sending>& sending) {
  std::lock_guard lock(d_->mutex);
  d_->sending = sending;
}

void Server::publishDailyVideo(const std::optional<DailyVideo>& video) {
  std::lock_guard lock(d_->mutex);
  d_->daily = video;
}

void Server::offerPreview(const olepro32::StdPicture& picture) {
  if (!d_->watching || !picture) return;
  QImage image = gdi32::fileImage(picture.Handle(), picture.hPal()).copy();
  if (image.isNull()) return;
  d_->post([image = std::move(image)](Impl& d) { d.preview(image); });
}

}  // namespace web
