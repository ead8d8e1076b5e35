#include "boxsim/record.h"

namespace boxsim {

template <typename F>
void Record::change(F f) {
  state_.change(f);
}

void Record::addConnection() {
  change([&] { ++connections_; });
}
void Record::addNegotiation(std::uint64_t storageLicence) {
  change([&] { licences_.push_back(storageLicence); });
}
void Record::addPacket(std::uint32_t packetType) {
  change([&] { packets_.push_back(packetType); });
}
void Record::addUnhandled(std::uint32_t packetType) {
  change([&] { unhandled_.push_back(packetType); });
}
void Record::addFile(ReceivedFile file) {
  change([&] { files_.push_back(std::move(file)); });
}
void Record::addSentFile(SentFile file) {
  change([&] { sentFiles_.push_back(file); });
}
void Record::addOperation(AnnouncedOperation operation) {
  change([&] { operations_.push_back(std::move(operation)); });
}
void Record::addErrorReport(ErrorReport report) {
  change([&] { errorReports_.push_back(std::move(report)); });
}
void Record::addNote(const QString& note) {
  change([&] { notes_.append(note); });
}
void Record::addBackupAction(BackupAction action) {
  change([&] { backupActions_.push_back(std::move(action)); });
}
void Record::addDescription(FileDescription description) {
  change([&] { descriptions_.push_back(std::move(description)); });
}
void Record::addScriptResult(ScriptResult result) {
  change([&] { scriptResults_.push_back(std::move(result)); });
}
void Record::addBackupData(BackupData data) {
  change([&] { backupData_.push_back(std::move(data)); });
}

#define BOXSIM_READ(member) return state_.read([&] { return member; })

int Record::connections() const { BOXSIM_READ(connections_); }
int Record::negotiations() const { BOXSIM_READ(static_cast<int>(licences_.size())); }
std::vector<std::uint64_t> Record::storageLicences() const { BOXSIM_READ(licences_); }
std::vector<std::uint32_t> Record::packets() const { BOXSIM_READ(packets_); }
std::vector<std::uint32_t> Record::unhandled() const { BOXSIM_READ(unhandled_); }
std::vector<ReceivedFile> Record::files() const { BOXSIM_READ(files_); }
std::vector<SentFile> Record::sentFiles() const { BOXSIM_READ(sentFiles_); }
std::vector<AnnouncedOperation> Record::operations() const { BOXSIM_READ(operations_); }
std::vector<ErrorReport> Record::errorReports() const { BOXSIM_READ(errorReports_); }
QStringList Record::notes() const { BOXSIM_READ(notes_); }
std::vector<BackupAction> Record::backupActions() const { BOXSIM_READ(backupActions_); }
std::vector<FileDescription> Record::descriptions() const { BOXSIM_READ(descriptions_); }
std::vector<ScriptResult> Record::scriptResults() const { BOXSIM_READ(scriptResults_); }
std::vector<BackupData> Record::backupData() const { BOXSIM_READ(backupData_); }

#undef BOXSIM_READ

bool Record::waitUntil(const std::function<bool(const Record&)>& done,
                       std::chrono::milliseconds limit) const {
  return state_.waitUntil([&] { return done(*this); }, limit);
}

}  // namespace boxsim
