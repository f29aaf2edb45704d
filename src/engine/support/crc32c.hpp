// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78): the checksum of a
// saved index's blocks. x86-64 computes it with the SSE 4.2 instruction
// where the processor has it (8 bytes an instruction), elsewhere with
// tables (8 bytes a step); both give the same values.
//
// These are the bare register updates: no inversion before or after. The
// usual CRC-32C of a text is crc32c(~0u, text) ^ ~0u.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mendseqs {

uint32_t crc32c(uint32_t crc, const std::byte* data, size_t size) noexcept;

// Four independent updates at once, crc[j] over data[j] .. data[j] + size:
// four streams keep the instruction's pipeline full where one would wait
// out its latency.
void crc32c_four(uint32_t (&crc)[4], const std::byte* const (&data)[4], size_t size) noexcept;

// The table-driven versions, whatever the processor: for the tests that
// hold the two to the same values.
uint32_t crc32c_portable(uint32_t crc, const std::byte* data, size_t size) noexcept;
void crc32c_four_portable(uint32_t (&crc)[4], const std::byte* const (&data)[4], size_t size) noexcept;

}  // namespace mendseqs
