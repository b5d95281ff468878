#include "send/rclone.h"

#include <sys/prctl.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>
#include <csignal>
#include <deque>

namespace sending {
namespace {

constexpr const char* kProgram = "rclone";
constexpr int kListTimeoutMs = 10000;
// The daemon keeps a record of every transfer it made, which each call then
// goes through: after a thousand a call costs it several times the CPU. It is
// emptied after this many calls.
constexpr int kStatsResetEvery = 50;
// What rclone says when its remote control is up: the address it chose.
const QRegularExpression kServing(R"(Serving remote control on (http://[^\s/]+)/)");

QString randomText() {
  QString text;
  for (int i = 0; i < 4; ++i) text += QString::number(QRandomGenerator::system()->generate64(), 36);
  return text;
}

}  // namespace

std::optional<std::string> remoteOf(const std::string& destination) {
  const size_t colon = destination.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  const std::string name = destination.substr(0, colon);
  // rclone's remote names: letters, digits and _ - . + @ and space, not
  // beginning with a dash or a space; a path with a slash before the colon
  // is a folder.
  static const QRegularExpression valid(R"(^[\w.+@][\w.+@ -]*$)");
  if (!valid.match(QString::fromStdString(name)).hasMatch()) return std::nullopt;
  return name;
}

std::optional<std::vector<std::string>> listRemotes(std::string& why) {
  QProcess rclone;
  rclone.start(kProgram, {"listremotes"});
  if (!rclone.waitForStarted()) {
    why = "rclone is not installed (install the Debian package rclone)";
    return std::nullopt;
  }
  if (!rclone.waitForFinished(kListTimeoutMs) || rclone.exitStatus() != QProcess::NormalExit ||
      rclone.exitCode() != 0) {
    rclone.kill();
    rclone.waitForFinished();
    why = "rclone listremotes failed: " +
          QString::fromLocal8Bit(rclone.readAllStandardError()).trimmed().toStdString();
    return std::nullopt;
  }
  std::vector<std::string> remotes;
  for (const QString& line : QString::fromLocal8Bit(rclone.readAllStandardOutput()).split('\n')) {
    QString name = line.trimmed();
    if (name.endsWith(':')) name.chop(1);
    if (!name.isEmpty()) remotes.push_back(name.toStdString());
  }
  return remotes;
}

struct Rclone::Impl {
  struct Call {
    QByteArray method;
    QByteArray body;
    std::function<void(const Reply&)> done;
  };

  QNetworkAccessManager network;
  QProcess* process = nullptr;  // while the daemon runs
  QString base;                 // its address, once it said it
  QString password = randomText();
  QByteArray said;           // what it wrote before it said its address
  std::deque<Call> waiting;  // calls made before the address was known
  int calls = 0;             // since the daemon's record was last emptied

  ~Impl() { stop(); }

  void start() {
    process = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // In its environment, not on its command line, where anyone may read it.
    env.insert("RCLONE_RC_USER", "ferrowick");
    env.insert("RCLONE_RC_PASS", password);
    process->setProcessEnvironment(env);
    // It ends with the thread that started it (the program killed among others).
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process->setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(process, &QProcess::readyReadStandardOutput, process, [this] { read(); });
    QObject::connect(process, &QProcess::finished, process, [this] { ended(); });
    QObject::connect(process, &QProcess::errorOccurred, process, [this](QProcess::ProcessError e) {
      if (e == QProcess::FailedToStart) ended();
    });
    // Port 0: the daemon chooses a free one and says which. Short waits for a
    // destination that does not answer, few retries: the sender retries.
    process->start(kProgram, {"rcd", "--rc-addr", "127.0.0.1:0", "--contimeout", "15s", "--timeout", "60s",
                              "--low-level-retries", "2", "--stats", "0"});
  }

  void read() {
    const QByteArray output = process->readAllStandardOutput();
    if (!base.isEmpty()) return;
    said += output;
    const QRegularExpressionMatch m = kServing.match(QString::fromLocal8Bit(said));
    if (!m.hasMatch()) return;
    base = m.captured(1);
    said.clear();
    while (!waiting.empty()) {
      Call c = std::move(waiting.front());
      waiting.pop_front();
      post(std::move(c));
    }
  }

  void ended() {
    if (!process) return;
    const QString why = process->error() == QProcess::FailedToStart
                            ? QString("rclone is not installed (install the Debian package rclone)")
                            : "rclone ended: " + QString::fromLocal8Bit(said).trimmed().section('\n', -1);
    process->deleteLater();
    process = nullptr;
    base.clear();
    said.clear();
    std::deque<Call> calls;
    calls.swap(waiting);
    for (Call& c : calls) c.done({0, why.toStdString(), {}});
  }

  void post(Call c) {
    QNetworkRequest request(QUrl(base + "/" + c.method));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setRawHeader("Authorization", "Basic " + ("ferrowick:" + password).toUtf8().toBase64());
    QNetworkReply* reply = network.post(request, c.body);
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, done = std::move(c.done)] {
      reply->deleteLater();
      Reply r;
      r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
      const QJsonObject json = QJsonDocument::fromJson(reply->readAll()).object();
      for (auto it = json.begin(); it != json.end(); ++it) {
        if (it.value().isString()) r.values[it.key().toStdString()] = it.value().toString().toStdString();
      }
      r.error = json.value("error").toString().toStdString();
      if (r.status != 200 && r.error.empty()) r.error = reply->errorString().toStdString();
      done(r);
    });
  }

  void stop() {
    if (!process) return;
    QProcess* p = process;
    process = nullptr;
    QObject::disconnect(p, nullptr, nullptr, nullptr);
    p->terminate();
    if (!p->waitForFinished(3000)) {
      p->kill();
      p->waitForFinished(1000);
    }
    delete p;
    base.clear();
    std::deque<Call> calls;
    calls.swap(waiting);
    for (Call& c : calls) c.done({0, "rclone stopped", {}});
  }
};

Rclone::Rclone() : d_(std::make_unique<Impl>()) {}
Rclone::~Rclone() = default;

void Rclone::call(const std::string& method, const Params& params, std::function<void(const Reply&)> done) {
  QJsonObject json;
  for (const auto& [key, value] : params) {
    const QString name = QString::fromStdString(key);
    if (name.startsWith('_'))
      json.insert(name, QJsonDocument::fromJson(QByteArray::fromStdString(value)).object());
    else
      json.insert(name, QString::fromStdString(value));
  }
  Impl::Call c{QByteArray::fromStdString(method), QJsonDocument(json).toJson(QJsonDocument::Compact),
               std::move(done)};
  if (!d_->base.isEmpty()) {
    if (++d_->calls >= kStatsResetEvery) {
      d_->calls = 0;
      d_->post({"core/stats-reset", "{}", [](const Reply&) {}});
    }
    return d_->post(std::move(c));
  }
  d_->waiting.push_back(std::move(c));
  if (!d_->process) d_->start();
}

void Rclone::stop() { d_->stop(); }

}  // namespace sending
