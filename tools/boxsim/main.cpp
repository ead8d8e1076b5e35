// boxsim: the simulated box as a program. It serves the box protocol, the
// pairing page over HTTPS and the Tessel control channel on one address,
// with a control socket for scripts, until SIGINT or SIGTERM; or, with
// --verify, checks a folder against the backups in its store and exits;
// or, as "boxsim ctl", sends one command to a running simulator.
#include <openssl/rand.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include "boxsim/backup_handlers.h"
#include "boxsim/control.h"
#include "boxsim/fault_commands.h"
#include "boxsim/file_handlers.h"
#include "boxsim/file_operation_commands.h"
#include "boxsim/image_store.h"
#include "boxsim/job_config_handlers.h"
#include "boxsim/job_definitions.h"
#include "boxsim/operation_handlers.h"
#include "boxsim/pairing_endpoint.h"
#include "boxsim/simulator.h"
#include "boxsim/store_verifier.h"
#include "boxsim/tessel_box.h"
#include "boxsim/tessel_commands.h"
#include "boxsim/upgrade_handlers.h"
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

// Prints each mismatch and the summary line; 0 when nothing failed.
int verifyMode(const QString& storeFolder, const QString& folder, const QString& job) {
  std::optional<std::int64_t> jobId;
  if (!job.isEmpty()) {
    bool ok = false;
    jobId = job.toLongLong(&ok);
    if (!ok) return fail("--job with --verify must be a job id");
  }
  const boxsim::BackupStore store(storeFolder, boxsim::BackupStore::Access::ReadOnly);
  if (!store.isOpen()) return fail("no store in " + storeFolder);
  const boxsim::VerifyResult result = boxsim::verify(store, folder, jobId);
  for (const QString& line : result.mismatches) std::printf("%s\n", qPrintable(line));
  std::printf("%d passed, %d failed\n", result.passed, result.failed);
  return result.failed == 0 ? 0 : 1;
}

// Rebuilds a volume's version from the store into rebuilt (a temporary
// file when empty) and compares its used chunks with reference.
int verifyImageMode(const QString& storeFolder, const QString& reference, const QString& job,
                    const QString& volume, const QString& version, QString rebuilt,
                    const kvn_crypto::Bytes& dataKey) {
  bool ok = false;
  const std::int64_t jobId = job.toLongLong(&ok);
  if (!ok) return fail("--verify-image needs --job with a job id");
  if (volume.isEmpty()) return fail("--verify-image needs --volume");
  const int number = version.isEmpty() ? 0 : version.toInt(&ok);
  if (!ok || number < 0) return fail("--version must be a version number");
  const boxsim::BackupStore store(storeFolder, boxsim::BackupStore::Access::ReadOnly);
  if (!store.isOpen()) return fail("no store in " + storeFolder);
  QTemporaryDir temporary;
  if (rebuilt.isEmpty()) rebuilt = temporary.filePath("image");
  QString reason;
  const auto image = boxsim::rebuildImage(store, jobId, volume, number, rebuilt, dataKey, reason);
  if (!image) return fail(reason);
  const boxsim::ImageVerifyResult result = boxsim::verifyImage(*image, rebuilt, reference);
  for (const QString& line : result.mismatches) std::printf("%s\n", qPrintable(line));
  std::printf("%d passed, %d failed\n", result.passed, result.failed);
  return result.failed == 0 ? 0 : 1;
}

// The job-configuration conversation: the jobs of --jobs (none without it)
// and the datanode of --datanode, or the box itself when none is given.
// The box also learns each job's crypto and compression from the file.
std::shared_ptr<boxsim::JobConfigService> jobConfigService(const QString& jobsPath,
                                                           const QString& datanode,
                                                           const boxsim::SimulatorConfig& config,
                                                           boxsim::JobSettingsTable& settings,
                                                           QString* error) {
  boxsim::JobConfigScript script;
  if (!jobsPath.isEmpty()) {
    const auto jobs = boxsim::loadJobDefinitions(jobsPath, error);
    if (!jobs) return nullptr;
    const auto file = boxsim::jobFile(*jobs, error);
    if (!file) return nullptr;
    script.jobFiles = {*file};
    boxsim::applyJobSettings(*jobs, settings);
    std::printf("boxsim jobs: %zu from %s\n", jobs->size(), qPrintable(jobsPath));
  }
  script.datanodeHost = config.address;
  script.datanodePort = config.port;
  if (!datanode.isEmpty()) {
    const QStringList parts = datanode.split(':');
    bool ok = parts.size() == 2;
    const int port = ok ? parts[1].toInt(&ok) : 0;
    script.datanodeHost = ok ? parts[0] : datanode;
    script.datanodePort = ok ? std::optional<std::int32_t>(port) : std::nullopt;
  }
  return std::make_shared<boxsim::JobConfigService>(script);
}

