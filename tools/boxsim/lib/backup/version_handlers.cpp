#include <memory>

#include "backup_conversation.h"
#include "boxsim/image_store.h"
#include "boxsim/session.h"
#include "delta_patch_sink.h"
#include "kvn_common/pipes.h"
#include "kvn_compression/deflate_stream.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

namespace {

// Output buffer of the gzip stage, as the agent's.
constexpr std::uint32_t kInflateBuffer = 0x10000;

// The end of a chain for data that has nowhere to go.
class DiscardSink : public kvn_common::StreamSink {
 public:
  void write(const char*, std::uint32_t) override {}
  void end() override {}
};

// Undoes what the agent did to a file's data on its way out (gzip, then
// AES) and passes the result to its target, counting bytes on both sides.
class DataDecoder {
 public:
  // Without a target the data is counted and dropped.
  DataDecoder(std::unique_ptr<kvn_common::StreamSink> target, bool decode,
              const JobDataSettings& job, kvn_crypto::AesContext& cipher)
      : target_(std::move(target)) {
    chain_.append(wire_);
    if (decode && job.useCrypto) {
      decrypt_ = std::make_unique<kvn_crypto::DecryptStream>(cipher);
      chain_.append(*decrypt_);
    }
    if (decode && job.useCompression) {
      inflate_ = std::make_unique<kvn_compression::InflateStream>(kInflateBuffer);
      chain_.append(*inflate_);
    }
    chain_.append(plain_);
    chain_.append(target_ ? *target_ : discard_);
  }

  kvn_common::StreamSink& head() const { return *chain_.head(); }
  std::uint64_t wireBytes() const { return wire_.count(); }
  std::uint64_t plainBytes() const { return plain_.count(); }

 private:
  std::unique_ptr<kvn_common::StreamSink> target_;
  kvn_common::CountPipe wire_;
  std::unique_ptr<kvn_crypto::DecryptStream> decrypt_;
  std::unique_ptr<kvn_compression::InflateStream> inflate_;
  kvn_common::CountPipe plain_;
  DiscardSink discard_;
  kvn_common::StreamChain chain_;
};

namespace image_kind = ::kvn_network::image_kind;

bool isImageData(std::uint32_t kind) {
  return kind == image_kind::kFull || kind == image_kind::kDelta;
}

bool isTaken(std::uint32_t kind) {
  return kind == data_kind::kFull || kind == data_kind::kSignature || kind == data_kind::kDelta ||
         isImageData(kind) || kind == image_kind::kHashmap;
}

bool isSignature(std::uint32_t kind) {
  return kind == data_kind::kSignature || kind == image_kind::kHashmap;
}

// Where a transfer's decoded bytes go: the draft's content (whole files,
// and images, which are kept as they arrive and decoded only when rebuilt),
// its signature, or for a file's delta the patch that rebuilds the content
// from the newest stored version as the delta arrives. Null drops the data;
// patch is set when the target is one. Throws when a file cannot be created.
std::unique_ptr<kvn_common::StreamSink> targetOf(BackupConversation& c, std::uint32_t kind,
                                                 const BackupStore& store, DeltaPatchSink*& patch) {
  patch = nullptr;
  if (!c.file || !c.draft) return nullptr;
  if (kind == data_kind::kDelta) {
    const std::optional<StoredVersion> newest = store.newest(c.jobId, c.file->path);
    if (!newest) return nullptr;
    c.basis = newest->number;
    auto sink = std::make_unique<DeltaPatchSink>(newest->contentPath, c.draft->contentPath());
    patch = sink.get();
    return sink;
  }
  return store.createFile(isSignature(kind) ? c.draft->signaturePath() : c.draft->contentPath());
}

}  // namespace

