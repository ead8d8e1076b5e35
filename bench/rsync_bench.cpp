// SignatureStream and DeltaStream throughput against the rdiff tool on the
// same file in the same run; both sit on librsync, so the streams should
// keep at least 0.9 of rdiff's speed.
//
//   rsync_bench [--size_mib=N] [benchmark flags]
// The file is 1024 MiB unless --size_mib or KVN_RSYNC_BENCH_MIB says less.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
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

#include "kvn_common/stream.h"
#include "kvn_rsync/block_length.h"
#include "kvn_rsync/delta_stream.h"
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
  std::vector<std::uint64_t> chunk(kMiB / 8);
  for (std::uint64_t mib = 0; mib < setup.size / kMiB; ++mib) {
    for (auto& word : chunk) word = generator();
    std::fwrite(chunk.data(), 1, kMiB, basis.get());
    // 64 bytes changed in every 8 MiB: an unchanged file with scattered edits.
    if (mib % 8 == 3) std::memset(chunk.data() + 100, 0x5a, 64);
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

void printRatio(const char* ours, const char* rdiff) {
  const double mb = static_cast<double>(setup.size) / 1e6;
  const Times o = best[ours];
  const Times r = best[rdiff];
  std::printf(
      "%-16s %7.1f MB/s (CPU %7.1f MB/s) | %-16s %7.1f MB/s (CPU %7.1f MB/s) | "
      "speed ratio %.3f, CPU ratio %.3f (goal >= 0.9)\n",
      ours, mb / o.wall, mb / o.cpu, rdiff, mb / r.wall, mb / r.cpu, r.wall / o.wall,
      r.cpu / o.cpu);
}

std::string sigPath(const char* who) { return setup.dir + "/sig." + who; }

void signatureStream(benchmark::State& state) {
  timed(state, "SignatureStream", false, [] {
    kvn_rsync::SignatureStream stream(setup.blockLength);
    FdSink sink(sigPath("ours"));
    stream.setNext(&sink);
    pushFile(setup.basis, stream);
  });
}

// The same signature format as the stream: MD4, the old rollsum, 8 bytes.
void rdiffSignature(benchmark::State& state) {
  timed(state, "rdiff signature", true, [] {
    run("rdiff -f -H md4 -R rollsum -S 8 -b " + std::to_string(setup.blockLength) + " signature '" +
        setup.basis + "' '" + sigPath("rdiff") + "'");
  });
}

void deltaStream(benchmark::State& state) {
  timed(state, "DeltaStream", false, [] {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> signature(
        std::fopen(sigPath("rdiff").c_str(), "rb"), &std::fclose);
    kvn_rsync::DeltaStream stream(signature.get());
    FdSink sink(setup.dir + "/delta.ours");
    stream.setNext(&sink);
    pushFile(setup.changed, stream);
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

bool sameFile(const std::string& a, const std::string& b) {
  return std::system(("cmp -s '" + a + "' '" + b + "'").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  setup.size = sizeMiB(&argc, argv) * kMiB;
  benchmark::Initialize(&argc, argv);
  createFiles();
  std::printf("file %llu MiB, block length %llu, files in %s\n",
              static_cast<unsigned long long>(setup.size / kMiB),
              static_cast<unsigned long long>(setup.blockLength), setup.dir.c_str());
  for (auto [name, fn] :
       {std::pair{"SignatureStream", &signatureStream},
        std::pair{"rdiff signature", &rdiffSignature}, std::pair{"DeltaStream", &deltaStream},
        std::pair{"rdiff delta", &rdiffDelta}}) {
    benchmark::RegisterBenchmark(name, fn)->Iterations(3)->UseRealTime()->Unit(
        benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printRatio("SignatureStream", "rdiff signature");
  printRatio("DeltaStream", "rdiff delta");
  // Same library, same parameters: the outputs must agree byte for byte.
  std::printf("signatures identical: %s, deltas identical: %s\n",
              sameFile(sigPath("ours"), sigPath("rdiff")) ? "yes" : "NO",
              sameFile(setup.dir + "/delta.ours", setup.dir + "/delta.rdiff") ? "yes" : "NO");
  run("rm -rf '" + setup.dir + "'");
  return 0;
}
