// Restorations end to end: the box simulator (in this process, on its own
// threads) serves files from its store with AES and gzip on, and the
// agent's file operation manager restores them into a scratch folder. Two
// cases: one large file of mixed data, and many small files of 1-64 KiB.
// Beside them, the same bytes through openssl enc -d | gzip -d, the
// reference the large restore is compared with.
//
//   restore_bench [--size=BYTES] [--files=N] [--dir=FOLDER] [--keep]
//                 [--address=127.0.5.N]
// Defaults: 1 GiB, 5,000 files, a scratch folder under /tmp that is
// removed at the end (kept with --keep). See bench/README.md.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "agent_backup_setup.h"
#include "boxsim/file_handlers.h"
#include "boxsim/file_operation_handlers.h"
#include "boxsim/operation_handlers.h"
#include "boxsim/simulator.h"
#include "connection/credentials.h"
#include "file_backup/bench_options.h"
#include "file_backup/measures.h"
#include "file_backup/scratch_run.h"
#include "fileops/fileoperationmanager.h"
#include "kvn_crypto/rsa.h"
#include "kvn_log/log.h"

namespace {

using namespace kvn_bench;

constexpr std::int64_t kBigJob = 1;
constexpr std::int64_t kSmallJob = 2;
constexpr const char* kCryptkey = "00112233445566778899aabbccddeeff";

// The defaults of this benchmark.
BenchOptions defaults() {
  BenchOptions options;
  options.files = 5000;
  options.address = "127.0.5.90";
  return options;
}

// Deterministic content: blocks of noise and of repeated text, so that
// gzip has work of both kinds.
QByteArray mixedBlock(std::uint64_t index, qsizetype size) {
  QByteArray bytes(size, Qt::Uninitialized);
  if (index % 2 == 0) {
    std::uint64_t state = 0x9E3779B97F4A7C15ull ^ (index + 1);
    for (qsizetype at = 0; at < size; ++at) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      bytes[at] = char(state);
    }
  } else {
    const QByteArray line = QByteArray("line ") + QByteArray::number(qulonglong(index)) +
                            " of a text that compresses well\n";
    for (qsizetype at = 0; at < size; ++at) bytes[at] = line[at % line.size()];
  }
  return bytes;
}

// Puts one version of path into the store with content written by fill.
bool plant(boxsim::BackupStore& store, std::int64_t jobId, const QString& path,
           const std::function<bool(QFile&)>& fill) {
  auto draft = store.newDraft();
  if (!draft) return false;
  QFile content(draft->contentPath());
  QFile signature(draft->signaturePath());
  if (!content.open(QIODevice::WriteOnly) || !fill(content) ||
      !signature.open(QIODevice::WriteOnly))
    return false;
  content.close();
  signature.close();
  return store.store(*draft, jobId, path, 1650000000, 0).has_value();
}

// One restoration's wall time (-1 when it failed) and the CPU seconds
// of the agent and of the box.
struct Restored {
  double seconds = -1;
  double agentCpu = 0;
  double boxCpu = 0;
};

