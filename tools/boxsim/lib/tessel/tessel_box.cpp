#include "boxsim/tessel_box.h"

#include <QSslCertificate>
#include <QSslServer>
#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <mutex>

#include "kvn_log/log.h"
#include "kvn_network/tessel_proof.h"
#include "self_signed_certificate.h"
#include "tessel_link.h"
#include "tls_listener.h"
#include "upload_assembler.h"

namespace boxsim {

namespace tessel = kvn_network::tessel;

namespace {

const std::pair<const char*, HelloFault> kHelloFaultNames[] = {
    {"none", HelloFault::None},
    {"other-licence", HelloFault::OtherLicence},
    {"wrong-proof", HelloFault::WrongProof},
    {"short-proof", HelloFault::ShortProof},
    {"empty-answer", HelloFault::EmptyAnswer},
    {"oversized-answer", HelloFault::OversizedAnswer},
    {"no-answer", HelloFault::NoAnswer},
};

const std::pair<const char*, LinkFault> kLinkFaultNames[] = {
    {"two-payloads", LinkFault::TwoPayloads},
    {"oversized-frame", LinkFault::OversizedFrame},
    {"error-message", LinkFault::ErrorMessage},
    {"invalid-json", LinkFault::InvalidJson},
    {"empty-json", LinkFault::EmptyJson},
    {"unknown-type", LinkFault::UnknownType},
    {"drop", LinkFault::Drop},
};

template <typename T, std::size_t N>
std::optional<T> byName(const std::pair<const char*, T> (&table)[N], const QString& name) {
  for (const auto& [text, value] : table)
    if (name == QLatin1String(text)) return value;
  return std::nullopt;
}

}  // namespace

std::optional<HelloFault> helloFaultFromName(const QString& name) {
  return byName(kHelloFaultNames, name);
}
std::optional<LinkFault> linkFaultFromName(const QString& name) {
  return byName(kLinkFaultNames, name);
}

// The listener and the current link, on a thread with an event loop.
class TesselBox::Server : public TlsListenerThread {
 public:
  Server(const TesselBoxConfig& config, QString uploadFolder, TesselRecord& record,
         const TesselKnobs& knobs, PemIdentity identity)
      : TlsListenerThread(config.address, config.port, identity, "Tessel"),
        config_(config),
        serial_(QSslCertificate(identity.certificate, QSsl::Pem).serialNumber()),
        record_(record),
        knobs_(knobs),
        uploads_(std::move(uploadFolder), record) {}

  const QByteArray& serial() const { return serial_; }

  // Runs f on this thread with the link, if one has passed the hello then.
  // The work goes through a queue of its own: what Qt's event queue orders
  // is out of sight of the race checker, as Qt is not built for it.
  void post(std::function<void(TesselLink&)> f) {
    {
      const std::lock_guard<std::mutex> lock(postedMutex_);
      posted_.push_back(std::move(f));
    }
    QMetaObject::invokeMethod(
        context_, [this] { runPosted(); }, Qt::QueuedConnection);
  }

 protected:
  void prepare(QSslServer& server) override {
    // Work for the link is queued to the server, which lives on this thread.
    context_ = &server;
    QObject::connect(&server, &QTcpServer::pendingConnectionAvailable, &server,
                     [this, &server] { acceptAll(server); });
    QObject::connect(&server, &QSslServer::errorOccurred, &server,
                     [](QSslSocket* socket, QAbstractSocket::SocketError) {
                       KLOG_W("boxsim: Tessel TLS handshake failed: %s",
                              qPrintable(socket->errorString()));
                     });
  }
  void cleanUp() override {
    link_.reset();
    uploads_.failAll("box stopped");
  }

 private:
  void acceptAll(QSslServer& server) {
    while (QTcpSocket* next = server.nextPendingConnection()) {
      auto* socket = static_cast<QSslSocket*>(next);
      socket->setParent(nullptr);
      if (link_) {
        record_.addEvent("link replaced by a new connection");
        link_.reset();
      }
      const std::uint64_t id = ++linkNumber_;
      const TesselLinkContext context{
          config_.license, tessel::proofKey(config_.cryptkey), serial_, knobs_, record_, uploads_};
      link_ =
          std::make_unique<TesselLink>(std::unique_ptr<QSslSocket>(socket), context, [this, id] {
            QMetaObject::invokeMethod(
                context_,
                [this, id] {
                  if (linkNumber_ == id) link_.reset();
                },
                Qt::QueuedConnection);
          });
    }
  }

  TesselBoxConfig config_;
  QByteArray serial_;
  TesselRecord& record_;
  const TesselKnobs& knobs_;
  UploadAssembler uploads_;
  // Runs what post() queued, in order.
  void runPosted() {
    std::deque<std::function<void(TesselLink&)>> work;
    {
      const std::lock_guard<std::mutex> lock(postedMutex_);
      work.swap(posted_);
    }
    for (const auto& f : work) {
      if (link_ && link_->passedHello())
        f(*link_);
      else
        KLOG_W("boxsim: Tessel send dropped, no agent linked");
    }
  }

