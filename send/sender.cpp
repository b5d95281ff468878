#include "send/sender.h"

#include <sys/stat.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/durablefile.h"
#include "platform/vba.h"
#include "schedule/localtime.h"
#include "send/rclone.h"
#include "send/sendqueue.h"
#include "video/frames.h"

namespace sending {
namespace {

Q_LOGGING_CATEGORY(lcSend, "ferrowick.send", QtInfoMsg)

// rclone sends several files at once (as many as its own `rclone copy`); a
// folder takes them one at a time.
constexpr int kRcloneAtOnce = 4;
constexpr int kLastRetryMs = 5 * 60 * 1000;
// While the destination cannot be reached, whether it answers again is asked
// this often (a look at one name, far cheaper than a send), so that sending
// goes on soon after it is back rather than after the longer waits.
constexpr int kProbeMs = 5000;
constexpr int kLatestQuality = 90;
// Frames sent are recorded on the disk at most this often while more follow
// (each record waits for the disk): a crash in between sends them once more.
constexpr int kRecordEveryMs = 500;

// rclone's options for a call that puts a file where one may stand already,
// on a backend that names files as a file system does: without looking
// first. Otherwise rclone passes over a file it takes for the same (same
// size, modified within the same second) and, on a rename, deletes the one
// there before it renames, so that for a moment there is none; the backend's
// own rename replaces it in one step where it can.
const char* const kWithoutLooking = R"({"NoCheckDest": true})";

// Backends that make an upload appear whole or not at all (object stores,
// and the cloud drives that finish an upload in one request); every other
// one gets the file under a temporary name that is renamed when complete.
const std::set<std::string> kAtomicBackends = {"s3",    "gcs",     "azureblob", "b2",  "swift",  "qingstor",
                                               "drive", "dropbox", "onedrive",  "box", "pcloud", "storj"};

int64_t nowSecs() { return static_cast<int64_t>(std::time(nullptr)); }

std::string clock(int64_t t, const char* format) { return vba::Format(schedule::localTime(t), format); }

bool mentions(const std::string& text, std::initializer_list<const char*> words) {
  const QString t = QString::fromStdString(text);
  return std::any_of(words.begin(), words.end(),
                     [&](const char* w) { return t.contains(w, Qt::CaseInsensitive); });
}

// A refusal that trying again will not change.
bool refusedForGood(const std::string& error) {
  return mentions(error, {"permission denied", "read only file system", "read-only file system",
                          "access denied", "forbidden", "too large", "not permitted", "403", "413"});
}

bool unreachable(const std::string& error) {
  return mentions(error, {"connect", "dial", "timeout", "timed out", "no route", "EOF", "unreachable",
                          "refused", "is missing", "not installed", "rclone ended"});
}

// "1 frame", "3 frames".
std::string count(int64_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}
std::string files(int64_t n) { return count(n, "file"); }

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string fileName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

struct Outcome {
  bool ok = true;
  bool forGood = false;  // refused for good
  std::string error;
};
Outcome failure(const std::string& error) { return {false, refusedForGood(error), error}; }

// A file's temporary name beside its final one: "videos/.NAME.partial".
std::string tempName(const std::string& remote) {
  const size_t slash = remote.find_last_of('/');
  const size_t at = slash == std::string::npos ? 0 : slash + 1;
  return remote.substr(0, at) + "." + remote.substr(at) + ".partial";
}

// What the sending thread tells the others.
struct Published {
  State state;
  bool idle = true;
  std::string folder;
  bool read = false;  // the record is read: from and last hold
  int64_t from = 0;
  FrameKey last;
};

// A file to send: a frame, a video, or latest.jpg.
struct Item {
  enum class Kind { Frame, Video, Latest } kind = Kind::Frame;
  FrameKey key;
  std::string path;       // the local file
  std::string remote;     // its name at the destination ("videos/NAME" for a video)
  bool inFlight = false;  // being uploaded or renamed
  bool uploaded = false;  // under its temporary name, to be renamed
  bool done = false;
};

// Copies a file into a folder destination: whole under its final name, or
// not at all, replacing an earlier copy in one step.
Outcome copyIntoFolder(const std::string& destination, const std::string& source, const std::string& remote) {
  if (!isFolder(destination)) {
    // A mount point without its disk is not written into: it waits.
    return {false, false, "destination folder " + destination + " is missing"};
  }
  const std::string target = destination + "/" + remote;
  const std::string folder = folderOf(target);
  if (!QDir().mkpath(QString::fromStdString(folder))) return failure("cannot make folder " + folder);
  QFile in(QString::fromStdString(source));
  if (!in.open(QIODevice::ReadOnly))
    return failure("cannot read " + source + ": " + in.errorString().toStdString());
  try {
    durablefile::PendingFile file(folder, fileName(target));
    std::vector<uint8_t> chunk;
    for (;;) {
      const QByteArray bytes = in.read(1 << 20);
      if (bytes.isEmpty()) break;
      chunk.assign(bytes.begin(), bytes.end());
      file.write(chunk);
    }
    if (in.error() != QFile::NoError) return failure("cannot read " + source);
    file.publishOver(target);
  } catch (const std::exception& e) {
    return failure(std::string(e.what()) + " (" + target + ")");
  }
  return {};
}

}  // namespace

std::string describe(const State& s) {
  if (s.destination.empty()) return "Sending is off.";
  std::string text = s.waiting == 0 ? std::string("All sent")
                                    : count(s.waiting - s.videos, "frame") +
                                          (s.videos ? " and " + count(s.videos, "video") : "") + " waiting";
  if (s.errorSince) {
    text += std::string(s.unreachable ? "; destination unreachable" : "; sending fails") + " since " +
            clock(s.errorSince, "hh:nn") + ", trying again (" + s.error + ")";
  }
  if (s.lastSentAt) text += "; last sent " + s.lastSent + " at " + clock(s.lastSentAt, "hh:nn:ss");
  if (s.refused) text += "; " + count(s.refused, "file") + " refused, the last " + s.lastRefused;
  return text + ".";
}

// The sending itself, on its own thread: everything below runs there.
class Worker {
 public:
  Worker(std::function<void(const Published&)> publish, int firstRetryMs)
      : publish_(std::move(publish)), firstRetryMs_(firstRetryMs) {
    retry_.setSingleShot(true);
    QObject::connect(&retry_, &QTimer::timeout, &retry_, [this] { pump(); });
    QObject::connect(&probe_, &QTimer::timeout, &probe_, [this] { probe(); });
    record_.setSingleShot(true);
    QObject::connect(&record_, &QTimer::timeout, &record_, [this] {
      record();
      this->publish();
    });
  }
  ~Worker() {
    record();
    ++generation_;
    if (rclone_) rclone_->stop();
  }

