// boxsim: the simulated box as a program. It serves the box protocol on
// one address and port and the pairing page over HTTPS on the same
// address, until SIGINT or SIGTERM.
#include <openssl/rand.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>

#include "boxsim/file_handlers.h"
#include "boxsim/operation_handlers.h"
#include "boxsim/pairing_endpoint.h"
#include "boxsim/simulator.h"
#include "kvn_platform/process_setup.h"

namespace {

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested = true; }

// 16 random bytes as 32 hexadecimal digits, the longest key an agent keeps.
QString randomCryptkey() {
  unsigned char key[16];
  RAND_bytes(key, sizeof key);
  return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(key), sizeof key).toHex());
}

bool isCryptkey(const QString& text) {
  if (text.isEmpty() || text.size() > 32 || text.size() % 2 != 0) return false;
  for (const QChar c : text) {
    if (!c.isDigit() && !QString("abcdefABCDEF").contains(c)) return false;
  }
  return true;
}

int fail(const QString& text) {
  std::fprintf(stderr, "boxsim: %s\n", qPrintable(text));
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  kvn_platform::tuneMemoryAllocator();
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("boxsim");

  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Simulated box for tests, benchmarks and demonstrations.\n"
      "Serves the box protocol (negotiation, operations, error reports, confirmations,\n"
      "file transfers, the box load test) on --listen:--port, and the pairing page\n"
      "GET /zelvo/php/scripts/register_agent.php over HTTPS on --listen:--https-port,\n"
      "so that 'zlv_service --register <address>' pairs an agent with it.\n"
      "Prints one line 'boxsim ready ...' once both listen; runs until SIGINT/SIGTERM.");
  parser.addHelpOption();
  const QCommandLineOption listen("listen", "Address to listen on (required), e.g. 127.0.0.5.",
                                  "address");
  const QCommandLineOption port("port", "Box protocol port (default 6670).", "port", "6670");
  const QCommandLineOption cryptkey(
      "cryptkey", "Shared key, up to 32 hexadecimal digits (default: random).", "hex");
  const QCommandLineOption license(
      "license", "Licence number handed to the agent as its storage licence (default 1000).",
      "number", "1000");
  const QCommandLineOption device("device", "Device number handed to the agent (default 1).",
                                  "number", "1");
  const QCommandLineOption datanode(
      "datanode", "Datanode address handed to the agent, host or host:port (default none).",
      "host:port");
  const QCommandLineOption httpsPort(
      "https-port", "Pairing page port (default 443; 0: no pairing page).", "port", "443");
  parser.addOptions({listen, port, cryptkey, license, device, datanode, httpsPort});
  parser.process(app);

  if (!parser.isSet(listen)) return fail("--listen is required (see --help)");
  bool ok = false;
  const uint boxPort = parser.value(port).toUInt(&ok);
  if (!ok || boxPort == 0 || boxPort > 0xFFFF) return fail("--port must be a port number");
  const uint pairingPort = parser.value(httpsPort).toUInt(&ok);
  if (!ok || pairingPort > 0xFFFF) return fail("--https-port must be a port number or 0");
  const qint64 licenseNumber = parser.value(license).toLongLong(&ok);
  if (!ok || licenseNumber <= 0 || licenseNumber > 0x7FFFFFFF)
    return fail("--license must be a positive 32-bit number");
  const qint64 deviceNumber = parser.value(device).toLongLong(&ok);
  if (!ok || deviceNumber <= 0 || deviceNumber > 0x7FFFFFFF)
    return fail("--device must be a positive 32-bit number");
  const QString key = parser.isSet(cryptkey) ? parser.value(cryptkey) : randomCryptkey();
  if (!isCryptkey(key)) return fail("--cryptkey must be up to 32 hexadecimal digits, in pairs");

  boxsim::SimulatorConfig config;
  config.address = parser.value(listen);
  config.port = static_cast<std::uint16_t>(boxPort);
  config.identity.cryptkeyHex = key.toLatin1();
  config.identity.storageLicence = static_cast<std::uint64_t>(licenseNumber);
  config.identity.deviceLicence = static_cast<std::uint64_t>(deviceNumber);

  boxsim::Registry registry;
  boxsim::addFileHandlers(registry);
  boxsim::addOperationHandlers(registry);
  boxsim::BoxSimulator simulator(std::move(registry), config);
  if (!simulator.start())
    return fail("cannot listen on " + config.address + ":" + QString::number(boxPort));

  boxsim::PairingEndpoint pairing({config.address, static_cast<std::uint16_t>(pairingPort),
                                   licenseNumber, deviceNumber, parser.value(datanode), key},
                                  &simulator.record());
  if (pairingPort != 0 && !pairing.start())
    return fail("cannot serve the pairing page on " + config.address + ":" +
                QString::number(pairingPort));

  std::printf("boxsim ready: box %s:%u, pairing %s, licence %lld, device %lld, cryptkey %s\n",
              qPrintable(config.address), boxPort,
              pairingPort != 0
                  ? qPrintable(QString("https://%1:%2").arg(config.address).arg(pairing.port()))
                  : "off",
              static_cast<long long>(licenseNumber), static_cast<long long>(deviceNumber),
              qPrintable(key));
  std::fflush(stdout);

  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &app, [] {
    if (stopRequested) QCoreApplication::quit();
  });
  poll.start(100);
  const int result = app.exec();
  pairing.stop();
  simulator.stop();
  return result;
}
