// Partition tables read from a disk: arbitrary bytes taken as the first
// sectors of a disk, parsed as MBR with its chain of extended boot records
// or as GPT. A crash, a read outside the disk or a chain that never ends is
// a finding.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kvn_snapshot/partition_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto reader = [data, size](std::uint64_t offset, void* out, std::size_t length) {
    if (offset > size || length > size - offset) return false;
    if (length == 0) return true;
    std::memcpy(out, data + offset, length);
    return true;
  };
  kvn_snapshot::PartitionTable table;
  QString why;
  // The disk is as large as the input, so every offset the table names can
  // be checked against it.
  kvn_snapshot::parsePartitionTable(reader, size, 512, &table, &why);
  return 0;
}
