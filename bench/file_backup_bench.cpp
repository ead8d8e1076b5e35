// The agent's real file backup, end to end: a Backup run in this process
// against the box simulator started as a child process on loopback, with
// encryption and compression on. Two cases, each a full run and then an
// incremental one: one large file of mixed data (1% changed in scattered
// 64 KiB regions) and a tree of many small files (1% of them changed).
// Beside them, the same tree through tar | gzip -1 | openssl enc, the
// reference the full run is compared with. Each run is checked against the
// box's store before its figures count.
//
//   file_backup_bench [--size=BYTES] [--files=N] [--dir=FOLDER] [--keep]
//                     [--address=127.0.0.N]
//                     [--log-level=t|d|i|w|e] [--no-verify]
//   file_backup_bench --data-only=make|change --dir=FOLDER [--size=BYTES] [--files=N]
// Defaults: 1 GiB, 20,000 files, a scratch folder under /tmp that is
// removed at the end (kept with --keep). See bench/README.md.
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QSqlQuery>
#include <QVariant>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "agent_backup_setup.h"
#include "backup/backup.h"
#include "connection/credentials.h"
#include "database/agentdatabase.h"
#include "file_backup/bench_options.h"
#include "file_backup/box_process.h"
#include "file_backup/measures.h"
#include "file_backup/scratch_run.h"
#include "file_backup/test_tree.h"
#include "kvn_log/log.h"
#include "kvn_platform/process_setup.h"
#include "kvn_vss/vss_import.h"

namespace {

using namespace kvn_bench;

constexpr std::int64_t kBigJob = 1;
constexpr std::int64_t kSmallJob = 2;

// The defaults of this benchmark.
BenchOptions defaults() {
  BenchOptions options;
  options.files = 20000;
  options.address = "127.0.0.170";
  return options;
}

// What one backup run did and cost.
struct RunResult {
  double seconds = 0;
  std::uint32_t code = 0;
  int status = 0;
  int errors = 0;
  int modified = 0;
  long peakKiB = 0;
  double agentCpu = 0;  // CPU seconds of this process during the run
  // and of its main thread alone, which runs the exchanges with the box:
  // a small file costs about this thread's share plus the box's
  double mainCpu = 0;
  double boxCpu = 0;  // and of the box
  long switches = 0;  // context switches of this process during the run
  double load = 0;    // load average when the run started
  StoredCount stored;
  std::vector<std::pair<double, std::string>> lines;
  bool verified = false;
};

// The agent side: its data folder, database, credentials and the runs.
class Agent {
 public:
  Agent(const std::string& root, const std::string& boxAddress, std::FILE* report)
      : root_(root), boxAddress_(QString::fromStdString(boxAddress)), report_(report) {}

  bool setUp(const QStringList& bigSelection, const QStringList& smallSelection) {
    const QDir base(QString::fromStdString(root_) + "/Zelvo");
    environment_.signaturesDir = QDir(base.filePath("Signatures"));
    environment_.workerDir = QDir(base.filePath("WorkerFolder"));
    QDir().mkpath(environment_.signaturesDir.path());
    QDir().mkpath(environment_.workerDir.path());
    kvn_test::AgentPairing pairing;
    pairing.boxIp = boxAddress_;
    QString failure = kvn_test::createAgentDatabase(base.filePath("zlv.db"));
    if (failure.isEmpty()) failure = kvn_test::addFileBackupJob({kBigJob, bigSelection});
    if (failure.isEmpty()) failure = kvn_test::addFileBackupJob({kSmallJob, smallSelection});
    if (failure.isEmpty())
      failure = kvn_test::writePairedSettings(base.filePath("zlv.ini"), pairing);
    if (failure.isEmpty()) {
      credentials_ = std::make_unique<Credentials>(base.filePath("zlv.ini"));
      if (!credentials_->load()) failure = "cannot load the credentials";
    }
    if (!failure.isEmpty()) {
      std::fprintf(report_, "agent set-up failed: %s\n", qPrintable(failure));
      return false;
    }
    environment_.credentials = credentials_.get();
    return true;
  }

