// Time the agent spends per connect on the session negotiation, against a
// box peer in the same process (the box's own work is not counted). Most
// of it is the protocol's PBKDF2 work: 120,000 iterations for the three
// derived keys and about 20,000 per AES context. After the first connect
// only the two contexts of the Diffie-Hellman secrets are derived anew.
#include <benchmark/benchmark.h>

#include "kvn_crypto/crypto_box.h"
#include "kvn_crypto/crypto_client.h"
#include "kvn_log/log.h"

namespace {

using kvn_crypto::Bytes;

const Bytes kMaster(16, 0x33);

const kvn_crypto::BoxSecrets& boxSecrets() {
  static const kvn_crypto::BoxSecrets secrets = [] {
    kvn_log::setLevel(kvn_log::Warning);
    kvn_crypto::agentKeyPair();  // made once per process, not per connect
    return kvn_crypto::BoxSecrets{kvn_crypto::generateRsaKeyPair(),
                                  kvn_crypto::generateRsaKeyPair(), kMaster, Bytes(32, 0x44)};
  }();
  return secrets;
}

void BM_NegotiationPerConnect(benchmark::State& state) {
  const kvn_crypto::BoxSecrets& secrets = boxSecrets();
  for (auto _ : state) {
    state.PauseTiming();
    kvn_crypto::CryptoBox box(secrets);
    state.ResumeTiming();
    kvn_crypto::CryptoClient client(kvn_crypto::ClientSecrets{1, kMaster});
    kvn_crypto::NegotiationMessage toBox = client.firstMessage();
    while (client.state() != 0 && !toBox.isFailure()) {
      state.PauseTiming();
      const kvn_crypto::NegotiationMessage toClient = box.next(toBox);
      state.ResumeTiming();
      toBox = client.next(toClient);
    }
    if (client.state() != 0) state.SkipWithError("negotiation failed");
  }
}
BENCHMARK(BM_NegotiationPerConnect)->Unit(benchmark::kMillisecond)->Iterations(10);

// The share of the three derived keys alone.
void BM_MasterKeyDerivation(benchmark::State& state) {
  for (auto _ : state) {
    kvn_crypto::SessionKeys keys;
    keys.setMasterKey(kMaster);
    benchmark::DoNotOptimize(keys.file.data());
  }
}
BENCHMARK(BM_MasterKeyDerivation)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
