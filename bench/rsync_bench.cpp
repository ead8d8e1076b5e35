// Signature and delta throughput against the rdiff tool on the same files in
// the same run: the librsync streams (which should keep at least 0.9 of
// rdiff's speed), the hand-written signature engine on every sum path the
// processor has, and the fused delta, which also writes the new signature
// (goals: at least 3 times rdiff for both). The changed file differs from the
// basis in scattered 64 KiB regions, about 1 % of it.
//
//   rsync_bench [--size_mib=N] [benchmark flags]
// The file is 1024 MiB unless --size_mib or KVN_RSYNC_BENCH_MIB says less.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kvn_common/pipes.h"
#include "kvn_common/stream.h"
#include "kvn_rsync/block_length.h"
#include "kvn_rsync/block_sums.h"
#include "kvn_rsync/delta_stream.h"
#include "kvn_rsync/previous_signature.h"
#include "kvn_rsync/signature_engine.h"
#include "kvn_rsync/signature_stream.h"

namespace {

constexpr std::size_t kMiB = 0x100000;
constexpr std::size_t kReadBlock = 0x10000;  // what the file source reads at a time

struct Setup {
  std::string dir;
  std::string basis;    // the file whose signature is made
  std::string changed;  // basis with sparse edits, for the delta
  std::uint64_t size = 0;
  std::uint64_t blockLength = 0;
  // The path the engine picked; the per-path runs change it.
  kvn_rsync::SumPath startPath = kvn_rsync::SumPath::kScalar;
};
Setup setup;

// The best of the iterations (other work on a shared machine only ever makes
// a run slower), in seconds: wall time, and the CPU time of this process or
// of the rdiff child.
struct Times {
  double wall = 0;
  double cpu = 0;
};
std::map<std::string, Times> best;

class FdSink : public kvn_common::StreamSink {
 public:
  explicit FdSink(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)) {
    if (fd_ < 0) throw std::runtime_error("cannot create " + path);
  }
  ~FdSink() override { ::close(fd_); }
  void write(const char* data, std::uint32_t size) override {
    if (::write(fd_, data, size) != static_cast<ssize_t>(size)) throw std::runtime_error("write");
  }
  void end() override {}

 private:
  int fd_;
};

// Pushes a file through stream in 64 KiB reads, as the file source does.
void pushFile(const std::string& path, kvn_common::StreamSink& stream) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::vector<char> buffer(kReadBlock);
  ssize_t got = 0;
  while ((got = ::read(fd, buffer.data(), buffer.size())) > 0)
    stream.write(buffer.data(), static_cast<std::uint32_t>(got));
  ::close(fd);
  stream.end();
}

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void createFiles() {
  char pattern[] = "/tmp/rsync_bench_XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  setup.dir = pattern;
  setup.basis = setup.dir + "/basis";
  setup.changed = setup.dir + "/changed";
  setup.blockLength = kvn_rsync::blockLength(setup.size);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> basis(std::fopen(setup.basis.c_str(), "wb"),
                                                        &std::fclose);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> changed(std::fopen(setup.changed.c_str(), "wb"),
                                                          &std::fclose);
  std::mt19937_64 generator(42);
  std::mt19937_64 edits(7);
  std::vector<std::uint64_t> chunk(kMiB / 8);
  constexpr std::size_t kRegion = 0x10000;
  for (std::uint64_t mib = 0; mib < setup.size / kMiB; ++mib) {
    for (auto& word : chunk) word = generator();
    std::fwrite(chunk.data(), 1, kMiB, basis.get());
    // One 64 KiB region in a hundred rewritten, off the block boundaries.
    auto* bytes = reinterpret_cast<unsigned char*>(chunk.data());
    for (std::size_t region = 0; region < kMiB / kRegion; ++region) {
      if (edits() % 100 != 0) continue;
      const std::size_t at = std::min(region * kRegion + 777, kMiB - kRegion);
      for (std::size_t i = 0; i < kRegion; ++i) bytes[at + i] = static_cast<unsigned char>(edits());
    }
    std::fwrite(chunk.data(), 1, kMiB, changed.get());
  }
  // Both files once through the page cache, so no tool pays for the first read.
  run("cat '" + setup.basis + "' '" + setup.changed + "' > /dev/null");
}

double cpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Every benchmark handles the whole file once per iteration; child says
// whether the work runs in an rdiff child process.
template <typename Body>
void timed(benchmark::State& state, const char* name, bool child, Body body) {
  const int who = child ? RUSAGE_CHILDREN : RUSAGE_SELF;
  Times fastest{1e300, 1e300};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = cpuSeconds(who);
    body();
    const double cpu = cpuSeconds(who) - cpuStart;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fastest.wall = std::min(fastest.wall, wall);
    fastest.cpu = std::min(fastest.cpu, cpu);
  }
  best[name] = fastest;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * setup.size));
}

void printRatio(const std::string& ours, const std::string& rdiff, double goal) {
  const double mb = static_cast<double>(setup.size) / 1e6;
  if (best.count(ours) == 0 || best.count(rdiff) == 0) return;
  const Times o = best[ours];
  const Times r = best[rdiff];
  std::printf(
      "%-26s %7.1f MB/s (CPU %7.1f MB/s, %.3f ms/MB) | %-16s %7.1f MB/s (CPU %7.1f MB/s) | "
      "speed ratio %.2f, CPU ratio %.2f (goal >= %.1f)\n",
      ours.c_str(), mb / o.wall, mb / o.cpu, 1e3 * o.cpu / mb, rdiff.c_str(), mb / r.wall,
      mb / r.cpu, r.wall / o.wall, r.cpu / o.cpu, goal);
}

std::string sigPath(const std::string& who) { return setup.dir + "/sig." + who; }

std::unique_ptr<std::FILE, int (*)(std::FILE*)> openSignature() {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(sigPath("rdiff").c_str(), "rb"),
                                                       &std::fclose);
  if (!file) throw std::runtime_error("no rdiff signature");
  return file;
}

void signatureStream(benchmark::State& state) {
  timed(state, "SignatureStream", false, [] {
    kvn_rsync::SignatureStream stream(setup.blockLength);
    FdSink sink(sigPath("librsync"));
    stream.setNext(&sink);
    pushFile(setup.basis, stream);
  });
}

std::string engineName(kvn_rsync::SumPath path) {
  return std::string("SignatureEngine/") + kvn_rsync::sumPathName(path);
}

void signatureEngine(benchmark::State& state) {
  const auto path = static_cast<kvn_rsync::SumPath>(state.range(0));
  kvn_rsync::forceSumPath(path);
  timed(state, engineName(path).c_str(), false, [path] {
    kvn_rsync::SignatureEngine stream(setup.blockLength);
    FdSink sink(sigPath(kvn_rsync::sumPathName(path)));
    stream.setNext(&sink);
    pushFile(setup.basis, stream);
  });
}

// The same signature format as the streams: MD4, the old rollsum, 8 bytes.
void rdiffSignature(benchmark::State& state) {
  timed(state, "rdiff signature", true, [] {
    run("rdiff -f -H md4 -R rollsum -S 8 -b " + std::to_string(setup.blockLength) + " signature '" +
        setup.basis + "' '" + sigPath("rdiff") + "'");
  });
}

// What a delta cost the agent before: librsync's delta, and the new
// signature made beside it over the same bytes.
void deltaStream(benchmark::State& state) {
  timed(state, "DeltaStream+SignatureStream", false, [] {
    auto signature = openSignature();
    kvn_rsync::DeltaStream stream(signature.get());
    FdSink newSignatureFile(sigPath("new.librsync"));
    kvn_rsync::SignatureStream newSignature(setup.blockLength);
    newSignature.setNext(&newSignatureFile);
    kvn_common::TeePipe tee(newSignature);
    tee.setNext(&stream);
    FdSink sink(setup.dir + "/delta.librsync");
    stream.setNext(&sink);
    pushFile(setup.changed, tee);
  });
}

// The agent's delta now: the delta and the new signature in one pass.
void fusedDelta(benchmark::State& state) {
  kvn_rsync::forceSumPath(setup.startPath);
  timed(state, "FusedDelta (+new signature)", false, [] {
    auto signature = openSignature();
    kvn_rsync::PreviousSignature previous(signature.get());
    if (!previous.handWritten())
      throw std::runtime_error("rdiff signature not taken by the engine");
    FdSink newSignature(sigPath("new.ours"));
    auto stream = previous.deltaAndSignature(setup.blockLength, newSignature);
    FdSink sink(setup.dir + "/delta.ours");
    stream->setNext(&sink);
    pushFile(setup.changed, *stream);
  });
}