  RunResult run(std::int64_t jobId, PhaseLog& phases) {
    RunResult result;
    resetPeakResident();
    result.load = loadAverage();
    const long switchesBefore = contextSwitches();
    const double cpuBefore = cpuSeconds();
    const double mainBefore = cpuSeconds(RUSAGE_THREAD);
    const auto start = phases.start();
    std::int64_t backupId = 0;
    {
      Backup backup({jobId, false}, environment_);
      result.code = backup.run();
      backupId = backup.backupId();
    }  // closing the row is part of the run
    result.seconds = secondsSince(start);
    result.agentCpu = cpuSeconds() - cpuBefore;
    result.mainCpu = cpuSeconds(RUSAGE_THREAD) - mainBefore;
    result.switches = contextSwitches() - switchesBefore;
    result.peakKiB = peakResidentKiB();
    result.lines = phases.take();
    QSqlQuery row(kvn_agent_database::AgentDatabase::instance().database());
    row.prepare("SELECT status, nErrors, nModifiedFiles FROM backup WHERE id=?");
    row.addBindValue(qlonglong(backupId));
    if (row.exec() && row.next()) {
      result.status = row.value(0).toInt();
      result.errors = row.value(1).toInt();
      result.modified = row.value(2).toInt();
    }
    return result;
  }

 private:
  std::string root_;
  QString boxAddress_;
  std::FILE* report_;
  BackupEnvironment environment_;
  std::unique_ptr<Credentials> credentials_;
};

// Runs "boxsim --verify folder" against the store; true when every file
// matches the newest stored version.
bool verifyStore(const std::string& boxsim, const std::string& store, const std::string& folder,
                 std::int64_t jobId, std::FILE* report) {
  const std::string command = "'" + boxsim + "' --verify '" + folder + "' --store '" + store +
                              "' --job " + std::to_string(jobId) + " 2>&1 | tail -n 3";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return false;
  char line[512];
  std::string last;
  while (std::fgets(line, sizeof line, pipe)) last = line;
  const int status = ::pclose(pipe);
  if (status != 0 || last.find(" 0 failed") == std::string::npos)
    std::fprintf(report, "  store check failed: %s", last.c_str());
  return status == 0 && last.find(" 0 failed") != std::string::npos;
}

// The line the peer script reads: key=value pairs after "summary ".
void printSummary(std::FILE* out, const char* key, const RunResult& r) {
  std::fprintf(out,
               "summary case=%s seconds=%.3f agent_cpu=%.3f agent_main_cpu=%.3f box_cpu=%.3f "
               "peak_mib=%.1f load=%.2f\n",
               key, r.seconds, r.agentCpu, r.mainCpu, r.boxCpu, r.peakKiB / 1024.0, r.load);
}

void printRun(std::FILE* out, const char* name, const RunResult& r, double units, const char* unit,
              const char* perUnit) {
  std::fprintf(out, "%-24s %8.2f s  %10.1f %-7s  CPU: agent %.2f s, box %.2f s\n", name, r.seconds,
               units / r.seconds, unit, r.agentCpu, r.boxCpu);
  std::fprintf(out,
               "  CPU per %s: agent %.3f ms (main thread %.3f ms), box %.3f ms; agent context "
               "switches per %s %.2f; load average %.2f\n",
               perUnit, 1000 * r.agentCpu / units, 1000 * r.mainCpu / units,
               1000 * r.boxCpu / units, perUnit, double(r.switches) / units, r.load);
  std::fprintf(out,
               "  code 0x%08x status 0x%04x errors %d modified %d; box stored %ld full / %ld "
               "delta, %s; agent peak RSS %.1f MiB\n",
               r.code, r.status, r.errors, r.modified, r.stored.full, r.stored.delta,
               r.verified ? "store verified" : "NOT VERIFIED", r.peakKiB / 1024.0);
  // Where the time went, from the agent's own log lines.
  const double analysing = PhaseLog::at(r.lines, "Analysing elements to backup");
  const double transfer = PhaseLog::at(r.lines, "Backup (");
  const double done = PhaseLog::at(r.lines, "Backup done");
  if (analysing >= 0 && transfer >= 0 && done >= 0) {
    std::fprintf(out,
                 "  phases: connect+prepare %.2f s, analysis %.2f s, transfer %.2f s, "
                 "end+close %.2f s\n",
                 analysing, transfer - analysing, done - transfer, r.seconds - done);
  }
  // Small new files read again on the main thread cost it the preparer's work.
  for (const auto& line : r.lines)
    if (line.second.find("sent as prepared ahead") != std::string::npos)
      std::fprintf(out, "  %s\n", line.second.c_str());
  // With debug lines: how long the agent waited, once a file's data and
  // signature were out, for the box's answer and the file's record.
  const auto [waited, files] = PhaseLog::after(r.lines, "Signature sent for:");
  if (files > 0) {
    std::fprintf(
        out, "  after the signature (box's answer, record): %.2f s over %d files, %.1f ms each\n",
        waited, files, 1000 * waited / files);
  }
}

void printPipeline(std::FILE* out, const char* name, const PipelineTime& t, double units,
                   const char* unit) {
  if (t.seconds < 0) {
    std::fprintf(out, "%-24s FAILED\n", name);
    return;
  }
  std::fprintf(out, "%-24s %8.2f s  %10.1f %-7s  CPU: %.2f s\n", name, t.seconds, units / t.seconds,
               unit, t.cpu);
}

void printRatio(std::FILE* out, const char* name, double value, double goal, const char* unit) {
  std::fprintf(out, "%-58s %10.2f %-8s (goal >= %g: %s)\n", name, value, unit, goal,
               value >= goal ? "met" : "MISSED");
}

void printCeiling(std::FILE* out, const char* name, double value, double goal, const char* unit) {
  std::fprintf(out, "%-58s %10.3f %-8s (goal <= %g: %s)\n", name, value, unit, goal,
               value <= goal ? "met" : "MISSED");
}

bool expectStored(const RunResult& r, long full, long delta) {
  return r.code == 0 && (r.status & 0x0001) && r.errors == 0 && r.stored.full == full &&
         r.stored.delta == delta;
}

// --data-only: the same bytes the runs back up, for other tools. "make"
// writes <dir>/big and <dir>/small afresh; "change" applies the edits made
// between the full and the incremental runs.
int writeDataOnly(const BenchOptions& options) {
  if (options.dir.empty()) {
    std::fprintf(stderr, "--data-only needs --dir\n");
    return 2;
  }
  TestTree tree(options.dir);
  if (options.dataOnly == "make") {
    std::filesystem::remove_all(options.dir);
    const std::uint64_t smallBytes = tree.makeSmallFiles(options.files);
    if (smallBytes == 0 || !tree.makeBigFile(options.size)) {
      std::fprintf(stderr, "cannot write the test data under %s\n", options.dir.c_str());
      return 1;
    }
    std::printf("wrote %s (%llu bytes) and %llu small files (%llu bytes) in %s\n",
                tree.bigFile().c_str(), static_cast<unsigned long long>(options.size),
                static_cast<unsigned long long>(options.files),
                static_cast<unsigned long long>(smallBytes), tree.smallFolder().c_str());
    return 0;
  }
  const std::uint64_t bytes = tree.changeBigFile(options.size);
  const std::uint64_t files = tree.changeSmallFiles(options.files);
  if (bytes == 0 || files == 0) {
    std::fprintf(stderr, "cannot change the test data under %s\n", options.dir.c_str());
    return 1;
  }
  std::printf("changed %llu bytes of the big file and %llu small files\n",
              static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(files));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  BenchOptions options = defaults();
  if (!parseBenchOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s [--size=BYTES] [--files=N] [--dir=FOLDER] [--keep] "
                 "[--address=127.0.0.N] "
                 "[--log-level=t|d|i|w|e] [--no-verify]\n",
                 argv[0]);
    return 2;
  }
  // The data set alone goes into --dir as it is, without emptying it first.
  if (!options.dataOnly.empty()) return writeDataOnly(options);
  const ScratchRun run = startScratchRun(options, "kvn_file_backup_bench");
  QCoreApplication app(argc, argv);
  const std::string& root = run.root;
  // The agent's lines go to a file in the scratch folder.
  std::FILE* out = run.out;
  kvn_log::parseLevel(options.logLevel);
  kvn_log::setLogFile(root + "/agent.log");
  PhaseLog phases;
  phases.install();