  void bind(const std::string& folder, const std::string& destination, bool latest) {
    latest_ = latest;
    if (folder == folder_ && destination == state_.destination && (queue_ || destination.empty())) return;
    record();
    ++generation_;
    probe_.stop();
    probing_ = false;
    frames_.clear();
    videos_.clear();
    latestFrom_.clear();
    inFlight_ = 0;
    atomic_.reset();
    queue_.reset();
    folder_ = folder;
    state_ = State{};
    state_.destination = destination;
    remote_ = remoteOf(destination);
    if (!remote_) rclone_.reset();
    if (destination.empty()) return publish();
    try {
      queue_.emplace(folder, destination, nowSecs());
    } catch (const std::exception& e) {
      return failed(e.what());
    }
    // The backlog: every frame of the folder after the last one sent.
    for (const video::FrameFile& f : video::listFrames(folder).frames) {
      const FrameKey key{f.takenAt, f.suffix};
      if (!queue_->settled(key)) frames_.push_back({Item::Kind::Frame, key, f.path, fileName(f.path)});
    }
    for (const std::string& v : queue_->videos()) {
      if (QFileInfo::exists(QString::fromStdString(v))) videos_.push_back(video(v));
    }
    qCInfo(lcSend).noquote() << QString::fromStdString("Sending the frames of " + folder + " to " +
                                                       destination + ": " + files(waiting()) + " waiting.");
    pump();
  }

