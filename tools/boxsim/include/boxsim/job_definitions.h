// The jobs a simulated box hands to its agent, and the job file it sends
// for them: one SQL statement per line that fills the agent's job tables
// (scheduler, prepost_backup_script, job, sel_tem, job_x_sel_tem, pattern,
// pattern_x_sel_tem). Definitions come from tests as structs or from a small
// JSON file (see README.md, "Jobs").
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace boxsim {

class JobSettingsTable;

struct JobSchedule {
  // Periodic: hour and minute are the interval between two runs. Calendar:
  // they are the time of day, on the days the masks name.
  bool periodic = true;
  int hour = 0;
  int minute = 1;
  std::uint32_t weekdayMask = 0;     // bit 0 Monday .. bit 6 Sunday
  std::uint32_t dayOfMonthMask = 0;  // bit k: day k + 1
  std::uint32_t monthMask = 0;       // bit m: month m + 1; 0: every month
};

struct JobDefinition {
  std::int64_t id = 0;  // > 0, unique
  QString name;
  QString type = "fsn";  // "fsn" (files) or "sysimg" (system image)
  bool useCrypto = true;
  bool useCompression = true;
  int maxVersions = 10;
  bool externalize = false;
  int retentionDays = 0;
  // job_ctime, seconds since 1970: the scheduler counts from it until the
  // first backup.
  std::int64_t created = 0;
  JobSchedule schedule;
  // Absolute paths with "/" (or "\") separators; a folder may end with one.
  QStringList paths;
  // A folder ending with a separator excludes everything below it.
  QStringList exclusions;
  // Script texts; empty: none.
  QString preScript;
  QString postScript;
};

// Parses the JSON form. nullopt, with the reason in error, when the text is
// not valid JSON, a key is unknown, a value is out of range, or a job id
// repeats.
std::optional<std::vector<JobDefinition>> parseJobDefinitions(const QByteArray& json,
                                                              QString* error);
std::optional<std::vector<JobDefinition>> loadJobDefinitions(const QString& path, QString* error);

// The statements, one per job-table row, in an order that never refers to
// a row not yet inserted. Texts are quoted for SQL; scripts are Base64.
// nullopt, with the reason in error, when a text holds a line break (it
// would split its statement).
std::optional<QStringList> jobSqlLines(const std::vector<JobDefinition>& jobs, QString* error);
// The lines joined by line feeds, as the box sends them.
std::optional<QByteArray> jobFile(const std::vector<JobDefinition>& jobs, QString* error);

// Tells the box each job's crypto and compression settings.
void applyJobSettings(const std::vector<JobDefinition>& jobs, JobSettingsTable& table);

// The wire form of a path given in a definition (a native path, as Qt
// names it): "|" in a name is mapped like the agent maps it, then "|"
// stands for the directory separator ("/", or "\" in definitions written
// the Windows way).
QString toWirePath(const QString& path);

}  // namespace boxsim
