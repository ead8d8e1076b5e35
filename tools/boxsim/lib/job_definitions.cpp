#include "boxsim/job_definitions.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <set>
#include <stdexcept>

#include "boxsim/job_settings.h"
#include "kvn_network/wire_path.h"
#include "kvn_platform/text_path_qt.h"

namespace boxsim {

namespace {

// Carries the first problem found up to the public functions.
struct DefinitionError : std::runtime_error {
  explicit DefinitionError(const QString& text) : std::runtime_error(text.toStdString()) {}
};

const QStringList kWeekdays = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

// One JSON object whose keys must all be known; values are checked as they
// are read.
class ObjectReader {
 public:
  ObjectReader(const QJsonValue& value, QString where, const QStringList& keys)
      : where_(std::move(where)) {
    if (!value.isObject()) fail("must be an object");
    object_ = value.toObject();
    for (const QString& key : object_.keys()) {
      if (!keys.contains(key)) fail(QString("unknown key \"%1\"").arg(key));
    }
  }

  bool has(const QString& key) const { return object_.contains(key); }

  bool boolean(const QString& key, bool fallback) const {
    if (!has(key)) return fallback;
    if (!object_[key].isBool()) fail(key + " must be true or false");
    return object_[key].toBool();
  }

  std::int64_t integer(const QString& key, std::int64_t fallback, std::int64_t low,
                       std::int64_t high) const {
    if (!has(key)) return fallback;
    return integerOf(object_[key], key, low, high);
  }

  QString text(const QString& key, const QString& fallback = {}) const {
    if (!has(key)) return fallback;
    if (!object_[key].isString()) fail(key + " must be a text");
    return object_[key].toString();
  }

  QStringList texts(const QString& key) const {
    QStringList result;
    for (const QJsonValue& item : array(key)) {
      if (!item.isString()) fail(key + " must hold texts");
      result << item.toString();
    }
    return result;
  }

  QJsonArray array(const QString& key) const {
    if (!has(key)) return {};
    if (!object_[key].isArray()) fail(key + " must be a list");
    return object_[key].toArray();
  }

  QJsonValue value(const QString& key) const { return object_[key]; }

  std::int64_t integerOf(const QJsonValue& value, const QString& what, std::int64_t low,
                         std::int64_t high) const {
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || std::floor(number) != number || number < double(low) ||
        number > double(high))
      fail(QString("%1 must be a whole number from %2 to %3").arg(what).arg(low).arg(high));
    return static_cast<std::int64_t>(number);
  }

  [[noreturn]] void fail(const QString& text) const { throw DefinitionError(where_ + ": " + text); }