  void frameWritten(const std::string& path) {
    if (!queue_ || folderOf(path) != folder_) return;
    const std::optional<video::FrameFile> f = video::frameFile(path);
    if (!f) return;
    const FrameKey key{f->takenAt, f->suffix};
    // The backlog read at bind may hold it already.
    if (queue_->settled(key) || (!frames_.empty() && key <= frames_.back().key)) return;
    frames_.push_back({Item::Kind::Frame, key, path, fileName(path)});
    pump();
  }

  void videoMade(const std::string& path) {
    if (!queue_) return;
    try {
      queue_->videoWaits(path);
    } catch (const std::exception& e) {
      return failed(e.what());
    }
    videos_.push_back(video(path));
    pump();
  }

 private:
  static Item video(const std::string& path) {
    return {Item::Kind::Video, {}, path, "videos/" + fileName(path)};
  }

  int atOnce() const { return remote_ ? kRcloneAtOnce : 1; }

  // Starts as many sends as may be under way; nothing while waiting to try
  // again. A send that ends at once (into a folder) has the loop go on.
  void pump() {
    if (pumping_ || !queue_ || retry_.isActive()) return publish();
    // A record that failed is tried again with the next try.
    if (unrecorded_ && !record_.isActive()) record_.start(frames_.empty() ? 0 : kRecordEveryMs);
    if (remote_ && !atomic_) {
      askBackend();
      return publish();
    }
    renameNextFrame();
    pumping_ = true;
    while (inFlight_ < atOnce() && !retry_.isActive()) {
      Item* next = nullptr;
      for (std::deque<Item>* list : {&frames_, &videos_}) {
        for (Item& i : *list) {
          if (!i.inFlight && !i.uploaded && !i.done) {
            next = &i;
            break;
          }
        }
        if (next) break;
      }
      if (!next && !latestFrom_.empty() && frames_.empty() && !latestItem_.inFlight && !latestItem_.uploaded)
        next = latest();
      if (!next) break;
      start(*next);
    }
    pumping_ = false;
    publish();
  }

  // latest.jpg made from the newest frame sent, whatever its format.
  Item* latest() {
    latestSource_ = std::exchange(latestFrom_, {});
    const std::string& from = latestSource_;
    const std::string scratch = stateFile(folder_ + "\n" + state_.destination, "latest.jpg");
    QFile source(QString::fromStdString(from));
    QByteArray jpeg;
    if (source.open(QIODevice::ReadOnly)) jpeg = source.readAll();
    const QString suffix = QFileInfo(source).suffix().toLower();
    if (suffix != "jpg" && suffix != "jpeg") {
      QBuffer buffer(&jpeg);
      const QImage image = QImage::fromData(jpeg);
      jpeg.clear();
      buffer.open(QIODevice::WriteOnly);
      if (!image.isNull()) image.save(&buffer, "JPEG", kLatestQuality);
    }
    // A scratch file, read only by the send that follows: written over in
    // place, with no wait for the disk.
    QFile out(QString::fromStdString(scratch));
    if (jpeg.isEmpty() || !out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(jpeg) != jpeg.size() || !out.flush())
      return nullptr;
    latestItem_ = {Item::Kind::Latest, {}, scratch, "latest.jpg"};
    return &latestItem_;
  }

  void askBackend() {
    if (asking_) return;
    asking_ = true;
    rclone().call("config/get", {{"name", *remote_}}, [this, g = generation_](const Reply& r) {
      if (g != generation_) return;
      asking_ = false;
      if (!r.ok()) return failed(r.error);
      const auto type = r.values.find("type");
      if (type == r.values.end()) return failed("rclone has no remote named " + *remote_);
      atomic_ = kAtomicBackends.count(type->second) > 0;
      pump();
    });
  }

