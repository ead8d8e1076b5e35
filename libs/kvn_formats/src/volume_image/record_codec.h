// Byte images of the header and the descriptor.
#pragma once

#include <cstdint>

#include "kvn_formats/volume_image/hashmap_records.h"

namespace kvn_formats::volume_image::codec {

// The header's fields end at byte 132; the rest of the 512 bytes is zero.
inline constexpr std::uint32_t kHeaderFieldsSize = 132;

void encodeHeader(const HashmapHeader& header, std::uint8_t (&out)[kHeaderSize]);
// From the bytes after the magic (kHeaderFieldsSize - 4 of them).
HashmapHeader decodeHeaderFields(const std::uint8_t* in);

void encodeDescriptor(const HashmapBlockDesc& desc, std::uint8_t (&out)[kDescriptorSize]);
HashmapBlockDesc decodeDescriptor(const std::uint8_t (&in)[kDescriptorSize]);

}  // namespace kvn_formats::volume_image::codec
