// System image speed: a 2 GiB ext4 image file, half full, imaged with LZ4
// and encryption to the simulated box, against dd | lz4 -1 | openssl enc of
// the same file to /dev/null in the same run; then a delta after a change
// of about 1 % of the volume. Prints the wall-clock ratios and the bytes
// read next to the image size. Runs as one test, on the end-to-end fixture.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "backup/volume/volumesender.h"
#include "backup_e2e_fixture.h"
#include "file_backup/measures.h"
#include "kvn_formats/volume_image/block_digest.h"
#include "kvn_formats/volume_image/block_fingerprints.h"
#include "kvn_log/log.h"
#include "kvn_platform/process_setup.h"
#include "kvn_snapshot/volume_bitmap.h"
#include "kvn_snapshot/volume_traversal.h"

namespace kvn_e2e {
namespace {

constexpr std::int64_t kJob = 51;
constexpr int kImageMiB = 2048;
constexpr int kFilledMiB = 1024;
constexpr int kChangedMiB = 20;

double seconds(const QElapsedTimer& clock) { return double(clock.nsecsElapsed()) / 1e9; }

// User and system CPU seconds of this process (the agent and the in-process
// simulator) or of its waited-for children (the pipeline's tools).
struct CpuTime {
  double user = 0;
  double system = 0;
  static CpuTime of(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return {double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6,
            double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6};
  }
  CpuTime operator-(const CpuTime& earlier) const {
    return {user - earlier.user, system - earlier.system};
  }
  double total() const { return user + system; }
  QString text() const {
    return QString("cpu %1 s user + %2 s system").arg(user, 0, 'f', 2).arg(system, 0, 'f', 2);
  }
};

// CPU seconds of the calling thread.
double threadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The least work any delta of the volume must do, on one thread without
// the traversal, the job or the box: read every used block (2 MiB preads
// from the page cache into huge-page buffers) and fingerprint it. Two cores
// can at best halve the sum. Beside it, what digesting every block costs,
// as many side by side as the image job does: the work of a full image, and
// of a delta whose parent has no fingerprints.
struct Floor {
  double readCpu = 0;
  double fingerprintCpu = 0;
  double digestCpu = 0;
  std::uint64_t bytes = 0;
  static Floor of(const QString& image, std::uint64_t size) {
    namespace vi = kvn_formats::volume_image;
    constexpr std::uint64_t kBlock = kvn_snapshot::kVolumeBlockSize;
    const int batchSize = imageTraversalBatch();
    Floor floor;
    const vi::GenericBitmap bitmap = kvn_snapshot::readVolumeBitmap(image, size, true).bitmap;
    const int fd = ::open(image.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    void* mapped = ::mmap(nullptr, std::uint64_t(batchSize) * kBlock + kBlock,
                          PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (fd < 0 || mapped == MAP_FAILED) return floor;
    auto* buffers = static_cast<std::uint8_t*>(mapped);
    buffers += (kBlock - reinterpret_cast<std::uintptr_t>(buffers) % kBlock) % kBlock;
    ::madvise(buffers, std::uint64_t(batchSize) * kBlock, MADV_HUGEPAGE);
    std::vector<vi::BlockBytes> batch;
    std::vector<vi::HashmapBlockDesc> descs(static_cast<std::size_t>(batchSize));
    const vi::BlockFingerprints prints(vi::Uuid{}, 1);
    const auto digest = [&] {
      const double start = threadCpuSeconds();
      vi::describeBlocks(batch, bitmap, 4096, descs.data());
      floor.digestCpu += threadCpuSeconds() - start;
      batch.clear();
    };
    for (std::uint64_t offset = 0; offset < size; offset += kBlock) {
      const std::uint64_t length = std::min(kBlock, size - offset);
      if (!bitmap.anySet(offset, length)) continue;
      std::uint8_t* buffer = buffers + batch.size() * kBlock;
      const double start = threadCpuSeconds();
      const ssize_t got = ::pread(fd, buffer, length, off_t(offset));
      floor.readCpu += threadCpuSeconds() - start;
      floor.bytes += got > 0 ? std::uint64_t(got) : 0;
      const double printed = threadCpuSeconds();
      const vi::BlockFingerprint print = prints.compute(buffer, length);
      floor.fingerprintCpu += threadCpuSeconds() - printed;
      sink = std::uint8_t(sink ^ print[0]);
      batch.push_back({buffer, length, offset});
      if (batch.size() == std::size_t(batchSize)) digest();
    }
    if (!batch.empty()) digest();
    ::munmap(mapped, std::uint64_t(batchSize) * kBlock + kBlock);
    ::close(fd);
    return floor;
  }
  double twoCores() const { return (readCpu + fingerprintCpu) / 2; }
  // Keeps the fingerprints from being optimised away.
  static inline volatile std::uint8_t sink = 0;
};

// The peak resident memory of this process (the agent and the simulator).
long peakResidentKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool shell(const QString& command, QString* output = nullptr) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start("bash", {"-o", "pipefail", "-c", command});
  const bool ok = process.waitForFinished(-1) && process.exitCode() == 0;
  if (output) *output = QString::fromLocal8Bit(process.readAll());
  return ok;
}

// Half random, half text: what a used volume compresses like.
void fillTree(const QString& folder, int mebibytes, std::uint32_t seed) {
  QDir().mkpath(folder);
  for (int i = 0; i < mebibytes / 16; ++i) {
    QFile file(QString("%1/file-%2.bin").arg(folder).arg(i));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QByteArray content = i % 2 ? noise(16 << 20, seed + i)
                                     : QByteArray("a line of text in a file\n").repeated(671089);
    file.write(content.left(16 << 20));
  }
}

// The box's CPU seconds so far: those of its sessions, counted when they
// end, so this waits (up to 5 s) until none is left.
double boxCpuSeconds(const boxsim::BoxSimulator& box) {
  for (int i = 0; i < 500 && !box.idle(); ++i) QThread::msleep(10);
  return box.endedSessionsCpuSeconds();
}

// The log lines of one run with the time since its start, the process's
// CPU time so far and the thread that wrote them: where the run waits on
// one core, and for what. Lines are logged at debug level (KVN_BENCH_TRACE=1:
// trace, every block), which costs the run next to nothing.
class Timeline {
 public:
  struct Line {
    double ms = 0;
    double cpuMs = 0;
    int thread = 0;
    QString text;
  };