  Rclone& rclone() {
    if (!rclone_) rclone_ = std::make_unique<Rclone>();
    return *rclone_;
  }

  void start(Item& item) {
    item.inFlight = true;
    ++inFlight_;
    if (!remote_) {
      // A folder is written here, on this thread, one file at a time.
      const Outcome o = copyIntoFolder(state_.destination, item.path, item.remote);
      item.inFlight = false;
      --inFlight_;
      return finished(item, o);
    }
    // Where uploads are not whole or nothing, a file goes under a temporary
    // name first and is renamed when complete.
    const bool direct = *atomic_;
    Params copy = {{"srcFs", folderOf(item.path)},
                   {"srcRemote", fileName(item.path)},
                   {"dstFs", state_.destination},
                   {"dstRemote", direct ? item.remote : tempName(item.remote)}};
    // Not on the backends that upload whole: some of them (Google Drive) keep
    // two files of one name rather than replace one that is not looked for.
    if (!direct) copy.push_back({"_config", kWithoutLooking});
    rclone().call("operations/copyfile", copy, [this, &item, direct, g = generation_](const Reply& r) {
      if (g != generation_) return;
      item.inFlight = false;
      --inFlight_;
      if (!r.ok() || direct) return finished(item, outcome(item, r));
      item.uploaded = true;
      if (item.kind == Item::Kind::Frame) return pump();
      rename(item);
    });
  }

  // Frames are renamed one at a time in capture order, so that they appear
  // at the destination in that order however many are uploaded at once.
  void renameNextFrame() {
    if (renaming_) return;
    for (Item& i : frames_) {
      if (i.done) continue;
      if (i.uploaded && !i.inFlight) rename(i);
      return;
    }
  }

  // latest.jpg replaces the one there by the backend's own rename, which does
  // so in one step where it can; where that rename refuses a name that is
  // taken, it is renamed again as rclone does by default.
  void rename(Item& item, bool replacing = true) {
    item.inFlight = true;
    if (item.kind == Item::Kind::Frame) renaming_ = true;
    const bool latest = item.kind == Item::Kind::Latest && replacing;
    Params move = {{"srcFs", state_.destination},
                   {"srcRemote", tempName(item.remote)},
                   {"dstFs", state_.destination},
                   {"dstRemote", item.remote}};
    if (latest) move.push_back({"_config", kWithoutLooking});
    rclone().call("operations/movefile", move, [this, &item, latest, g = generation_](const Reply& r) {
      if (g != generation_) return;
      item.inFlight = false;
      if (item.kind == Item::Kind::Frame) renaming_ = false;
      if (latest && !r.ok() && r.status != 0 && !unreachable(r.error)) return rename(item, false);
      finished(item, outcome(item, r));
    });
  }

  static Outcome outcome(const Item& item, const Reply& r) {
    if (r.ok()) return {};
    // A frame deleted here before it was sent is passed over.
    if (r.status == 404 && !QFileInfo::exists(QString::fromStdString(item.path)))
      return {false, true, "the file is gone: " + r.error};
    return failure(r.error);
  }