void rdiffDelta(benchmark::State& state) {
  timed(state, "rdiff delta", true, [] {
    run("rdiff -f delta '" + sigPath("rdiff") + "' '" + setup.changed + "' '" + setup.dir +
        "/delta.rdiff'");
  });
}

std::uint64_t sizeMiB(int* argc, char** argv) {
  std::uint64_t mib = 1024;
  if (const char* env = std::getenv("KVN_RSYNC_BENCH_MIB")) mib = std::strtoull(env, nullptr, 10);
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp(argv[i], "--size_mib=", 11) == 0)
      mib = std::strtoull(argv[i] + 11, nullptr, 10);
    else
      argv[kept++] = argv[i];
  }
  *argc = kept;
  return mib == 0 ? 1 : mib;
}

long long fileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

bool sameFile(const std::string& a, const std::string& b) {
  return std::system(("cmp -s '" + a + "' '" + b + "'").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  setup.size = sizeMiB(&argc, argv) * kMiB;
  benchmark::Initialize(&argc, argv);
  createFiles();
  setup.startPath = kvn_rsync::activeSumPath();
  const kvn_rsync::SumPath startPath = setup.startPath;
  std::printf("file %llu MiB, block length %llu, sum path %s, files in %s\n",
              static_cast<unsigned long long>(setup.size / kMiB),
              static_cast<unsigned long long>(setup.blockLength), kvn_rsync::sumPathName(startPath),
              setup.dir.c_str());
  const auto add = [](const std::string& name, void (*fn)(benchmark::State&)) {
    return benchmark::RegisterBenchmark(name.c_str(), fn)
        ->Iterations(3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  };
  // rdiff's signature comes first: the deltas read it.
  add("rdiff signature", &rdiffSignature);
  add("SignatureStream", &signatureStream);
  std::vector<kvn_rsync::SumPath> paths;
  for (auto path :
       {kvn_rsync::SumPath::kAvx512, kvn_rsync::SumPath::kAvx2, kvn_rsync::SumPath::kScalar}) {
    if (!kvn_rsync::sumPathSupported(path)) continue;
    paths.push_back(path);
    add(engineName(path), &signatureEngine)->Arg(static_cast<int>(path));
  }
  add("rdiff delta", &rdiffDelta);
  add("DeltaStream+SignatureStream", &deltaStream);
  add("FusedDelta (+new signature)", &fusedDelta);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printRatio("SignatureStream", "rdiff signature", 0.9);
  for (auto path : paths) printRatio(engineName(path), "rdiff signature", 3);
  printRatio("DeltaStream+SignatureStream", "rdiff delta", 0.9);
  printRatio("FusedDelta (+new signature)", "rdiff delta", 3);
  // The outputs must be what librsync reads and writes (checked for the
  // runs a filter left in).
  if (best.count("SignatureStream"))
    std::printf("librsync signature identical: %s\n",
                sameFile(sigPath("librsync"), sigPath("rdiff")) ? "yes" : "NO");
  for (auto path : paths) {
    if (best.count(engineName(path)) == 0) continue;
    std::printf("%s signature identical: %s\n", engineName(path).c_str(),
                sameFile(sigPath(kvn_rsync::sumPathName(path)), sigPath("rdiff")) ? "yes" : "NO");
  }
  if (best.count("FusedDelta (+new signature)")) {
    run("rdiff -f patch '" + setup.basis + "' '" + setup.dir + "/delta.ours' '" + setup.dir +
        "/patched'");
    run("rdiff -f -H md4 -R rollsum -S 8 -b " + std::to_string(setup.blockLength) + " signature '" +
        setup.changed + "' '" + sigPath("new.rdiff") + "'");
    std::printf(
        "fused delta patched by rdiff identical: %s, fused new signature identical: %s; delta "
        "sizes: fused %lld, rdiff %lld bytes\n",
        sameFile(setup.dir + "/patched", setup.changed) ? "yes" : "NO",
        sameFile(sigPath("new.ours"), sigPath("new.rdiff")) ? "yes" : "NO",
        fileSize(setup.dir + "/delta.ours"), fileSize(setup.dir + "/delta.rdiff"));
  }
  run("rm -rf '" + setup.dir + "'");
  return 0;
}
