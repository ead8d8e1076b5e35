#include "boxsim/tessel_record.h"

namespace boxsim {

QString TesselLogLine::toString() const {
  return QString("%1 %2 %3:%4 - %5").arg(level, date, file).arg(line).arg(text);
}

template <typename F>
void TesselRecord::change(F f) {
  state_.change(f);
}

template <typename F>
auto TesselRecord::read(F f) const {
  return state_.read(f);
}

void TesselRecord::linkUp() {
  change([&] {
    linked_ = true;
    ++connectedCount_;
  });
}
void TesselRecord::linkDown() {
  change([&] { linked_ = false; });
}
void TesselRecord::addEvent(const QString& event) {
  change([&] { events_ << event; });
}
void TesselRecord::addPing() {
  change([&] { ++pings_; });
}
void TesselRecord::addErrorMessage(const QJsonObject& message) {
  change([&] { errorMessages_.push_back(message); });
}
void TesselRecord::addLogLine(TesselLogLine line) {
  change([&] { logLines_.push_back(std::move(line)); });
}
void TesselRecord::addResponse(std::int64_t queryId, const QJsonObject& response, bool done) {
  change([&] {
    TesselResponses& r = responses_[queryId];
    r.responses.push_back(response);
    r.done = r.done || done;
  });
}
void TesselRecord::addTaskControl(TesselTaskControl control) {
  change([&] { taskControls_.push_back(std::move(control)); });
}
void TesselRecord::addTaskData(TesselTaskData data) {
  change([&] { taskData_.push_back(std::move(data)); });
}
void TesselRecord::addUpload(TesselUpload upload) {
  change([&] { uploads_.push_back(std::move(upload)); });
}

bool TesselRecord::linked() const {
  return read([&] { return linked_; });
}
int TesselRecord::connectedCount() const {
  return read([&] { return connectedCount_; });
}
int TesselRecord::pingsReceived() const {
  return read([&] { return pings_; });
}
QStringList TesselRecord::events() const {
  return read([&] { return events_; });
}
std::vector<QJsonObject> TesselRecord::errorMessages() const {
  return read([&] { return errorMessages_; });
}
std::vector<TesselLogLine> TesselRecord::logLines() const {
  return read([&] { return logLines_; });
}
TesselResponses TesselRecord::responses(std::int64_t queryId) const {
  return read([&] {
    const auto it = responses_.find(queryId);
    return it == responses_.end() ? TesselResponses{} : it->second;
  });
}
std::vector<TesselTaskControl> TesselRecord::taskControls() const {
  return read([&] { return taskControls_; });
}
std::vector<TesselTaskData> TesselRecord::taskData() const {
  return read([&] { return taskData_; });
}
std::vector<TesselUpload> TesselRecord::uploads() const {
  return read([&] { return uploads_; });
}

bool TesselRecord::waitUntil(const std::function<bool(const TesselRecord&)>& done,
                             std::chrono::milliseconds limit) const {
  return state_.waitUntil([&] { return done(*this); }, limit);
}

void TesselRecord::shutDown() { state_.shutDown(); }

}  // namespace boxsim