  Timeline()
      : start_(std::chrono::steady_clock::now()), startCpu_(CpuTime::of(RUSAGE_SELF).total()) {
    kvn_log::setLevel(qEnvironmentVariableIsSet("KVN_BENCH_TRACE") ? kvn_log::Trace
                                                                   : kvn_log::Debug);
    kvn_log::setCallback(
        [this](kvn_log::Level, const char*, const char* file, int line, const char* message) {
          const auto now = std::chrono::steady_clock::now();
          const double cpu = CpuTime::of(RUSAGE_SELF).total();
          const auto id = std::this_thread::get_id();
          std::lock_guard lock(mutex_);
          const auto thread = threads_.emplace(id, int(threads_.size())).first->second;
          lines_.push_back({double((now - start_).count()) / 1e6, (cpu - startCpu_) * 1e3, thread,
                            QString("%1:%2 %3")
                                .arg(QString::fromLatin1(file))
                                .arg(line)
                                .arg(QString::fromUtf8(message))});
        });
  }
  ~Timeline() {
    kvn_log::setCallback(nullptr);
    kvn_log::setLevel(kvn_log::Info);
  }
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  std::vector<Line> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  const std::chrono::steady_clock::time_point start_;
  const double startCpu_;
  mutable std::mutex mutex_;
  std::map<std::thread::id, int> threads_;
  std::vector<Line> lines_;
};

// The phases of an image run between the log lines that mark them: wall
// time, CPU time of the agent and the box, and so the cores in use.
QStringList phasesOf(const std::vector<Timeline::Line>& lines) {
  static const std::pair<const char*, const char*> kMarks[] = {
      {"Connected to Box", "start and probe connection"},
      {"operation 'BCK_INITIAL'", "session negotiation (both sides)"},
      {"Backup starting", "configuration and volume list"},
      {"Volume size:", "file info, descriptions, announcement, reader start"},
      {"foreachBlockInVolume done",
       "traversal: read, fingerprint or digest, compare, send changed blocks"},
      {"Backup is finished", "hashmap upload, confirmation, records, end"},
  };
  QStringList phases;
  double ms = 0;
  double cpuMs = 0;
  for (const auto& [mark, name] : kMarks) {
    const auto line = std::find_if(lines.begin(), lines.end(), [mark = mark](const auto& l) {
      return l.text.contains(QLatin1String(mark));
    });
    if (line == lines.end()) {
      phases << QString("  %1: its mark \"%2\" was not logged").arg(name, mark);
      continue;
    }
    const double wall = line->ms - ms;
    const double cpu = line->cpuMs - cpuMs;
    phases << QString("  %1 ms wall, %2 ms cpu, %3 cores: %4")
                  .arg(wall, 6, 'f', 1)
                  .arg(cpu, 6, 'f', 1)
                  .arg(wall > 0 ? cpu / wall : 0, 4, 'f', 2)
                  .arg(name);
    ms = line->ms;
    cpuMs = line->cpuMs;
  }
  return phases;
}

// The figures are printed after the fixture has given stdout back.
class ImageBench : public BackupE2E {
 protected:
  void TearDown() override {
    BackupE2E::TearDown();
    std::fputs(report_.constData(), stdout);
  }
  void print(const QString& line) { report_ += line.toUtf8() + '\n'; }