// "boxsim ctl [--ctl PATH | --listen ADDRESS] <command> [arguments...]":
// prints the command's output and exits with its status.
int controlMode(const QStringList& arguments) {
  QStringList argv = arguments;
  QString path;
  while (argv.size() >= 2 && (argv[0] == "--ctl" || argv[0] == "--listen")) {
    path = argv[0] == "--ctl" ? argv[1] : boxsim::defaultControlPath(argv[1]);
    argv = argv.mid(2);
  }
  if (path.isEmpty() || argv.isEmpty()) {
    std::fprintf(stderr,
                 "usage: boxsim ctl (--ctl PATH | --listen ADDRESS) <command> [arguments...]\n"
                 "       boxsim ctl --listen ADDRESS help   lists the commands\n");
    return boxsim::kControlUsage;
  }
  const boxsim::ControlReply reply = boxsim::sendControlCommand(path, argv);
  std::fputs(qPrintable(reply.output), reply.status == 0 ? stdout : stderr);
  return reply.status;
}

}  // namespace

int main(int argc, char** argv) {
  kvn_platform::tuneMemoryAllocator();
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("boxsim");
  if (argc > 1 && QString(argv[1]) == "ctl") return controlMode(app.arguments().mid(2));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Simulated box for tests, benchmarks and demonstrations.\n"
      "Serves the box protocol (negotiation, operations, error reports, confirmations,\n"
      "file transfers, the box load test) on --listen:--port, and the pairing page\n"
      "GET /zelvo/php/scripts/register_agent.php over HTTPS on --listen:--https-port,\n"
      "so that 'zlv_service --register <address>' pairs an agent with it, and the\n"
      "Tessel control channel over TLS on --listen:--tessel-port, driven through the\n"
      "control socket --ctl ('boxsim ctl --listen <address> help' lists the commands).\n"
      "Prints one line 'boxsim ready ...' once both listen, then one line\n"
      "'stored <path> v<n> <size> bytes (full|delta)' per version a backup stores;\n"
      "runs until SIGINT/SIGTERM.\n"
      "With --verify FOLDER it listens on nothing: it compares the newest stored version\n"
      "of every file under FOLDER with the file on disk, prints each mismatch and a last\n"
      "line 'N passed, M failed', and exits with 0 when M is 0, else 1.\n"
      "With --verify-image REFERENCE it rebuilds version --version (default: the newest)\n"
      "of the system image of --volume in --job into --rebuild FILE (default: a temporary\n"
      "file), compares its used blocks with REFERENCE (a device or image file) and prints\n"
      "the same summary line. Encrypted images need the --datakey the box ran with.");
  parser.addHelpOption();
  const QCommandLineOption listen("listen", "Address to listen on (required), e.g. 127.0.0.5.",
                                  "address");
  const QCommandLineOption port("port", "Box protocol port (default 6670).", "port", "6670");
  const QCommandLineOption cryptkey(
      "cryptkey", "Shared key, up to 32 hexadecimal digits (default: random).", "hex");
  const QCommandLineOption dataKey(
      "datakey", "Data key handed to the agent, 64 hexadecimal digits (default: random).", "hex");
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
  const QCommandLineOption store(
      "store", "Folder of the backup store, kept between runs (default: a temporary folder).",
      "folder");
  const QCommandLineOption job(
      "job",
      "What a job does to its data, e.g. 7:crypto,compression, 8:compression or 9:none\n"
      "(repeatable; jobs not named use neither). With --verify: the one job to check.",
      "id:flags");
  const QCommandLineOption verify(
      "verify", "Check FOLDER against the store given with --store, then exit.", "folder");
  const QCommandLineOption jobs(
      "jobs", "Job definitions (JSON, see README.md) served as the agent's job file.", "file");
  const QCommandLineOption tesselPort(
      "tessel-port", "Tessel control channel port (default 6680; 0: no channel).", "port", "6680");
  const QCommandLineOption ctl(
      "ctl", "Control socket path (default /tmp/boxsim-<listen address>.ctl).", "path");
  const QCommandLineOption verifyImage(
      "verify-image", "Check a rebuilt system image against REFERENCE, then exit.", "reference");
  const QCommandLineOption volume("volume", "With --verify-image: the volume's identity.", "id");
  const QCommandLineOption version("version", "With --verify-image: the version (from 1).", "n");
  const QCommandLineOption rebuild("rebuild", "With --verify-image: where to rebuild.", "file");
  const QCommandLineOption updateProgram(
      "update-program",
      "Offer FILE as the agent's update program at its version check (default: no update).\n"
      "The agent's hourly reports are logged as 'boxsim: agent report: <json>'.",
      "file");
  const QCommandLineOption dropOneIn(
      "drop-one-in", "Drop one box connection in N, at random (default 0: never).", "n", "0");
  const QCommandLineOption dropWithin(
      "drop-within",
      "A dropped connection ends within the length of the last connection that was not\n"
      "dropped, and after at most N packets (default 1000).",
      "n", "1000");
  const QCommandLineOption hold(
      "hold",
      "Fault: the first connection that reaches POINT holds there, reading and answering\n"
      "nothing more ('boxsim ctl ... help' lists the points under 'hold').",
      "point");
  const QCommandLineOption drop(
      "drop", "Fault: the first connection that reaches POINT is closed there.", "point");
  parser.addOptions({listen,        port,      cryptkey,    dataKey,   license,   device,
                     datanode,      httpsPort, store,       job,       verify,    jobs,
                     tesselPort,    ctl,       verifyImage, volume,    version,   rebuild,
                     updateProgram, hold,      drop,        dropOneIn, dropWithin});
  parser.process(app);

  kvn_crypto::Bytes dataKeyBytes;
  if (parser.isSet(dataKey)) {
    const QByteArray hex = parser.value(dataKey).toLatin1();
    const QByteArray bytes = QByteArray::fromHex(hex);
    if (bytes.size() != 32 || bytes.toHex() != hex.toLower())
      return fail("--datakey must be 64 hexadecimal digits");
    dataKeyBytes.assign(bytes.begin(), bytes.end());
  }

  if (parser.isSet(verifyImage)) {
    if (!parser.isSet(store)) return fail("--verify-image needs --store");
    return verifyImageMode(parser.value(store), parser.value(verifyImage), parser.value(job),
                           parser.value(volume), parser.value(version), parser.value(rebuild),
                           dataKeyBytes);
  }

  if (parser.isSet(verify)) {
    if (!parser.isSet(store)) return fail("--verify needs --store");
    if (parser.values(job).size() > 1) return fail("--verify takes at most one --job");
    return verifyMode(parser.value(store), parser.value(verify), parser.value(job));
  }
  if (!parser.isSet(listen)) return fail("--listen is required (see --help)");
  bool ok = false;
  const uint boxPort = parser.value(port).toUInt(&ok);
  if (!ok || boxPort == 0 || boxPort > 0xFFFF) return fail("--port must be a port number");
  const uint pairingPort = parser.value(httpsPort).toUInt(&ok);
  if (!ok || pairingPort > 0xFFFF) return fail("--https-port must be a port number or 0");
  const uint channelPort = parser.value(tesselPort).toUInt(&ok);
  if (!ok || channelPort > 0xFFFF) return fail("--tessel-port must be a port number or 0");
  const qint64 licenseNumber = parser.value(license).toLongLong(&ok);
  if (!ok || licenseNumber <= 0 || licenseNumber > 0x7FFFFFFF)
    return fail("--license must be a positive 32-bit number");
  const qint64 deviceNumber = parser.value(device).toLongLong(&ok);
  if (!ok || deviceNumber <= 0 || deviceNumber > 0x7FFFFFFF)
    return fail("--device must be a positive 32-bit number");
  const QString key = parser.isSet(cryptkey) ? parser.value(cryptkey) : randomCryptkey();
  if (!isCryptkey(key)) return fail("--cryptkey must be up to 32 hexadecimal digits, in pairs");

  boxsim::SimulatorConfig config;
  if (parser.isSet(hold) && parser.isSet(drop)) return fail("--hold and --drop exclude each other");
  if (parser.isSet(hold) || parser.isSet(drop)) {
    QString error;
    config.faults.trap =
        parser.isSet(hold)
            ? boxsim::makeTrap(boxsim::PhaseTrap::Action::Hold, parser.value(hold), &error)
            : boxsim::makeTrap(boxsim::PhaseTrap::Action::Drop, parser.value(drop), &error);
    if (!config.faults.trap) return fail(error);
  }
  config.address = parser.value(listen);
  config.port = static_cast<std::uint16_t>(boxPort);
  config.identity.cryptkeyHex = key.toLatin1();
  config.identity.dataKey = dataKeyBytes;
  config.identity.storageLicence = static_cast<std::uint64_t>(licenseNumber);
  config.identity.deviceLicence = static_cast<std::uint64_t>(deviceNumber);
  const int oneIn = parser.value(dropOneIn).toInt(&ok);
  if (!ok || oneIn < 0) return fail("--drop-one-in must be a number");
  const int within = parser.value(dropWithin).toInt(&ok);
  if (!ok || within < 1) return fail("--drop-within must be positive");
  if (oneIn > 0) config.faults.randomDrop = std::make_shared<boxsim::RandomDrop>(oneIn, within);

  auto backups = std::make_shared<boxsim::BackupBox>(parser.value(store));
  if (!backups->store().isOpen()) return fail("cannot open the store in " + parser.value(store));
  QString jobsError;
  const auto jobConfig = jobConfigService(parser.value(jobs), parser.value(datanode), config,
                                          backups->jobs(), &jobsError);
  if (!jobConfig) return fail(jobsError);
  for (const QString& text : parser.values(job)) {
    const auto setting = boxsim::parseJobOption(text);
    if (!setting) return fail("--job must look like 7:crypto,compression (got " + text + ")");
    backups->jobs().set(setting->first, setting->second);
  }
  backups->store().setObserver([](const boxsim::StoredVersion& v) {
    std::printf("stored %s v%d %lld bytes (%s)\n", qPrintable(v.path), v.number,
                static_cast<long long>(v.size), v.delta ? "delta" : "full");
    std::fflush(stdout);
  });

  auto fileOperations = std::make_shared<boxsim::FileOperationsBox>(backups);
  boxsim::Registry registry;
  boxsim::addStoreHandlers(registry, fileOperations);
  boxsim::addJobConfigHandlers(registry, jobConfig);
  auto upgrades = std::make_shared<boxsim::UpgradeService>();
  if (parser.isSet(updateProgram)) {
    QFile program(parser.value(updateProgram));
    if (!program.open(QIODevice::ReadOnly)) return fail("cannot read " + program.fileName());
    upgrades->offer(program.readAll());
  }
  boxsim::addUpgradeHandlers(registry, upgrades);
  boxsim::BoxSimulator simulator(std::move(registry), config);
  if (!simulator.start())
    return fail("cannot listen on " + config.address + ":" + QString::number(boxPort));

  boxsim::PairingEndpoint pairing({config.address, static_cast<std::uint16_t>(pairingPort),
                                   licenseNumber, deviceNumber, parser.value(datanode), key},
                                  &simulator.record());
  if (pairingPort != 0 && !pairing.start())
    return fail("cannot serve the pairing page on " + config.address + ":" +
                QString::number(pairingPort));

  // Uploads of the agent land beside the backups, or in a temporary folder.
  boxsim::TesselBox tessel({config.address, static_cast<std::uint16_t>(channelPort), licenseNumber,
                            key,
                            parser.isSet(store) ? parser.value(store) + "/uploads" : QString()});
  if (channelPort != 0 && !tessel.start())
    return fail("cannot serve the Tessel channel on " + config.address + ":" +
                QString::number(channelPort));
  boxsim::ControlCommands commands;
  boxsim::addTesselCommands(commands, tessel);
  boxsim::addFileOperationCommands(commands, *fileOperations);
  boxsim::addFaultCommands(commands, simulator);
  const QString ctlPath =
      parser.isSet(ctl) ? parser.value(ctl) : boxsim::defaultControlPath(config.address);
  boxsim::ControlServer control(ctlPath, commands);
  if (!control.start()) return fail("cannot open the control socket " + ctlPath);

  std::printf(
      "boxsim ready: box %s:%u, pairing %s, licence %lld, device %lld, cryptkey %s, tessel %s, "
      "ctl %s\n",
      qPrintable(config.address), boxPort,
      pairingPort != 0
          ? qPrintable(QString("https://%1:%2").arg(config.address).arg(pairing.port()))
          : "off",
      static_cast<long long>(licenseNumber), static_cast<long long>(deviceNumber), qPrintable(key),
      channelPort != 0 ? qPrintable(QString("%1:%2").arg(config.address).arg(tessel.port()))
                       : "off",
      qPrintable(ctlPath));
  std::fflush(stdout);

  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &app, [] {
    if (stopRequested) QCoreApplication::quit();
  });
  poll.start(100);
  const int result = app.exec();
  // The box first, so that commands waiting on it return; then the
  // control socket, which waits for them.
  tessel.stop();
  control.stop();
  pairing.stop();
  simulator.stop();
  return result;
}
