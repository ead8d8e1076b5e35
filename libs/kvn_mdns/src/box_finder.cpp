#include "kvn_mdns/box_finder.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "kvn_log/log.h"
#include "kvn_network/mdns_protocol.h"
#include "multicast_socket.h"

namespace kvn_mdns {

namespace {

constexpr std::chrono::milliseconds kWaitStep{50};

// Shared by every finder in the process.
std::atomic<bool> searching{false};
std::atomic<std::uint16_t> lastQuestionId{0};
std::mutex foundMutex;
std::vector<FoundBox> found;

}  // namespace

bool BoxFinder::findBoxes() {
  bool expected = false;
  if (!searching.compare_exchange_strong(expected, true)) {
    while (searching.load()) std::this_thread::sleep_for(kWaitStep);
    return true;
  }
  const bool result = search();
  searching.store(false);
  return result;
}

std::vector<FoundBox> BoxFinder::foundBoxes() const {
  std::lock_guard<std::mutex> lock(foundMutex);
  return found;
}

bool BoxFinder::search() {
  MulticastSocket socket;
  std::string error;
  if (!socket.open(error)) {
    KLOG_E("Failed to open mDNS socket: %s", error.c_str());
    return false;
  }

  const std::uint16_t id = ++lastQuestionId;
  const Bytes question =
      encodeQuestion(id, kvn_network::kMdnsBoxService, kvn_network::kDnsTypePtr,
                     kvn_network::kDnsClassIn | kvn_network::kDnsUnicastResponseBit);
  KLOG_D("Sending mDNS query");
  if (!socket.sendToGroup(question, error)) {
    KLOG_E("Failed to send mDNS query: %s", error.c_str());
    return false;
  }

  {
    std::lock_guard<std::mutex> lock(foundMutex);
    found.clear();
  }
  KLOG_D("Reading mDNS replies");
  int replies = 0;
  for (int round = 0; round < options_.rounds; ++round) {
    error.clear();
    if (const std::optional<Bytes> datagram = socket.receive(error)) {
      if (const std::optional<FoundBox> box = readBoxReply(*datagram, id)) {
        std::lock_guard<std::mutex> lock(foundMutex);
        mergeFoundBox(found, *box);
        ++replies;
      }
    } else if (!error.empty()) {
      KLOG_D("Failed to read mDNS reply: %s", error.c_str());
    }
    std::this_thread::sleep_for(options_.pause);
  }
  KLOG_D("Received %d mDNS replies", replies);
  return true;
}

int runBoxDiscovery(std::FILE* out, const BoxFinderOptions& options) {
  std::fputs("Running box discovery...\n", out);
  std::fflush(out);
  BoxFinder finder(options);
  finder.findBoxes();
  for (const FoundBox& box : finder.foundBoxes())
    std::fprintf(out, "License %s (%s) is at address %s\n", box.license.c_str(),
                 box.hostname.c_str(), box.addresses.c_str());
  std::fputs("Done\n", out);
  std::fflush(out);
  return 0;
}

}  // namespace kvn_mdns
