#pragma once
// Output delivery: one block of a client's output into the playback ring that the kernel
// driver streams to the device. One streaming client copies its block straight into the ring;
// several client processes add their samples into the shared accumulator with atomic float
// additions, and the client whose delivery completes the block clips the sum to [-1, 1] and
// copies it into the ring. Both keep the ring's overhang area filled: a playback transfer that
// runs past the end of the ring reads the leading frames of ring block 0 from there.
//
// This runs on the real-time path of every block: no allocation, no lock, no system call.

#include <cstdint>

#include "public/vq36_shared.h"

struct OutputBlock {
    vq36::AsioInfo* info = nullptr;  // the shared record
    float* ring = nullptr;           // the playback ring, followed by its overhang area
    float* accumulator = nullptr;    // the mixing accumulator (same block layout)
    const float* halves = nullptr;   // the client's output halves: channel c, half h at (2c+h)*s
    std::uint32_t activeMask = 0;    // bit c: output channel c has host buffers
    std::uint64_t blockCounter = 0;  // the block of the latest buffer switch
    std::int32_t blockSize = 0;      // s, in frames
    std::uint32_t lane = 0;          // the client's slot: joined clients start adding apart
};

// Delivers one block (the caller makes sure it runs once per block and client). A ring whose
// geometry cannot hold a block of this size (no ring yet, or a ring laid out for another block
// size while the kernel changes it) is left untouched.
void deliverOutputBlock(const OutputBlock& block);

// The ring block that the current block goes to: (blockCounter + 3) mod ringBlocks.
inline std::uint32_t targetRingBlock(std::uint64_t blockCounter, std::uint32_t ringBlocks) {
    return static_cast<std::uint32_t>((blockCounter + 3) % ringBlocks);
}
