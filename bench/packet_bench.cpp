// Packet throughput on 1 MiB payloads: what a sender does (compress, then
// encrypt with the session cipher) and what a receiver does (decrypt, then
// decompress), with the ciphers of a real negotiation.
#include <benchmark/benchmark.h>

#include <memory>

#include "../tests/kvn_compression/mixed_data.h"
#include "kvn_compression/compressor.h"
#include "kvn_crypto/crypto_box.h"
#include "kvn_crypto/crypto_client.h"
#include "kvn_log/log.h"
#include "kvn_network/netpacket.h"

namespace {

using kvn_network::NetPacket;

constexpr std::size_t kPayload = 0x100000;

struct Session {
  Session() {
    kvn_log::setLevel(kvn_log::Warning);
    const kvn_crypto::Bytes master(16, 0x21);
    box = std::make_unique<kvn_crypto::CryptoBox>(
        kvn_crypto::BoxSecrets{kvn_crypto::generateRsaKeyPair(), kvn_crypto::generateRsaKeyPair(),
                               master, kvn_crypto::Bytes(32, 0x42)});
    client = std::make_unique<kvn_crypto::CryptoClient>(kvn_crypto::ClientSecrets{7, master});
    kvn_crypto::NegotiationMessage toBox = client->firstMessage();
    while (client->state() != 0 && !toBox.isFailure()) toBox = client->next(box->next(toBox));
    box->next(toBox);
  }
  std::unique_ptr<kvn_crypto::CryptoBox> box;
  std::unique_ptr<kvn_crypto::CryptoClient> client;
};

Session& session() {
  static Session s;
  return s;
}

NetPacket payloadPacket() {
  static const std::string data = kvn_test::mixedData(kPayload);
  NetPacket p(0x50010002);
  p.putDataChunk(data.data(), kPayload);
  return p;
}

void BM_PacketCompressEncrypt(benchmark::State& state) {
  kvn_compression::Compressor compressor(0x100000, -1);
  const NetPacket original = payloadPacket();
  auto& crypto = *session().client;
  for (auto _ : state) {
    NetPacket p = original;
    if (!p.compress(compressor) || !p.encrypt(crypto)) state.SkipWithError("transform failed");
    benchmark::DoNotOptimize(p.bytes().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayload));
}
BENCHMARK(BM_PacketCompressEncrypt)->Unit(benchmark::kMillisecond);

void BM_PacketDecryptDecompress(benchmark::State& state) {
  kvn_compression::Compressor compressor(0x100000, -1);
  NetPacket sent = payloadPacket();
  sent.compress(compressor);
  sent.encrypt(*session().client);
  auto& box = *session().box;
  for (auto _ : state) {
    NetPacket p = NetPacket::fromBytes(sent.bytes());
    if (!p.decrypt(box) || !p.decompress(compressor)) state.SkipWithError("transform failed");
    benchmark::DoNotOptimize(p.bytes().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayload));
}
BENCHMARK(BM_PacketDecryptDecompress)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
