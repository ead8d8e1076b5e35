#include <QJsonDocument>

#include "boxsim/session.h"
#include "boxsim/upgrade_handlers.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

namespace {

using kvn_network::kReportPacketType;
using kvn_network::kUpdateFileRequestType;
using kvn_network::kVersionPacketType;
constexpr std::uint32_t kUpdateFileId = 0;

class VersionCheckHandler : public Handler {
 public:
  explicit VersionCheckHandler(std::shared_ptr<UpgradeService> service)
      : service_(std::move(service)) {}

  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override {
    kvn_network::NetPacket request = packet;
    VersionCheck check;
    try {
      check.major = request.getInt32();
      check.minor = request.getInt32();
      check.patch = request.getInt32();
      check.build = request.getInt32();
      request.getUInt8();
      request.getUInt8();
      check.platform = request.getString();
    } catch (const KvnCommonException& e) {
      KLOG_E("boxsim: malformed version packet: %s", e.what());
      session.record().addNote("malformed version packet");
      return false;
    }
    service_->addCheck(check);
    const bool offering = service_->offered().has_value();
    session.record().addNote(QString("version check %1.%2.%3.%4 %5")
                                 .arg(check.major)
                                 .arg(check.minor)
                                 .arg(check.patch)
                                 .arg(check.build)
                                 .arg(check.platform));
    kvn_network::NetPacket answer(kVersionPacketType);
    if (service_->answerNotText()) {
      answer.setError();
      answer.putUInt32(0);
    } else {
      answer.putString(QString(offering ? kvn_network::kUpdateAnswer : "NONE"));
    }
    return session.send(answer, true, true);
  }

 private:
  std::shared_ptr<UpgradeService> service_;
};

class UpdateFileHandler : public Handler {
 public:
  explicit UpdateFileHandler(std::shared_ptr<UpgradeService> service)
      : service_(std::move(service)) {}

  bool handle(BoxSession& session, const kvn_network::NetPacket&) override {
    const QByteArray program = service_->offered().value_or(QByteArray());
    session.record().addNote("update file request");
    service_->countDownload();
    KLOG_I("boxsim: sending the update program (%lld bytes)",
           static_cast<long long>(program.size()));
    if (!session.sendFile(kUpdateFileRequestType, kUpdateFileId, program, true, true).complete)
      return false;
    kvn_network::NetPacket done(kUpdateFileRequestType);
    return session.send(done, true, true);
  }

 private:
  std::shared_ptr<UpgradeService> service_;
};

class AgentReportHandler : public Handler {
 public:
  explicit AgentReportHandler(std::shared_ptr<UpgradeService> service)
      : service_(std::move(service)) {}

  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override {
    kvn_network::NetPacket report = packet;
    QString text;
    try {
      report.getDateTime();
      text = report.getString();
    } catch (const KvnCommonException& e) {
      KLOG_E("boxsim: malformed agent report: %s", e.what());
      session.record().addNote("malformed agent report");
      return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (!document.isObject()) {
      session.record().addNote("agent report is not a JSON object");
      return true;
    }
    service_->addReport(document.object());
    session.record().addNote("agent report");
    KLOG_I("boxsim: agent report: %s", qPrintable(text));
    return true;
  }

 private:
  std::shared_ptr<UpgradeService> service_;
};

}  // namespace

void UpgradeService::offer(std::optional<QByteArray> program) {
  std::lock_guard lock(mutex_);
  program_ = std::move(program);
}

std::optional<QByteArray> UpgradeService::offered() const {
  std::lock_guard lock(mutex_);
  return program_;
}

void UpgradeService::setAnswerNotText(bool on) {
  std::lock_guard lock(mutex_);
  answerNotText_ = on;
}

bool UpgradeService::answerNotText() const {
  std::lock_guard lock(mutex_);
  return answerNotText_;
}

void UpgradeService::addCheck(const VersionCheck& check) {
  std::lock_guard lock(mutex_);
  checks_.append(check);
}

QList<VersionCheck> UpgradeService::checks() const {
  std::lock_guard lock(mutex_);
  return checks_;
}

void UpgradeService::addReport(const QJsonObject& report) {
  std::lock_guard lock(mutex_);
  reports_.append(report);
}

QList<QJsonObject> UpgradeService::reports() const {
  std::lock_guard lock(mutex_);
  return reports_;
}

int UpgradeService::downloads() const {
  std::lock_guard lock(mutex_);
  return downloads_;
}

void UpgradeService::countDownload() {
  std::lock_guard lock(mutex_);
  ++downloads_;
}

void addUpgradeHandlers(Registry& registry, std::shared_ptr<UpgradeService> service) {
  registry.add(kVersionPacketType, std::make_shared<VersionCheckHandler>(service));
  registry.add(kUpdateFileRequestType, std::make_shared<UpdateFileHandler>(service));
  registry.add(kReportPacketType, std::make_shared<AgentReportHandler>(service));
}

}  // namespace boxsim