  const std::string boxsim = KVN_BINARY_DIR "/tools/boxsim/boxsim";
  const QString library = KVN_BINARY_DIR "/exes/zlv_service/libkvn_vss_live.so";
  std::fprintf(out, "file backup bench: big file %llu bytes, %llu small files, scratch %s\n",
               static_cast<unsigned long long>(options.size),
               static_cast<unsigned long long>(options.files), root.c_str());

  TestTree tree(root + "/data");
  auto start = Clock::now();
  const std::uint64_t smallBytes = tree.makeSmallFiles(options.files);
  if (!tree.makeBigFile(options.size) || smallBytes == 0) {
    std::fprintf(out, "cannot write the test data under %s\n", root.c_str());
    return 1;
  }
  std::fprintf(out, "test data written in %.1f s (small files: %llu bytes)\n", secondsSince(start),
               static_cast<unsigned long long>(smallBytes));

  BoxProcess box;
  const std::string store = root + "/store";
  if (!box.start(boxsim,
                 {"--listen", options.address, "--https-port", "0", "--cryptkey",
                  "00112233445566778899aabbccddeeff", "--license", "4242", "--store", store,
                  "--job", std::to_string(kBigJob) + ":crypto,compression", "--job",
                  std::to_string(kSmallJob) + ":crypto,compression"},
                 root + "/boxsim.log")) {
    std::fprintf(out, "%s\n", box.error().c_str());
    return 1;
  }
  if (!kvn_vss::loadVssLibrary(library)) {
    std::fprintf(out, "cannot load the snapshot library %s\n", qPrintable(library));
    return 1;
  }
  Agent agent(root + "/agent", options.address, out);
  if (!agent.setUp({QString::fromStdString(tree.bigFolder())},
                   {QString::fromStdString(tree.smallFolder())}))
    return 1;