 private:
  QString where_;
  QJsonObject object_;
};

std::uint32_t maskOf(const ObjectReader& reader, const QString& key, int first, int last) {
  std::uint32_t mask = 0;
  for (const QJsonValue& item : reader.array(key))
    mask |= 1u << (reader.integerOf(item, key, first, last) - first);
  return mask;
}

std::uint32_t weekdayMaskOf(const ObjectReader& reader) {
  std::uint32_t mask = 0;
  for (const QString& day : reader.texts("weekdays")) {
    const auto bit = kWeekdays.indexOf(day.toLower());
    if (bit < 0) reader.fail("weekdays are mon, tue, wed, thu, fri, sat, sun");
    mask |= 1u << bit;
  }
  return mask;
}

JobSchedule scheduleOf(const QJsonValue& value, const QString& where) {
  const ObjectReader reader(value, where,
                            {"every_hours", "every_minutes", "at", "weekdays", "days", "months"});
  JobSchedule schedule;
  const bool every = reader.has("every_hours") || reader.has("every_minutes");
  if (every == reader.has("at")) reader.fail("give either every_hours/every_minutes or at");
  if (every) {
    if (reader.has("weekdays") || reader.has("days") || reader.has("months"))
      reader.fail("a periodic schedule has no weekdays, days or months");
    schedule.periodic = true;
    schedule.hour = static_cast<int>(reader.integer("every_hours", 0, 0, 32767));
    schedule.minute = static_cast<int>(reader.integer("every_minutes", 0, 0, 32767));
    if (schedule.hour == 0 && schedule.minute == 0) reader.fail("the interval must not be 0");
    return schedule;
  }
  const QStringList time = reader.text("at").split(u':');
  bool hourOk = false;
  bool minuteOk = false;
  schedule.periodic = false;
  schedule.hour = time.size() == 2 ? time[0].toInt(&hourOk) : -1;
  schedule.minute = time.size() == 2 ? time[1].toInt(&minuteOk) : -1;
  if (!hourOk || !minuteOk || schedule.hour < 0 || schedule.hour > 23 || schedule.minute < 0 ||
      schedule.minute > 59)
    reader.fail("at must be a time of day, HH:MM");
  schedule.weekdayMask = weekdayMaskOf(reader);
  schedule.dayOfMonthMask = maskOf(reader, "days", 1, 31);
  schedule.monthMask = maskOf(reader, "months", 1, 12);
  if (schedule.weekdayMask == 0 && schedule.dayOfMonthMask == 0)
    reader.fail("a calendar schedule needs weekdays or days");
  return schedule;
}

JobDefinition jobOf(const QJsonValue& value, int index, std::int64_t now) {
  const ObjectReader reader(value, QString("jobs[%1]").arg(index),
                            {"id", "name", "type", "use_crypto", "use_compression", "max_versions",
                             "externalize", "retention_days", "created", "schedule", "paths",
                             "exclusions", "pre_script", "post_script"});
  JobDefinition job;
  if (!reader.has("id")) reader.fail("id is required");
  job.id = reader.integer("id", 0, 1, (std::int64_t(1) << 53));
  job.name = reader.text("name");
  job.type = reader.text("type", job.type);
  if (job.type != "fsn" && job.type != "sysimg") reader.fail("type must be fsn or sysimg");
  job.useCrypto = reader.boolean("use_crypto", job.useCrypto);
  job.useCompression = reader.boolean("use_compression", job.useCompression);
  job.maxVersions = static_cast<int>(reader.integer("max_versions", job.maxVersions, 1, 32767));
  job.externalize = reader.boolean("externalize", job.externalize);
  job.retentionDays =
      static_cast<int>(reader.integer("retention_days", job.retentionDays, 0, 0x7FFFFFFF));
  job.created = reader.integer("created", now, 0, (std::int64_t(1) << 53));
  if (!reader.has("schedule")) reader.fail("schedule is required");
  job.schedule = scheduleOf(reader.value("schedule"), QString("jobs[%1].schedule").arg(index));
  job.paths = reader.texts("paths");
  job.exclusions = reader.texts("exclusions");
  job.preScript = reader.text("pre_script");
  job.postScript = reader.text("post_script");
  return job;
}

QString quoted(const QString& text) {
  if (text.contains(u'\n') || text.contains(u'\r'))
    throw DefinitionError(QString("text with a line break: \"%1\"").arg(text));
  QString escaped = text;
  return "'" + escaped.replace("'", "''") + "'";
}

QString flag(bool value) { return value ? "1" : "0"; }

QString number(std::int64_t value) { return QString::number(value); }

// Assigns the row ids that are the box's business: one schedule and one
// selection template per job (numbered as the job), patterns and scripts
// numbered across all jobs. Every statement is filled in one arg() call, so
// that a "%1" inside a name or path is never taken for a placeholder.
class SqlWriter {
 public:
  void add(const JobDefinition& job) {
    const QString id = number(job.id);
    const JobSchedule& s = job.schedule;
    lines_ << QString(
                  "INSERT INTO scheduler (sched_id, sched_isLocal, sched_min, sched_hour, "
                  "sched_day_of_month, sched_month, sched_day_of_week, is_periodic) VALUES "
                  "(%1, 0, %2, %3, %4, %5, %6, %7);")
                  .arg(id, number(s.minute), number(s.hour), number(s.dayOfMonthMask),
                       number(s.monthMask), number(s.weekdayMask), flag(s.periodic));
    const QString pre = script(job.preScript);
    const QString post = script(job.postScript);
    lines_ << QString(
                  "INSERT INTO job (job_id, job_isLocal, job_name, sched_id, sched_isLocal, "
                  "config_max_num_versions_to_save, config_externalize, job_ctime, "
                  "config_retention_days, job_type, use_crypto, use_compression, "
                  "pre_backup_script_id, post_backup_script_id) VALUES "
                  "(%1, 0, %2, %1, 0, %3, %4, %5, %6, %7, %8, %9, %10, %11);")
                  .arg(id, job.name.isEmpty() ? QString("NULL") : quoted(job.name),
                       number(job.maxVersions), flag(job.externalize), number(job.created),
                       number(job.retentionDays), quoted(job.type), flag(job.useCrypto),
                       flag(job.useCompression), pre, post);
    lines_ << QString(
                  "INSERT INTO sel_tem (sel_tem_id, sel_tem_isLocal, is_sel) VALUES (%1, 0, 1);")
                  .arg(id);
    lines_ << QString(
                  "INSERT INTO job_x_sel_tem (job_id, sel_tem_id, job_isLocal, sel_tem_isLocal) "
                  "VALUES (%1, %1, 0, 0);")
                  .arg(id);
    for (const QString& path : job.paths) pattern(id, path, 0);
    for (const QString& path : job.exclusions) pattern(id, path, 1);
  }