  void finished(Item& item, const Outcome& o) {
    item.uploaded = false;
    const std::string name = fileName(item.path);
    if (!o.ok && !o.forGood) {
      if (item.kind == Item::Kind::Latest && latestFrom_.empty()) latestFrom_ = latestSource_;
      return failed(o.error);
    }
    if (o.ok) {
      // latest.jpg follows each frame: the frame names more.
      if (item.kind != Item::Kind::Latest) {
        state_.lastSent = name;
        state_.lastSentAt = nowSecs();
      }
      if (state_.errorSince) {
        qCInfo(lcSend).noquote() << QString::fromStdString(
            "Sending to " + state_.destination + " works again; " + files(waiting() - 1) + " waiting.");
      }
      state_.error.clear();
      state_.errorSince = 0;
      state_.unreachable = false;
      retryMs_ = 0;
    } else {
      ++state_.refused;
      state_.lastRefused = name + " (" + o.error + ")";
      qCWarning(lcSend).noquote() << QString::fromStdString("Refused by " + state_.destination +
                                                            ", passed over: " + state_.lastRefused);
    }
    item.done = true;
    if (item.kind == Item::Kind::Frame && o.ok && latest_ && &item == &frames_.back())
      latestFrom_ = item.path;
    // Recorded in capture order: a frame done before one still under way
    // is recorded after it (and, after a crash between, sent once more).
    while (!frames_.empty() && frames_.front().done) {
      unrecorded_ = std::make_pair(frames_.front().key, fileName(frames_.front().path));
      frames_.pop_front();
    }
    if (frames_.empty()) {
      record();
    } else if (unrecorded_ && !record_.isActive()) {
      record_.start(kRecordEveryMs);
    }
    try {
      while (!videos_.empty() && videos_.front().done) {
        queue_->videoDone(videos_.front().path);
        videos_.pop_front();
      }
    } catch (const std::exception& e) {
      failed(e.what());
    }
    pump();
  }

  // Told once when sending begins to fail; tried again later, each try
  // after twice as long as the one before, up to 5 minutes (the sends that
  // fail together count as one try).
  void failed(const std::string& error) {
    if (!state_.errorSince) {
      state_.errorSince = nowSecs();
      qCWarning(lcSend).noquote() << QString::fromStdString(
          "Sending to " + state_.destination + " fails: " + error + "; files wait and it is tried again.");
    }
    state_.error = error;
    state_.unreachable = unreachable(error);
    if (!retry_.isActive()) {
      retryMs_ = retryMs_ ? std::min(retryMs_ * 2, kLastRetryMs) : firstRetryMs_;
      retry_.start(retryMs_);
    }
    if (state_.unreachable && retryMs_ > kProbeMs && !probe_.isActive()) probe_.start(kProbeMs);
    publish();
  }

  // Tries again at once when the destination that could not be reached answers.
  void probe() {
    if (!retry_.isActive() || !state_.unreachable) return probe_.stop();
    const auto answered = [this] {
      probe_.stop();
      retry_.stop();
      pump();
    };
    if (!remote_) {
      if (isFolder(state_.destination)) answered();
      return;
    }
    if (probing_) return;
    probing_ = true;
    rclone().call("operations/stat", {{"fs", state_.destination}, {"remote", "latest.jpg"}},
                  [this, answered, g = generation_](const Reply& r) {
                    if (g != generation_) return;
                    probing_ = false;
                    if (r.ok() && retry_.isActive()) answered();
                  });
  }

  // The newest frame done, on the disk.
  void record() {
    record_.stop();
    if (!unrecorded_ || !queue_) return;
    try {
      queue_->frameDone(unrecorded_->first, unrecorded_->second);
      unrecorded_.reset();
    } catch (const std::exception& e) {
      failed(e.what());
    }
  }

  int64_t waiting() const { return static_cast<int64_t>(frames_.size() + videos_.size()); }

  void publish() {
    state_.waiting = waiting();
    state_.videos = static_cast<int64_t>(videos_.size());
    state_.busy = inFlight_ > 0 || renaming_ || !latestFrom_.empty() || asking_ || unrecorded_;
    Published p;
    p.state = state_;
    p.idle = state_.waiting == 0 && !state_.busy;
    p.folder = folder_;
    p.read = queue_.has_value();
    if (queue_) {
      p.from = queue_->from();
      p.last = queue_->last();
    }
    publish_(p);
  }

