// The file-transfer conversations of the simulated box.
#pragma once

#include <QByteArray>
#include <cstdint>

#include "boxsim/handler.h"
#include "kvn_network/backup_protocol.h"
#include "kvn_network/file_transfer.h"

namespace boxsim {

// File-data packets of backups (file id 10..22 names the kind of data).
inline constexpr std::uint32_t kFileDataType = kvn_network::backup_type::kData;

// Takes a whole incoming transfer whose first packet has this handler's
// type, granting credit as it comes, and records it.
class FileReceiveHandler : public Handler {
 public:
  // Without keepData only sizes are recorded (benchmarks of large files).
  explicit FileReceiveHandler(bool keepData = true) : keepData_(keepData) {}
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  bool keepData_;
};

// Answers a request (payload: u32 file id) with a transfer of content, in
// packets of the request's type.
class FileSendHandler : public Handler {
 public:
  explicit FileSendHandler(QByteArray content,
                           std::uint32_t chunkSize = kvn_network::kFileBlockSize,
                           bool compress = false, bool encrypt = false)
      : content_(std::move(content)),
        chunkSize_(chunkSize),
        compress_(compress),
        encrypt_(encrypt) {}
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  QByteArray content_;
  std::uint32_t chunkSize_;
  bool compress_;
  bool encrypt_;
};

// Registers the file conversations every simulated box has.
void addFileHandlers(Registry& registry, bool keepData = true);

}  // namespace boxsim