  QByteArray report_;
};

TEST_F(ImageBench, FullImageAgainstThePipelineThenADelta) {
  // The allocator as the agent and the box run it.
  kvn_platform::tuneMemoryAllocator();
  const QString image = scratch("bench.img");
  const QString tree = scratch("bench-tree");
  fillTree(tree, kFilledMiB, 100);
  QString output;
  ASSERT_TRUE(shell(
      QString("mkfs.ext4 -q -F -b 4096 -d '%1' '%2' %3M").arg(tree, image).arg(kImageMiB), &output))
      << output.toStdString();
  QDir(tree).removeRecursively();
  setVolumeLister([image] {
    kvn_snapshot::VolumeRecord v;
    v.volumeGuid = "bench";
    v.fsName = "ext4";
    v.totalSize = std::uint64_t(kImageMiB) << 20;
    v.freeSize = v.totalSize / 2;
    v.devicePath = image;
    return std::vector<kvn_snapshot::VolumeRecord>{v};
  });
  startBoxAt("127.0.50.30");
  addJob(kJob, {"bench"}, {true, true, "sysimg", {}, {}});

  QElapsedTimer clock;
  const CpuTime childrenBefore = CpuTime::of(RUSAGE_CHILDREN);
  clock.start();
  ASSERT_TRUE(shell(QString("dd if='%1' bs=1M status=none | lz4 -1 -q | openssl enc "
                            "-aes-256-cbc -pbkdf2 -pass pass:bench > /dev/null")
                        .arg(image),
                    &output))
      << output.toStdString();
  const double pipeline = seconds(clock);
  const CpuTime pipelineCpu = CpuTime::of(RUSAGE_CHILDREN) - childrenBefore;

  const long residentBefore = peakResidentKiB();
  double boxBefore = boxCpuSeconds(simulator());
  CpuTime before = CpuTime::of(RUSAGE_SELF);
  clock.restart();
  ASSERT_EQ(runBackup(kJob).result, 0u);
  const double full = seconds(clock);
  const double fullBoxCpu = boxCpuSeconds(simulator()) - boxBefore;
  const CpuTime fullCpu = CpuTime::of(RUSAGE_SELF) - before;
  const ImageFigures fullFigures = lastImageFigures("bench");

  const QString changed = scratch("changed.bin");
  {
    QFile file(changed);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(noise(std::int64_t(kChangedMiB) << 20, 999));
  }
  ASSERT_TRUE(
      shell(QString("debugfs -w -R 'write %1 changed.bin' '%2'").arg(changed, image), &output))
      << output.toStdString();
  // The change is written back before the clock starts: the file system
  // library syncs the volume when it opens it, and would otherwise wait for
  // the disk to take what debugfs left in the page cache.
  {
    const int fd = ::open(image.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ::fsync(fd);
    ::close(fd);
  }
  QThread::sleep(1);
  boxBefore = boxCpuSeconds(simulator());
  before = CpuTime::of(RUSAGE_SELF);
  std::vector<Timeline::Line> timeline;
  clock.restart();
  {
    const Timeline recorder;
    ASSERT_EQ(runBackup(kJob).result, 0u);
    timeline = recorder.lines();
  }
  const double delta = seconds(clock);
  const double deltaBoxCpu = boxCpuSeconds(simulator()) - boxBefore;
  const CpuTime deltaCpu = CpuTime::of(RUSAGE_SELF) - before;
  const ImageFigures deltaFigures = lastImageFigures("bench");
  const long residentAfter = peakResidentKiB();

  const std::uint64_t size = std::uint64_t(kImageMiB) << 20;
  const Floor floor = Floor::of(image, size);
  print(QString("image size %1 bytes").arg(size));
  print(QString("pipeline dd | lz4 -1 | openssl enc: %1 s, %2 (reads %3 bytes)")
            .arg(pipeline, 0, 'f', 2)
            .arg(pipelineCpu.text())
            .arg(size));
  const auto printImage = [&](const char* kind, double wall, const CpuTime& cpu, double boxCpu,
                              const ImageFigures& figures) {
    print(QString("%1 image: %2 s, %3 with the simulator (agent %4 s, box %5 s), %6 bytes "
                  "read, %7 blocks sent")
              .arg(kind)
              .arg(wall, 0, 'f', 2)
              .arg(cpu.text())
              .arg(cpu.total() - boxCpu, 0, 'f', 2)
              .arg(boxCpu, 0, 'f', 2)
              .arg(figures.bytesRead)
              .arg(figures.blocksSent));
  };
  printImage("full", full, fullCpu, fullBoxCpu, fullFigures);
  printImage("delta", delta, deltaCpu, deltaBoxCpu, deltaFigures);
  print(QString("floor of any delta (read and fingerprint the used blocks, no job): read %1 s "
                "cpu, fingerprint %2 s cpu, %3 bytes; on two cores at best %4 s, so full image "
                "/ delta can reach at most %5 in this run; digesting every block instead (a "
                "full image, or a delta without its parent's fingerprints) takes %6 s cpu")
            .arg(floor.readCpu, 0, 'f', 3)
            .arg(floor.fingerprintCpu, 0, 'f', 3)
            .arg(floor.bytes)
            .arg(floor.twoCores(), 0, 'f', 3)
            .arg(full / floor.twoCores(), 0, 'f', 2)
            .arg(floor.digestCpu, 0, 'f', 3));
  print("delta image phases (the CPU time is taken when a line is logged, so a phase");
  print("ending in a line of the box includes what the box did up to it):");
  for (const QString& line : phasesOf(timeline)) print(line);
  print("delta image timeline (ms since the start, cpu ms of agent and box, thread, log line):");
  for (const Timeline::Line& line : timeline) {
    print(QString("  %1 %2  t%3  %4")
              .arg(line.ms, 8, 'f', 1)
              .arg(line.cpuMs, 7, 'f', 1)
              .arg(line.thread)
              .arg(line.text));
  }
  print(QString("peak resident memory: %1 MiB before the images, %2 MiB after")
            .arg(residentBefore / 1024)
            .arg(residentAfter / 1024));
  print(QString("load %1").arg(QString::fromStdString(kvn_bench::loadAveragesText())));
  print(QString("ratio full image / pipeline: %1 (goal >= 2.00: %2)")
            .arg(pipeline / full, 0, 'f', 3)
            .arg(pipeline / full >= 2 ? "met" : "MISSED"));
  print(QString("ratio delta / full image: %1 (goal >= 5.00: %2)")
            .arg(full / delta, 0, 'f', 3)
            .arg(full / delta >= 5 ? "met" : "MISSED"));
}

}  // namespace
}  // namespace kvn_e2e
