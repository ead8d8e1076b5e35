// The agent's version check (0x50000000: four i32, two bytes, the platform
// text; answered with "UPDATE" when an update program is offered, else
// "NONE"), the download of the update program (0x50000001: the program as a
// transfer of that type, file id 0, then one empty packet), and the agent's
// hourly report (0x50002000: a date-time, then JSON text; no answer).
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <cstdint>
#include <mutex>
#include <optional>

#include "boxsim/handler.h"
#include "kvn_network/upgrade_protocol.h"

namespace boxsim {

struct VersionCheck {
  std::int32_t major = 0;
  std::int32_t minor = 0;
  std::int32_t patch = 0;
  std::int32_t build = 0;
  QString platform;
};

// Thread-safe; tests change the offer between conversations.
class UpgradeService {
 public:
  // The update program offered; none: "no update".
  void offer(std::optional<QByteArray> program);
  std::optional<QByteArray> offered() const;
  // Answer with an error packet instead of a text.
  void setAnswerNotText(bool on);
  bool answerNotText() const;

  void addCheck(const VersionCheck& check);
  QList<VersionCheck> checks() const;
  void addReport(const QJsonObject& report);
  QList<QJsonObject> reports() const;
  int downloads() const;
  void countDownload();

 private:
  mutable std::mutex mutex_;
  std::optional<QByteArray> program_;
  bool answerNotText_ = false;
  QList<VersionCheck> checks_;
  QList<QJsonObject> reports_;
  int downloads_ = 0;
};

void addUpgradeHandlers(Registry& registry, std::shared_ptr<UpgradeService> service);

}  // namespace boxsim