// Runs one restoration of the job to its end and waits for the box's
// session to end, so that its CPU time is counted.
Restored restoreJob(FileOperationManager& manager, boxsim::BoxSimulator& simulator,
                    boxsim::FileOperationsBox& box, const QString& operationId, std::int64_t jobId,
                    const QString& target, std::size_t expected) {
  boxsim::RestorePlan plan;
  plan.jobId = jobId;
  box.prepareRestoration(operationId, plan);
  const std::size_t before = box.results().size();
  const double cpuBefore = cpuSeconds();
  const double boxBefore = simulator.endedSessionsCpuSeconds();
  const auto start = Clock::now();
  Restored restored;
  if (manager.createExternalRestoration(target, operationId) != 0) return restored;
  manager.waitForJob(0);
  const double seconds = secondsSince(start);
  for (int i = 0; i < 5000 && !simulator.idle(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  restored.boxCpu = simulator.endedSessionsCpuSeconds() - boxBefore;
  restored.agentCpu = cpuSeconds() - cpuBefore - restored.boxCpu;
  std::size_t ok = 0;
  const auto results = box.results();
  for (std::size_t i = before; i < results.size(); ++i) ok += results[i].failed ? 0 : 1;
  if (ok == expected) restored.seconds = seconds;
  return restored;
}

void printRatio(std::FILE* out, const char* name, double value, double goal, const char* unit) {
  std::fprintf(out, "%-52s %10.2f %-8s (goal >= %g: %s)\n", name, value, unit, goal,
               value >= goal ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  BenchOptions options = defaults();
  if (!parseBenchOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s [--size=BYTES] [--files=N] [--dir=FOLDER] [--keep] "
                 "[--address=127.0.5.N]\n",
                 argv[0]);
    return 2;
  }
  const ScratchRun run = startScratchRun(options, "kvn_restore_bench");
  QCoreApplication app(argc, argv);
  const std::string& root = run.root;
  std::FILE* out = run.out;
  kvn_log::setLevel(kvn_log::Warning);
  kvn_log::setLogFile(root + "/agent.log");
  const QString base = QString::fromStdString(root);
  std::fprintf(out, "restore bench: big file %llu bytes, %llu small files, scratch %s\n",
               static_cast<unsigned long long>(options.size),
               static_cast<unsigned long long>(options.files), root.c_str());

  // The box and its store, filled directly.
  auto backups = std::make_shared<boxsim::BackupBox>(base + "/store");
  backups->jobs().set(kBigJob, {true, true});
  backups->jobs().set(kSmallJob, {true, true});
  const QString bigPath = base + "/data/big file.bin";
  auto start = Clock::now();
  const bool bigOk = plant(backups->store(), kBigJob, bigPath, [&](QFile& file) {
    constexpr qsizetype kBlock = 1 << 20;
    for (std::uint64_t at = 0, i = 0; at < options.size; at += kBlock, ++i) {
      const qsizetype n = qsizetype(std::min<std::uint64_t>(kBlock, options.size - at));
      if (file.write(mixedBlock(i, n)) != n) return false;
    }
    return true;
  });
  std::uint64_t smallBytes = 0;
  bool smallOk = bigOk;
  for (std::uint64_t i = 0; smallOk && i < options.files; ++i) {
    const qsizetype n = qsizetype(1024 + (i * 7919) % (63 * 1024));
    smallBytes += std::uint64_t(n);
    smallOk = plant(backups->store(), kSmallJob,
                    base + QString("/data/small/%1/file %2.txt").arg(i % 50).arg(i),
                    [&](QFile& file) { return file.write(mixedBlock(i, n)) == n; });
  }
  if (!smallOk) {
    std::fprintf(out, "cannot fill the store under %s\n", root.c_str());
    return 1;
  }
  std::fprintf(out, "store filled in %.1f s (small files: %llu bytes)\n", secondsSince(start),
               static_cast<unsigned long long>(smallBytes));

  auto fileOperations = std::make_shared<boxsim::FileOperationsBox>(backups);
  boxsim::Registry registry;
  boxsim::addStoreHandlers(registry, fileOperations);
  boxsim::SimulatorConfig config;
  config.address = QString::fromStdString(options.address);
  config.identity = {
      kCryptkey, 4242, 0, kvn_crypto::generateRsaKeyPair(), kvn_crypto::generateRsaKeyPair(), {}};
  boxsim::BoxSimulator simulator(std::move(registry), config);
  if (!simulator.start()) {
    std::fprintf(out, "cannot listen on %s\n", options.address.c_str());
    return 1;
  }

  // The agent: its database and the pairing with the box.
  const QDir agentDir(base + "/agent");
  QDir().mkpath(agentDir.filePath("Signatures"));
  kvn_test::AgentPairing pairing;
  pairing.boxIp = config.address;
  QString failure = kvn_test::createAgentDatabase(agentDir.filePath("zlv.db"));
  if (failure.isEmpty())
    failure = kvn_test::writePairedSettings(agentDir.filePath("zlv.ini"), pairing);
  Credentials credentials(agentDir.filePath("zlv.ini"));
  if (failure.isEmpty() && !credentials.load()) failure = "cannot load the credentials";
  if (!failure.isEmpty()) {
    std::fprintf(out, "agent set-up failed: %s\n", qPrintable(failure));
    return 1;
  }
  FileOperationManager manager({&credentials, {}, QDir(agentDir.filePath("Signatures")), {}});
  manager.initialize();

  // The reference: the same bytes gzip'ed and encrypted, then undone by
  // the command-line tools.
  const std::string content = backups->store().newest(kBigJob, bigPath)->contentPath.toStdString();
  const std::string packed = root + "/big.gz.aes";
  const std::string keys =
      " -K 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
      " -iv 000102030405060708090a0b0c0d0e0f";
  if (std::system(
          ("gzip -1 -c '" + content + "' | openssl enc -aes-256-cbc" + keys + " > '" + packed + "'")
              .c_str()) != 0) {
    std::fprintf(out, "cannot prepare the reference input\n");
    return 1;
  }
  start = Clock::now();
  const int pipelineStatus = std::system(
      ("openssl enc -d -aes-256-cbc" + keys + " < '" + packed + "' | gzip -d > /dev/null").c_str());
  const double pipeline = pipelineStatus == 0 ? secondsSince(start) : -1;
  const double megabytes = double(options.size) / 1e6;
  std::fprintf(out, "%-28s %8.2f s  %10.1f MB/s\n", "openssl -d | gzip -d", pipeline,
               megabytes / pipeline);

  const Restored big = restoreJob(manager, simulator, *fileOperations, "bench-big", kBigJob,
                                  base + "/restored-big", 1);
  std::fprintf(out, "%-28s %8.2f s  %10.1f MB/s   CPU agent %.2f s, box %.2f s\n",
               "restore big file", big.seconds, megabytes / big.seconds, big.agentCpu, big.boxCpu);
  const Restored small = restoreJob(manager, simulator, *fileOperations, "bench-small", kSmallJob,
                                    base + "/restored-small", options.files);
  const double files = double(options.files);
  std::fprintf(out, "%-28s %8.2f s  %10.1f files/s  CPU agent %.2f s, box %.2f s\n",
               "restore small files", small.seconds, files / small.seconds, small.agentCpu,
               small.boxCpu);
  const bool failed = big.seconds < 0 || small.seconds < 0;
  if (failed) std::fprintf(out, "A RESTORATION FAILED (see %s/agent.log)\n", root.c_str());
  std::fprintf(out, "load average while measuring: %s\n", kvn_bench::loadAveragesText().c_str());

  std::fprintf(out, "\n");
  printRatio(out, "big-file restore speed / pipeline speed", pipeline / big.seconds, 1.5, "x");
  printRatio(out, "small files restored", files / small.seconds, 1000, "files/s");

  manager.finalize();
  simulator.stop();
  if (!options.keep) std::filesystem::remove_all(root);
  return failed ? 1 : 0;
}
