// File transfer over a packet connection: a sequence of file packets with
// credit-based flow control (the receiver grants 256 KiB at a time). Both
// ends of the protocol use these classes: the agent on its NetClient, the
// box simulator on its session.
#pragma once

#include <QFile>
#include <QString>
#include <atomic>
#include <cstdint>
#include <string>

#include "kvn_common/stream.h"
#include "kvn_network/packet_channel.h"

namespace kvn_network {

inline constexpr std::uint32_t kTransferControlType = 0xC0001000;
inline constexpr std::int64_t kCreditWindow = 0x40000;
inline constexpr std::int64_t kFileBlockSize = 0x100000;

// The sender side of the credit window: the credit left and the wait for
// the receiver's next grant.
class CreditWindow {
 public:
  // errorText is thrown (KVN_E_NETWORK) when the grant is an error packet.
  explicit CreditWindow(const char* errorText) : errorText_(errorText) {}
  // Waits for a grant when the window is used up.
  void waitIfNeeded(PacketChannel& channel);
  void consume(std::int64_t bytes);
  std::uint32_t grantsReceived() const { return grants_; }
  // The receiver has refused the transfer; no grant will come.
  bool refused() const { return refused_; }

 private:
  const char* errorText_;
  std::int64_t credit_ = kCreditWindow;
  bool waiting_ = false;
  bool refused_ = false;
  std::uint32_t grants_ = 0;
};

// Builds the file header shared by data, end and abort packets.
NetPacket filePacket(std::uint32_t type, std::uint32_t fileId, const char* name,
                     std::uint32_t chunk, std::uint64_t offset, std::uint64_t total);
// An acknowledgement granting a new window, or (refusal) a zero grant with
// the error bit.
bool sendTransferControl(PacketChannel& channel, std::uint32_t fileId, bool refusal);
// Refuses a running transfer: the refusal, then every file packet up to the
// one with the end bit is taken and dropped. 0 or KVN_E_NETWORK.
std::uint32_t refuseTransfer(PacketChannel& channel, std::uint32_t fileId);

class FileSender {
 public:
  FileSender(PacketChannel& channel, std::string name, std::uint32_t type, std::uint32_t fileId,
             std::uint64_t totalSize, bool encrypt, bool compress);

  void sendChunk(std::uint64_t offset, const void* data, std::uint32_t size, bool last);
  void finish();
  void abort();

  bool isOpen() const { return open_; }
  std::uint64_t bytesSent() const { return sent_; }
  std::uint32_t grantsReceived() const { return credit_.grantsReceived(); }

 private:
  void send(NetPacket& packet, bool compress, bool encrypt, const char* failure);
  void waitForCredit();

  PacketChannel& channel_;
  bool open_ = true;
  std::string name_;
  std::uint32_t type_;
  std::uint32_t fileId_;
  std::uint64_t totalSize_;
  bool encrypt_;
  bool compress_;
  std::uint32_t chunks_ = 0;
  std::uint64_t sent_ = 0;
  CreditWindow credit_;
};

// The end of a stream chain that sends everything to the peer.
class NetClientSendFileSink : public kvn_common::StreamSink {
 public:
  NetClientSendFileSink(PacketChannel& channel, std::uint32_t type, std::uint32_t fileId,
                        bool encrypt, bool compress);

  void write(const char* data, std::uint32_t size) override;
  void end() override;
  void abort();

 private:
  void send(NetPacket& packet, bool compress, bool encrypt);
  void waitForCredit();

  PacketChannel& channel_;
  std::uint32_t type_;
  std::uint32_t fileId_;
  std::uint32_t chunks_ = 0;
  std::uint64_t sent_ = 0;
  CreditWindow credit_;
  bool encrypt_;
  bool compress_;
};

// Pushes one incoming transfer into a stream chain, checking that the file
// id stays the same and the chunks follow each other without a gap.
class NetClientReceiveFileSource {
 public:
  NetClientReceiveFileSource(kvn_common::StreamSink& link, PacketChannel& channel,
                             std::uint32_t fileId);
  void receive();

 private:
  kvn_common::StreamSink& link_;
  PacketChannel& channel_;
  std::uint32_t fileId_;
};

// Writes one incoming transfer into an open file.
class FileReceiver {
 public:
  FileReceiver(PacketChannel& channel, const std::atomic<bool>& stopFlag)
      : channel_(channel), stop_(stopFlag) {}
  // 0 or the code of the failure; file errors are thrown. A transfer whose
  // end arrives before all the announced bytes fails with KVN_E_NETWORK.
  std::uint32_t receiveData(QFile& file);
  // Takes one transfer off the connection without keeping its data,
  // granting credit as a receiver does: 0 or the code of the failure.
  std::uint32_t discardData();

 private:
  PacketChannel& channel_;
  const std::atomic<bool>& stop_;
};

// One whole-file send or receive at a time on a connection.
class NetFileController {
 public:
  explicit NetFileController(PacketChannel& channel) : channel_(channel) {}

  void sendFile(const QString& path, std::uint32_t type, std::uint32_t fileId, bool encrypt,
                bool compress);
  // The same transfer, packet for packet, of bytes already in memory.
  void sendBytes(const char* data, std::size_t size, std::uint32_t type, std::uint32_t fileId,
                 bool encrypt, bool compress);
  void receiveFile(const QString& path);
  // The same into a file the caller opened for writing.
  void receiveFile(QFile& file);
  // Takes an incoming transfer without keeping it; failures are thrown.
  void discardFile();

  // Ends a running transfer with the stop code; may be called from any thread.
  void stop() { stop_ = true; }
  void resetStop() { stop_ = false; }
  bool stopRequested() const { return stop_; }
  bool busy() const { return busy_; }

 private:
  // Holds the busy flag for one transfer.
  class BusyGuard;
  void sendOpenFile(QFile& file, std::uint32_t type, std::uint32_t fileId, bool encrypt,
                    bool compress);
  // Sends the chunk unless a stop was asked, which aborts the transfer.
  void sendChunk(FileSender& sender, std::uint64_t offset, const char* data, std::uint32_t size);

  PacketChannel& channel_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> stop_{false};
};

}  // namespace kvn_network
