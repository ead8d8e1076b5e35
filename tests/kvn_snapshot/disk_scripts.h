// The two test disks of 32 MiB: MBR with a primary partition, an extended
// one and two logical ones; GPT with an EFI system partition and a Linux
// one, its usable area starting at 17,408 bytes.
#pragma once

#include <QString>
#include <cstdint>

namespace kvn_test {

inline constexpr std::uint64_t kTestDiskSize = 32ull << 20;

inline const QString kMbrScript = QStringLiteral(
    "label: dos\nlabel-id: 0x12345678\n"
    "start=2048, size=8192, type=83, bootable\n"
    "start=10240, size=40960, type=5\n"
    "start=12288, size=8192, type=83\n"
    "start=22528, size=8192, type=83\n");
// Where sfdisk puts the two extended boot records.
inline constexpr std::uint64_t kFirstEbr = 10240ull * 512;
inline constexpr std::uint64_t kSecondEbr = 20480ull * 512;

inline const QString kGptDiskGuid = QStringLiteral("01234567-89ab-cdef-0123-456789abcdef");
inline const QString kGptScript = QStringLiteral(
    "label: gpt\nlabel-id: 01234567-89AB-CDEF-0123-456789ABCDEF\nfirst-lba: 34\n"
    "start=2048, size=8192, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"
    "start=10240, size=40960, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n");

}  // namespace kvn_test
