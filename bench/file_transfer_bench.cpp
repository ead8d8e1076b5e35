// File transfer to the simulated box over loopback, next to a plain TCP
// copy of the same bytes in the same run: one large file raw and with
// packet compression and encryption, then many small files, which measure
// the per-file overhead. The ratio TCP time / transfer time is the figure.
//
//   file_transfer_bench [--size=BYTES] [--files=N] [--file-size=BYTES] [benchmark flags]
// Defaults: 1 GiB, 1,000 files of 64 KiB. Small sizes make a smoke run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "kvn_platform/process_setup.h"

#include "boxsim/file_handlers.h"
#include "boxsim/session.h"
#include "boxsim/simulator.h"
#include "kvn_network/net_client.h"

namespace {

const char* kBoxAddress = "127.0.0.68";
const char* kTcpAddress = "127.0.0.67";
const char* kCryptkey = "00112233445566778899aabbccddeeff";
constexpr std::uint32_t kSyncType = 0x7E57B000;
constexpr std::size_t kPoolSize = 16 << 20;

std::uint64_t bigSize = 1ULL << 30;
std::uint64_t fileCount = 1000;
std::uint64_t smallSize = 64 << 10;

// Text-like bytes that compress, interleaved with random ones that do not,
// so that compression has real work and a real gain.
const std::vector<char>& pool() {
  static const std::vector<char> bytes = [] {
    std::vector<char> out(kPoolSize);
    std::mt19937 random(11);
    const std::string words = "backup box agent volume signature delta chunk ";
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = (i / 4096) % 2 == 0 ? words[(i * 7 + i / 13) % words.size()]
                                   : static_cast<char>(random());
    return out;
  }();
  return bytes;
}

// Calls f(offset, data, n) for size bytes taken from the pool in blocks.
template <typename F>
void forEachBlock(std::uint64_t size, std::uint64_t block, F f) {
  for (std::uint64_t offset = 0; offset < size;) {
    const std::uint64_t at = offset % kPoolSize;
    const std::uint64_t n = std::min({block, size - offset, kPoolSize - at});
    f(offset, pool().data() + at, static_cast<std::uint32_t>(n));
    offset += n;
  }
}

// Answers every sync request, so that a sender knows the box has taken
// everything before it.
class SyncHandler : public boxsim::Handler {
 public:
  bool handle(boxsim::BoxSession& session, const kvn_network::NetPacket& packet) override {
    kvn_network::NetPacket answer(packet.type());
    return session.send(answer);
  }
};

struct Box {
  Box() {
    boxsim::Registry registry;
    boxsim::addFileHandlers(registry, false);
    registry.add(kSyncType, std::make_shared<SyncHandler>());
    boxsim::SimulatorConfig config;
    config.address = kBoxAddress;
    config.identity.cryptkeyHex = kCryptkey;
    simulator = std::make_unique<boxsim::BoxSimulator>(std::move(registry), config);
    if (!simulator->start())
      std::fprintf(stderr, "cannot start the simulator on %s\n", kBoxAddress);
    client = std::make_unique<kvn_network::NetClient>(kBoxAddress, boxsim::kBoxPort);
    client->connect(1, kCryptkey);
  }
  void sync() {
    kvn_network::NetPacket request(kSyncType);
    client->SendPacket(request, false, false);
    client->receivePacket();
  }
  std::unique_ptr<boxsim::BoxSimulator> simulator;
  std::unique_ptr<kvn_network::NetClient> client;
};

Box& box() {
  static Box instance;
  return instance;
}

// A TCP peer that reads and drops everything, and answers one byte once
// it has read the number of bytes announced at the start.
class TcpSink {
 public:
  TcpSink() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(boxsim::kBoxPort);
    ::inet_pton(AF_INET, kTcpAddress, &address.sin_addr);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0)
      std::perror("tcp sink");
    thread_ = std::thread([this] { serve(); });
    client_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      std::perror("tcp connect");
  }

  // Sends size bytes in blocks and waits until the peer has them all.
  void copy(std::uint64_t size, std::uint64_t block) {
    sendAll(&size, sizeof size);
    forEachBlock(size, block,
                 [&](std::uint64_t, const char* data, std::uint32_t n) { sendAll(data, n); });
    char done = 0;
    ::recv(client_, &done, 1, MSG_WAITALL);
  }

 private:
  void sendAll(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::send(client_, p, size, 0);
      if (n <= 0) return;
      p += n;
      size -= static_cast<std::size_t>(n);
    }
  }
  void serve() {
    const int peer = ::accept(listener_, nullptr, nullptr);
    std::vector<char> buffer(1 << 20);
    for (;;) {
      std::uint64_t size = 0;
      if (::recv(peer, &size, sizeof size, MSG_WAITALL) != sizeof size) break;
      while (size > 0) {
        const ssize_t n =
            ::recv(peer, buffer.data(), std::min<std::uint64_t>(size, buffer.size()), 0);
        if (n <= 0) return;
        size -= static_cast<std::uint64_t>(n);
      }
      const char done = 1;
      ::send(peer, &done, 1, 0);
    }
    ::close(peer);
  }

  int listener_ = -1;
  int client_ = -1;
  std::thread thread_;
};