  std::function<void(const Published&)> publish_;
  const int firstRetryMs_;
  int generation_ = 0;  // a bind makes the replies to earlier sends stale
  std::string folder_;
  std::optional<std::string> remote_;
  std::optional<bool> atomic_;  // whether the remote's backend uploads whole or not at all
  bool asking_ = false;
  bool latest_ = true;
  std::optional<SendQueue> queue_;
  std::deque<Item> frames_;
  std::optional<std::pair<FrameKey, std::string>> unrecorded_;  // done, not on the disk yet
  QTimer record_;
  std::deque<Item> videos_;
  std::string latestFrom_;    // the newest frame sent, while latest.jpg is not made of it yet
  std::string latestSource_;  // the frame latest.jpg under way is made of
  Item latestItem_;
  int inFlight_ = 0;
  bool pumping_ = false;
  bool renaming_ = false;  // a frame is being renamed
  int retryMs_ = 0;
  QTimer retry_;
  QTimer probe_;
  bool probing_ = false;
  std::unique_ptr<Rclone> rclone_;
  State state_;
};

struct Sender::Impl {
  QThread thread;
  QObject context;  // lives on the thread: calls queued to it run there
  std::unique_ptr<Worker> worker;
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  Published published;
  // What the last bind asked for, which the thread may not have taken up yet.
  std::string folder;
  std::string destination;
  uint64_t asked = 0;    // calls handed to the thread
  uint64_t handled = 0;  // and taken up there

  void run(std::function<void()> f, Qt::ConnectionType type = Qt::QueuedConnection) {
    QMetaObject::invokeMethod(&context, std::move(f), type);
  }
  // A call to the worker, counted so that waiting for it to be idle waits for the call too.
  void ask(std::function<void(Worker&)> f) {
    {
      std::lock_guard lock(mutex);
      ++asked;
    }
    run([this, f = std::move(f)] {
      f(*worker);
      std::lock_guard lock(mutex);
      ++handled;
      changed.notify_all();
    });
  }
};

Sender::Sender(int firstRetryMs) : d_(std::make_unique<Impl>()) {
  d_->context.moveToThread(&d_->thread);
  d_->thread.start();
  d_->run(
      [impl = d_.get(), firstRetryMs] {
        impl->worker = std::make_unique<Worker>(
            [impl](const Published& p) {
              std::lock_guard lock(impl->mutex);
              impl->published = p;
              impl->changed.notify_all();
            },
            firstRetryMs);
      },
      Qt::BlockingQueuedConnection);
}

Sender::~Sender() {
  d_->run([impl = d_.get()] { impl->worker.reset(); }, Qt::BlockingQueuedConnection);
  d_->thread.quit();
  d_->thread.wait();
}

void Sender::bind(const std::string& folder, const std::string& destination, bool latest) {
  {
    std::lock_guard lock(d_->mutex);
    d_->folder = folder;
    d_->destination = destination;
  }
  d_->ask([folder, destination, latest](Worker& w) { w.bind(folder, destination, latest); });
}

void Sender::frameWritten(const std::string& path) {
  {
    std::lock_guard lock(d_->mutex);
    if (d_->destination.empty()) return;
  }
  d_->ask([path](Worker& w) { w.frameWritten(path); });
}

void Sender::videoMade(const std::string& path) {
  d_->ask([path](Worker& w) { w.videoMade(path); });
}

State Sender::state() const {
  std::lock_guard lock(d_->mutex);
  return d_->published.state;
}

bool Sender::settled(const std::string& framePath) const {
  const std::optional<video::FrameFile> f = video::frameFile(framePath);
  std::lock_guard lock(d_->mutex);
  if (d_->destination.empty()) return true;
  const Published& p = d_->published;
  return f && p.read && p.folder == d_->folder && p.state.destination == d_->destination &&
         folderOf(framePath) == d_->folder &&
         (f->takenAt < p.from || FrameKey{f->takenAt, f->suffix} <= p.last);
}

bool Sender::waitIdle(int ms) const {
  std::unique_lock lock(d_->mutex);
  return d_->changed.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return d_->published.idle && d_->handled == d_->asked; });
}

}  // namespace sending