  std::mutex postedMutex_;
  std::deque<std::function<void(TesselLink&)>> posted_;
  QObject* context_ = nullptr;
  std::unique_ptr<TesselLink> link_;
  std::uint64_t linkNumber_ = 0;
};

TesselBox::TesselBox(TesselBoxConfig config)
    : config_(std::move(config)), knobs_(std::make_unique<TesselKnobs>()) {}

TesselBox::~TesselBox() { stop(); }

bool TesselBox::start() {
  if (server_) return true;
  QString folder = config_.uploadFolder;
  if (folder.isEmpty()) {
    temporaryUploads_ = std::make_unique<QTemporaryDir>();
    if (!temporaryUploads_->isValid()) {
      KLOG_E("boxsim: cannot make a temporary folder for uploads");
      return false;
    }
    folder = temporaryUploads_->path();
  }
  config_.uploadFolder = folder;
  PemIdentity identity = makeSelfSignedIdentity(config_.address);
  if (identity.certificate.isEmpty()) return false;
  auto server = std::make_unique<Server>(config_, folder, record_, *knobs_, std::move(identity));
  const std::uint16_t bound = server->startListening();
  if (bound == 0) return false;
  config_.port = bound;
  server_ = std::move(server);
  return true;
}

void TesselBox::stop() {
  record_.shutDown();
  if (!server_) return;
  server_->stopListening();
  server_.reset();
}

std::uint16_t TesselBox::port() const { return config_.port; }
QByteArray TesselBox::certificateSerial() const {
  return server_ ? server_->serial() : QByteArray();
}
QString TesselBox::uploadFolder() const { return config_.uploadFolder; }

void TesselBox::setHelloFault(HelloFault fault) { knobs_->helloFault = fault; }

void TesselBox::setAnswerPings(bool answer) { knobs_->answerPings = answer; }

void TesselBox::setSilent(bool silent) {
  knobs_->silent = silent;
  if (!silent && record_.linked()) post([](TesselLink& link) { link.resumeReading(); });
}

bool TesselBox::post(std::function<void(TesselLink&)> f) {
  if (!server_ || !record_.linked()) {
    KLOG_W("boxsim: no agent linked on the Tessel channel");
    return false;
  }
  server_->post(std::move(f));
  return true;
}

bool TesselBox::inject(LinkFault fault) {
  return post([fault](TesselLink& link) { link.inject(fault); });
}

bool TesselBox::sendRaw(const QByteArray& bytes) {
  return post([bytes](TesselLink& link) { link.sendRaw(bytes); });
}

std::int64_t TesselBox::sendQuery(const QJsonObject& query) {
  const std::int64_t id = nextQueryId_++;
  const QJsonObject message{{tessel::key::kQueryId, qint64(id)}, {tessel::key::kQuery, query}};
  return post([message](TesselLink& link) { link.send(tessel::message::kQuery, message); }) ? id
                                                                                            : -1;
}

std::int64_t TesselBox::query(const QJsonObject& query) { return sendQuery(query); }

std::int64_t TesselBox::launchAction(const QString& action, const QString& args,
                                     const QString& intent) {
  namespace key = tessel::key;
  return sendQuery({{key::kType, tessel::query_type::kLaunchAction},
                    {key::kAction, action},
                    {key::kArgs, args},
                    {key::kIntent, intent}});
}

std::int64_t TesselBox::startTask(const QString& taskType, const QJsonObject& args) {
  namespace key = tessel::key;
  return sendQuery({{key::kType, tessel::query_type::kStartTask},
                    {key::kTaskType, taskType},
                    {key::kArgs, args}});
}

bool TesselBox::tailLogs(bool enabled) {
  return post([enabled](TesselLink& link) {
    link.send(tessel::message::kTailLogs, {{tessel::key::kEnabled, enabled}});
  });
}

bool TesselBox::sendTaskData(std::int32_t taskId, const QJsonObject& data,
                             const std::optional<QByteArray>& payload) {
  const QJsonObject message{{tessel::key::kTaskId, taskId}, {tessel::key::kData, data}};
  return post([message, payload](TesselLink& link) {
    link.send(tessel::message::kTask, message, payload ? &*payload : nullptr);
  });
}

bool TesselBox::sendTaskError(std::int32_t taskId, const QString& error) {
  const QJsonObject message{{tessel::key::kTaskId, taskId}, {tessel::key::kError, error}};
  return post([message](TesselLink& link) { link.send(tessel::message::kTask, message); });
}

TesselResponses TesselBox::waitResponses(std::int64_t queryId, std::chrono::milliseconds timeout) {
  record_.waitUntil([queryId](const TesselRecord& r) { return r.responses(queryId).done; },
                    timeout);
  return record_.responses(queryId);
}

bool TesselBox::waitConnected(std::chrono::milliseconds timeout) {
  return record_.waitUntil([](const TesselRecord& r) { return r.linked(); }, timeout);
}

std::optional<TesselUpload> TesselBox::waitUpload(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(uploadCursorMutex_);
  const std::size_t cursor = uploadCursor_;
  if (!record_.waitUntil([cursor](const TesselRecord& r) { return r.uploads().size() > cursor; },
                         timeout))
    return std::nullopt;
  return record_.uploads()[uploadCursor_++];
}

}  // namespace boxsim