TcpSink& tcp() {
  static TcpSink* sink = new TcpSink;  // lives until the process ends
  return *sink;
}

void sendThroughFileSender(std::uint64_t size, std::uint32_t fileId, bool packed) {
  kvn_network::FileSender sender(*box().client, "?", boxsim::kFileDataType, fileId, size, packed,
                                 packed);
  forEachBlock(size, kvn_network::kFileBlockSize,
               [&](std::uint64_t offset, const char* data, std::uint32_t n) {
                 sender.sendChunk(offset, data, n, false);
               });
  sender.finish();
}

void BM_TcpCopyBig(benchmark::State& state) {
  for (auto _ : state) tcp().copy(bigSize, kvn_network::kFileBlockSize);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bigSize));
}

void BM_FileSenderBigRaw(benchmark::State& state) {
  for (auto _ : state) {
    sendThroughFileSender(bigSize, 10, false);
    box().sync();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bigSize));
}

void BM_FileSenderBigPacked(benchmark::State& state) {
  for (auto _ : state) {
    sendThroughFileSender(bigSize, 10, true);
    box().sync();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bigSize));
}

void BM_TcpCopySmallFiles(benchmark::State& state) {
  for (auto _ : state)
    for (std::uint64_t i = 0; i < fileCount; ++i) tcp().copy(smallSize, smallSize);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileCount * smallSize));
}

void BM_FileSenderSmallFilesRaw(benchmark::State& state) {
  for (auto _ : state) {
    for (std::uint64_t i = 0; i < fileCount; ++i) sendThroughFileSender(smallSize, 10, false);
    box().sync();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileCount * smallSize));
}

void BM_FileSenderSmallFilesPacked(benchmark::State& state) {
  for (auto _ : state) {
    for (std::uint64_t i = 0; i < fileCount; ++i) sendThroughFileSender(smallSize, 10, true);
    box().sync();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fileCount * smallSize));
}

// Wall-clock time is what a transfer costs: the work is spread over the
// sender, the simulator's thread and the kernel.
#define TRANSFER_BENCH(name) \
  BENCHMARK(name)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond)
TRANSFER_BENCH(BM_TcpCopyBig);
TRANSFER_BENCH(BM_FileSenderBigRaw);
TRANSFER_BENCH(BM_FileSenderBigPacked);
TRANSFER_BENCH(BM_TcpCopySmallFiles);
TRANSFER_BENCH(BM_FileSenderSmallFilesRaw);
TRANSFER_BENCH(BM_FileSenderSmallFilesPacked);

// Console output plus the best real time of each benchmark, for ratios.
class RealTimeRatios : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const double time = run.GetAdjustedRealTime();
      auto [it, added] = best_.emplace(run.run_name.function_name, time);
      if (!added && time < it->second) it->second = time;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print(const std::string& variant, const std::string& baseline) const {
    const auto v = best_.find(variant);
    const auto b = best_.find(baseline);
    if (v == best_.end() || b == best_.end() || v->second <= 0) {
      std::printf("ratio %s / %s: not run\n", variant.c_str(), baseline.c_str());
      return;
    }
    std::printf("ratio %s / %s (throughput, 1.0 = as fast as plain TCP): %.3f\n", variant.c_str(),
                baseline.c_str(), b->second / v->second);
  }

 private:
  std::map<std::string, double> best_;
};

// Takes --size, --files and --file-size out of the arguments.
void parseSizes(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* flag) -> std::uint64_t* {
      if (arg.rfind(flag, 0) != 0) return nullptr;
      static std::uint64_t scratch;
      scratch = std::stoull(arg.substr(std::strlen(flag)));
      return &scratch;
    };
    if (auto* v = value("--size="))
      bigSize = *v;
    else if (auto* v = value("--files="))
      fileCount = *v;
    else if (auto* v = value("--file-size="))
      smallSize = *v;
    else
      argv[kept++] = argv[i];
  }
  *argc = kept;
}

}  // namespace

int main(int argc, char** argv) {
  // The agent and the simulator run with this allocator setting; so does
  // the measurement.
  kvn_platform::tuneMemoryAllocator();
  parseSizes(&argc, argv);
  benchmark::Initialize(&argc, argv);
  // Set up before timing starts: data, simulator, session, TCP peer.
  pool();
  box();
  tcp();
  std::printf("large file: %llu bytes; small files: %llu of %llu bytes\n",
              static_cast<unsigned long long>(bigSize), static_cast<unsigned long long>(fileCount),
              static_cast<unsigned long long>(smallSize));
  RealTimeRatios reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print("BM_FileSenderBigRaw", "BM_TcpCopyBig");
  reporter.print("BM_FileSenderBigPacked", "BM_TcpCopyBig");
  reporter.print("BM_FileSenderSmallFilesRaw", "BM_TcpCopySmallFiles");
  reporter.print("BM_FileSenderSmallFilesPacked", "BM_TcpCopySmallFiles");
  benchmark::Shutdown();
  // The simulator's sessions end with the process.
  box().client.reset();
  box().simulator->stop();
  return 0;
}