bool DataHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  std::uint32_t kind = 0;
  try {
    kvn_network::NetPacket first = packet;
    kind = first.getUInt32();
  } catch (const KvnCommonException&) {
  }
  if (!packet.isFile() || packet.isError() || !isTaken(kind))
    return others_.handle(session, packet);

  BackupConversation& c = conversation(session);
  if (!isSignature(kind)) {
    c.dropVersion();
    c.delta = kind == data_kind::kDelta || kind == image_kind::kDelta;
    c.image = isImageData(kind);
  }
  if (c.file && !c.draft) c.draft = box_->store().newDraft();

  BackupData data;
  data.jobId = c.jobId;
  data.path = c.file ? c.file->path : QString();
  data.kind = kind;
  const bool isData = !isSignature(kind);
  std::unique_ptr<DataDecoder> decoder;
  DeltaPatchSink* patch = nullptr;
  try {
    decoder =
        std::make_unique<DataDecoder>(targetOf(c, kind, box_->store(), patch), isData && !c.image,
                                      box_->jobs().get(c.jobId), session.dataCipher());
  } catch (const KvnCommonException& e) {
    KLOG_E("boxsim: cannot take the data of %s: %s", qPrintable(data.path), e.what());
    c.dropVersion();
    patch = nullptr;
    decoder =
        std::make_unique<DataDecoder>(nullptr, false, JobDataSettings{}, session.dataCipher());
  }
  session.putBack(packet);
  const BoxSession::TransferEnd end =
      session.receiveTransfer(kind, decoder->head(), isData ? c.script.closeAfterDataChunks : -1);
  data.wireBytes = decoder->wireBytes();
  data.bytes = decoder->plainBytes();
  data.complete = end == BoxSession::TransferEnd::Complete;
  session.record().addBackupData(data);
  // One per transfer, two per file: kept out of the default level.
  KLOG_D("boxsim: data kind %u of %s: %llu bytes (%llu on the wire)%s", kind, qPrintable(data.path),
         static_cast<unsigned long long>(data.bytes),
         static_cast<unsigned long long>(data.wireBytes), data.complete ? "" : ", incomplete");
  if (isData)
    c.dataComplete = data.complete && c.draft;
  else
    c.signatureComplete = data.complete && c.draft;
  if (data.complete && c.draft && kind == data_kind::kFull)
    c.draft->noteContent(static_cast<std::int64_t>(data.bytes));
  if (data.complete && patch != nullptr) {
    c.deltaApplied = patch->applied();
    if (c.deltaApplied) c.draft->noteContent(static_cast<std::int64_t>(patch->contentBytes()));
  }
  if (data.complete && c.draft && isSignature(kind))
    c.draft->noteSignature(static_cast<std::int64_t>(data.bytes));
  return end != BoxSession::TransferEnd::Dropped;
}

std::optional<StoredVersion> VersionConfirmHandler::storeVersion(BackupConversation& c,
                                                                 QString& reason) const {
  if (!c.file || !c.draft) {
    reason = "no file data";
    return std::nullopt;
  }
  if (c.delta != delta_) {
    reason = delta_ ? "the data was a full version" : "the data was a delta";
    return std::nullopt;
  }
  if (!c.dataComplete || !c.signatureComplete) {
    reason = !c.dataComplete ? "incomplete data" : "incomplete signature";
    return std::nullopt;
  }
  // Every signature has a header: an empty one would make the agent fail
  // on its next run of this file.
  if (c.draft->signatureSize() <= 0) {
    reason = "empty signature";
    return std::nullopt;
  }
  int basis = 0;
  if (delta_ && !c.image) {
    // The delta was applied as it arrived, against the version that was
    // newest then; the store refuses it if another was stored meanwhile.
    if (c.basis == 0) {
      reason = "no stored version to apply the delta to";
      return std::nullopt;
    }
    if (!c.deltaApplied) {
      reason = "the delta does not apply";
      return std::nullopt;
    }
    basis = c.basis;
  } else if (delta_) {
    const std::optional<StoredVersion> newest = box_->store().newest(c.jobId, c.file->path);
    if (!newest) {
      reason = "no stored version to apply the delta to";
      return std::nullopt;
    }
    if (!checkImage(c.draft->contentPath(), c.draft->signaturePath(), reason)) return std::nullopt;
    basis = newest->number;
  } else if (c.image && !checkImage(c.draft->contentPath(), c.draft->signaturePath(), reason)) {
    return std::nullopt;
  }
  std::optional<StoredVersion> stored =
      box_->store().store(*c.draft, c.jobId, c.file->path, c.file->lastWrite, basis);
  if (!stored) reason = "the store refused it";
  return stored;
}

bool VersionConfirmHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  BackupConversation& c = conversation(session);
  QString reason;
  const std::optional<StoredVersion> stored = storeVersion(c, reason);
  const QString path = c.file ? c.file->path : QString("(no file)");
  c.dropVersion();
  c.file.reset();
  if (!stored) {
    KLOG_W("boxsim: version of %s not stored: %s", qPrintable(path), qPrintable(reason));
    session.record().addNote(QString("not stored %1: %2").arg(path, reason));
    return answerError(session, packet.type(), box_code::kRefused);
  }
  session.record().addNote(QString("stored %1 v%2").arg(stored->path).arg(stored->number));
  return answerOk(session, packet.type());
}

}  // namespace boxsim
