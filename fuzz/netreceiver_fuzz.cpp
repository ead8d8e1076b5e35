// Arbitrary bytes as the socket's input: the frame reader sorts them into
// the queues, then the file receiver (into an in-memory file) and the
// stream receive source take the transfer apart. Nothing may crash, hang
// or allocate without bound; every failure must be a thrown exception or
// a result code.
//
// Input: u8 mode, then the socket bytes. Bit 0 of mode picks the receiver,
// bit 1 installs a session cipher so that encrypted frames get decrypted.
#include <sys/mman.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "kvn_common/stream.h"
#include "kvn_compression/compressor.h"
#include "kvn_crypto/crypto.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/byte_stream.h"
#include "kvn_network/file_transfer.h"
#include "kvn_network/net_receiver.h"

namespace {

kvn_crypto::Crypto& session() {
  static kvn_crypto::Crypto* crypto = [] {
    auto* c = new kvn_crypto::Crypto;
    const kvn_crypto::Bytes secret = {1, 2, 3, 4, 5, 6, 7, 8};
    c->receiveCipher().init(secret, secret, 128, kvn_crypto::AesContext::Ecb);
    c->sendCipher().init(secret, secret, 128, kvn_crypto::AesContext::Ecb);
    return c;
  }();
  return *crypto;
}

// The receiving half of a connection over memory; what would be sent
// (acknowledgements, refusals) is dropped.
class MemoryChannel : public kvn_network::PacketChannel {
 public:
  explicit MemoryChannel(kvn_network::NetReceiver& receiver) : receiver_(receiver) {}
  bool SendPacket(kvn_network::NetPacket&, bool, bool) override { return true; }
  kvn_network::NetPacket receivePacket() override {
    return receiver_.receive(kvn_network::NetReceiver::General);
  }
  kvn_network::NetPacket receiveControlPacket() override {
    return receiver_.receive(kvn_network::NetReceiver::Control);
  }
  kvn_network::NetPacket receiveFilePacket() override {
    return receiver_.receive(kvn_network::NetReceiver::File);
  }

 private:
  kvn_network::NetReceiver& receiver_;
};

class CountingSink : public kvn_common::StreamSink {
 public:
  void write(const char*, std::uint32_t size) override { bytes += size; }
  void end() override {}
  std::uint64_t bytes = 0;
};

void receiveIntoMemoryFile(MemoryChannel& channel) {
  const int fd = ::memfd_create("netreceiver_fuzz", 0);
  if (fd < 0) return;
  {
    QFile file;
    if (file.open(fd, QIODevice::ReadWrite)) {
      const std::atomic<bool> stop{false};
      kvn_network::FileReceiver(channel, stop).receiveData(file);
    }
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  kvn_fuzz::quietLog();
  static kvn_compression::Compressor compressor(0x100000, -1);
  const std::uint8_t mode = data[0];
  kvn_network::MemoryStream stream(
      QByteArray(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1)));
  kvn_network::NetReceiver receiver(compressor, 0);
  receiver.setStream(&stream);
  if (mode & 2) receiver.setCrypto(&session());
  MemoryChannel channel(receiver);
  try {
    if (mode & 1) {
      receiveIntoMemoryFile(channel);
    } else {
      CountingSink sink;
      kvn_network::NetClientReceiveFileSource(sink, channel, 10).receive();
    }
  } catch (const KvnCommonException&) {
  }
  // Whatever is left: every frame up to the end of the input.
  try {
    for (;;) receiver.receiveAny();
  } catch (const KvnCommonException&) {
  }
  return 0;
}