  QStringList lines() const { return lines_; }

 private:
  QString script(const QString& text) {
    if (text.isEmpty()) return "NULL";
    const QString id = number(++scripts_);
    lines_ << QString("INSERT INTO prepost_backup_script (id, script) VALUES (%1, %2);")
                  .arg(id, quoted(QString::fromLatin1(text.toUtf8().toBase64())));
    return id;
  }

  // Type 0 selects a path, type 1 excludes one.
  void pattern(const QString& selection, const QString& path, int type) {
    const QString id = number(++patterns_);
    lines_ << QString(
                  "INSERT INTO pattern (pattern_id, pattern_isLocal, pattern_data, pattern_type) "
                  "VALUES (%1, 0, %2, %3);")
                  .arg(id, quoted(toWirePath(path)), number(type));
    lines_ << QString(
                  "INSERT INTO pattern_x_sel_tem (sel_tem_id, sel_tem_isLocal, pattern_id, "
                  "pattern_isLocal) VALUES (%1, 0, %2, 0);")
                  .arg(selection, id);
  }

  QStringList lines_;
  int scripts_ = 0;
  int patterns_ = 0;
};

}  // namespace

std::optional<std::vector<JobDefinition>> parseJobDefinitions(const QByteArray& json,
                                                              QString* error) {
  QJsonParseError parseError;
  const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
  if (document.isNull()) {
    if (error) *error = "not JSON: " + parseError.errorString();
    return std::nullopt;
  }
  try {
    const ObjectReader top(document.isObject() ? QJsonValue(document.object()) : QJsonValue(),
                           "top level", {"jobs"});
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    std::vector<JobDefinition> jobs;
    std::set<std::int64_t> ids;
    const QJsonArray list = top.array("jobs");
    for (int i = 0; i < list.size(); ++i) {
      jobs.push_back(jobOf(list[i], i, now));
      if (!ids.insert(jobs.back().id).second)
        top.fail(QString("job id %1 appears twice").arg(jobs.back().id));
    }
    return jobs;
  } catch (const DefinitionError& e) {
    if (error) *error = QString::fromStdString(e.what());
    return std::nullopt;
  }
}

std::optional<std::vector<JobDefinition>> loadJobDefinitions(const QString& path, QString* error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    if (error) *error = QString("cannot read %1: %2").arg(path, file.errorString());
    return std::nullopt;
  }
  return parseJobDefinitions(file.readAll(), error);
}

std::optional<QStringList> jobSqlLines(const std::vector<JobDefinition>& jobs, QString* error) {
  try {
    SqlWriter writer;
    for (const JobDefinition& job : jobs) writer.add(job);
    return writer.lines();
  } catch (const DefinitionError& e) {
    if (error) *error = QString::fromStdString(e.what());
    return std::nullopt;
  }
}

std::optional<QByteArray> jobFile(const std::vector<JobDefinition>& jobs, QString* error) {
  const auto lines = jobSqlLines(jobs, error);
  if (!lines) return std::nullopt;
  return lines->join(u'\n').toUtf8();
}

void applyJobSettings(const std::vector<JobDefinition>& jobs, JobSettingsTable& table) {
  for (const JobDefinition& job : jobs) table.set(job.id, {job.useCrypto, job.useCompression});
}

QString toWirePath(const QString& path) {
  return kvn_network::toWirePath(kvn_platform::textPathFromQt(path))
      .replace(u'\\', kvn_network::kWireSeparator);
}

}  // namespace boxsim
