// A "file_upload" over the control channel to the simulated box, next to a
// plain TLS copy of the same bytes over loopback (Python's ssl at both
// ends) in the same run. The channel keeps its back-pressure rules: one
// 512 KiB payload per step, steps only while less than 256 KiB is queued.
// The figure is channel throughput / plain TLS throughput (goal >= 0.5).
//
//   tessel_upload_bench [--size=BYTES] [--runs=N]     defaults: 256 MiB, 3
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "boxsim/tessel_box.h"
#include "kvn_log/log.h"
#include "tessel/fileupload.h"
#include "tessel/queryprocessor.h"
#include "tessel/tesselclient.h"
#include "tessel/tesseltask.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* kBoxAddress = "127.0.2.60";
const char* kTlsAddress = "127.0.2.61";
const char* kKey = "q83vASNFZ4mrze8BI0VniQ==";
constexpr std::int32_t kLicense = 5005;

// Receives one TLS stream of the file's size and prints the seconds from
// the first byte sent to the last received; the sender writes 1 MiB pieces.
const char* kPlainTls = R"(
import os, socket, ssl, subprocess, sys, threading, time
address, path, work = sys.argv[1], sys.argv[2], sys.argv[3]
cert, key = os.path.join(work, "c.pem"), os.path.join(work, "k.pem")
if not os.path.exists(cert):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=box.test", "-keyout", key, "-out", cert], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
server.load_cert_chain(cert, key)
listener = socket.create_server((address, 6681))
size = os.path.getsize(path)
received = [0]
def serve():
    raw, _ = listener.accept()
    with server.wrap_socket(raw, server_side=True) as conn:
        while received[0] < size:
            data = conn.recv(1 << 20)
            if not data:
                break
            received[0] += len(data)
        conn.sendall(b"ok")
thread = threading.Thread(target=serve)
thread.start()
client = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
client.check_hostname = False
client.verify_mode = ssl.CERT_NONE
with socket.create_connection((address, 6681)) as raw:
    with client.wrap_socket(raw) as conn:
        start = time.monotonic()
        with open(path, "rb") as f:
            while True:
                piece = f.read(1 << 20)
                if not piece:
                    break
                conn.sendall(piece)
        # The receiver's word that all arrived; closing earlier could reset
        # the connection under data still in flight.
        conn.recv(2)
thread.join()
print(f"{time.monotonic() - start:.6f} {received[0]}")
)";

bool writeFile(const QString& path, qint64 size) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  std::mt19937_64 random(7);
  QByteArray block(1 << 20, '\0');
  for (qint64 done = 0; done < size; done += block.size()) {
    for (int i = 0; i + 8 <= block.size(); i += 8) {
      const std::uint64_t value = random();
      std::memcpy(block.data() + i, &value, 8);
    }
    const qint64 n = std::min<qint64>(block.size(), size - done);
    if (file.write(block.constData(), n) != n) return false;
  }
  return true;
}

// Seconds for one upload through a linked client; negative on failure.
double channelUpload(boxsim::TesselBox& box, TesselClient& client, qint64 size) {
  const auto start = Clock::now();
  client.startTask(kvn_network::tessel::kFileUploadTask, {{"file", "log"}});
  const auto upload = box.waitUpload(600s);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!upload || !upload->complete || upload->size != size) {
    std::fprintf(stderr, "upload failed: %s\n",
                 upload ? upload->error.toUtf8().constData() : "no upload");
    return -1;
  }
  QFile::remove(upload->path);
  return seconds;
}

double plainTls(const QString& path, const QString& work, qint64 size) {
  QProcess python;
  python.start("python3", {"-c", kPlainTls, kTlsAddress, path, work});
  if (!python.waitForFinished(600000) || python.exitCode() != 0) {
    std::fprintf(stderr, "plain TLS copy failed: %s\n", python.readAllStandardError().constData());
    return -1;
  }
  const QList<QByteArray> parts = python.readAllStandardOutput().trimmed().split(' ');
  if (parts.size() != 2 || parts[1].toLongLong() != size) return -1;
  return parts[0].toDouble();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  qint64 size = 256LL << 20;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--size=", 7) == 0) size = std::atoll(argv[i] + 7);
    if (std::strncmp(argv[i], "--runs=", 7) == 0) runs = std::atoi(argv[i] + 7);
  }
  kvn_log::setLevel(kvn_log::Warning);

  QTemporaryDir work;
  const QString path = work.filePath("upload.bin");
  if (!work.isValid() || !writeFile(path, size)) {
    std::fprintf(stderr, "cannot write the test file\n");
    return 1;
  }

  boxsim::TesselBoxConfig config;
  config.address = kBoxAddress;
  config.license = kLicense;
  config.cryptkey = kKey;
  config.uploadFolder = work.filePath("box");
  QDir().mkpath(config.uploadFolder);
  boxsim::TesselBox box(config);
  if (!box.start()) return 1;

  QueryProcessorRegistry queries;
  TaskFactoryRegistry tasks;
  tasks.add(kvn_network::tessel::kFileUploadTask, [&](TesselLink& link, int taskId) {
    return std::make_unique<FileUpload>(link, taskId, path, QString());
  });
  TesselClientSettings settings;
  settings.licenseStorage = kLicense;
  settings.licenseAgent = 1;
  settings.cryptkey = kKey;
  settings.boxIp = kBoxAddress;
  TesselClient client(settings, queries, tasks, {});
  client.start();
  if (!box.waitConnected(30s)) {
    std::fprintf(stderr, "the client did not link\n");
    return 1;
  }
  // The client takes tasks once its frame loop runs, just after the hello.
  std::this_thread::sleep_for(500ms);

  double bestChannel = 1e9, bestPlain = 1e9;
  for (int run = 0; run < runs; ++run) {
    const double channel = channelUpload(box, client, size);
    const double plain = plainTls(path, work.path(), size);
    if (channel <= 0 || plain <= 0) return 1;
    bestChannel = std::min(bestChannel, channel);
    bestPlain = std::min(bestPlain, plain);
    std::printf("run %d: channel %.3f s, plain TLS %.3f s\n", run + 1, channel, plain);
  }
  const double mib = double(size) / (1 << 20);
  const double ratio = bestPlain / bestChannel;
  std::printf("tessel file_upload: %.1f MiB/s\n", mib / bestChannel);
  std::printf("plain TLS copy:     %.1f MiB/s\n", mib / bestPlain);
  std::printf("ratio upload / plain TLS: %.3f (goal >= 0.50: %s)\n", ratio,
              ratio >= 0.5 ? "met" : "MISSED");
  return 0;
}