  const auto runCase = [&](const char* name, const char* key, std::int64_t jobId,
                           const std::string& folder, double units, const char* unit,
                           const char* perUnit, long full, long delta) {
    const double boxBefore = box.cpuSeconds();
    RunResult result = agent.run(jobId, phases);
    result.boxCpu = box.cpuSeconds() - boxBefore;
    result.stored = box.takeStored();
    result.verified =
        options.verify && box.running() && verifyStore(boxsim, store, folder, jobId, out);
    printRun(out, name, result, units, unit, perUnit);
    printSummary(out, key, result);
    // Every line of the run with the second it came at, for a closer look.
    if (std::FILE* timed = std::fopen((root + "/agent-timed.log").c_str(), "a")) {
      std::fprintf(timed, "== %s\n", name);
      for (const auto& [time, text] : result.lines)
        std::fprintf(timed, "%9.4f %s\n", time, text.c_str());
      std::fclose(timed);
    }
    if (!expectStored(result, full, delta))
      std::fprintf(out, "  UNEXPECTED: wanted %ld full and %ld delta versions, no error\n", full,
                   delta);
    return result;
  };

  const PipelineTime pipelineBig = timePipeline(tree.bigFolder());
  const double megabytes = double(options.size) / 1e6;
  printPipeline(out, "pipeline big file", pipelineBig, megabytes, "MB/s");
  const RunResult bigFull = runCase("big file full", "big_full", kBigJob, tree.bigFolder(),
                                    megabytes, "MB/s", "MB", 1, 0);
  const std::uint64_t changedBytes = tree.changeBigFile(options.size);
  std::fprintf(out, "changed %llu bytes of the big file\n",
               static_cast<unsigned long long>(changedBytes));
  const RunResult bigIncremental = runCase("big file incremental", "big_incremental", kBigJob,
                                           tree.bigFolder(), megabytes, "MB/s", "MB", 0, 1);

  const PipelineTime pipelineSmall = timePipeline(tree.smallFolder());
  const double files = double(options.files);
  printPipeline(out, "pipeline small files", pipelineSmall, files, "files/s");
  const RunResult smallFull =
      runCase("small files full", "small_full", kSmallJob, tree.smallFolder(), files, "files/s",
              "file", long(options.files), 0);
  const std::uint64_t changedFiles = tree.changeSmallFiles(options.files);
  std::fprintf(out, "changed %llu small files\n", static_cast<unsigned long long>(changedFiles));
  const RunResult smallIncremental =
      runCase("small files incremental", "small_incremental", kSmallJob, tree.smallFolder(), files,
              "files/s", "file", 0, long(changedFiles));

  std::fprintf(out, "\n");
  printRatio(out, "full big-file speed / pipeline speed", pipelineBig.seconds / bigFull.seconds, 3,
             "x");
  printRatio(out, "incremental big-file speed / full big-file speed",
             bigFull.seconds / bigIncremental.seconds, 3, "x");
  printRatio(out, "small files full", files / smallFull.seconds, 3000, "files/s");
  printCeiling(out, "small files full, agent CPU per file", 1000 * smallFull.agentCpu / files, 0.15,
               "ms");
  printRatio(out, "small files incremental", files / smallIncremental.seconds, 1000, "files/s");
  long peak = 0;
  for (const RunResult* r : {&bigFull, &bigIncremental, &smallFull, &smallIncremental})
    peak = std::max(peak, r->peakKiB);
  // VmHWM restarts with each run, so the largest of the runs is the peak.
  printCeiling(out, "agent peak memory (VmHWM, highest of the four runs)", peak / 1024.0, 64,
               "MiB");

  box.stop();
  kvn_vss::unloadVssLibrary();
  if (!options.keep) std::filesystem::remove_all(root);
  return 0;
}
