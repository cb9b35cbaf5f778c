#pragma once
// A raw client of Vq36Kernel, as an audio program is one: it opens the driver's device
// interface (found through SetupAPI) and uses only Win32 calls and the driver's I/O controls:
// client id, block size (device message 72), buffers with its event, streaming on (device
// message 8), then waits on the event for each block boundary.

#include <cstdint>
#include <string>
#include <vector>

#include "public/vq36_shared.h"
#include "win32/windows.h"

namespace vq36tools {

// The VQ36 device interface class.
GUID vq36InterfaceClass();
// The present device interfaces of the class `guid`, through SetupAPI (none when no machine
// answers).
std::vector<std::string> interfacePaths(const GUID& guid);
// The present device interfaces of the VQ36 class.
std::vector<std::string> vq36InterfacePaths();

class StreamClient {
  public:
    StreamClient() = default;
    ~StreamClient() { close(); }
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    // Opens a device interface path; false when it does not open.
    bool open(const std::string& path);

    // Device message `number` with operation `op` and one 32-bit value as its payload.
    bool message(std::uint32_t number, std::uint32_t op, std::uint32_t value);

    // Client id, block size, buffers with the event, then streaming on. The shared regions
    // (below) are mapped once this succeeds.
    bool start(std::uint32_t blockFrames);

    // Waits for the next block boundary; the block count then, or -1 when none came within
    // `timeoutMs`.
    std::int64_t next(DWORD timeoutMs = 1000);

    std::uint32_t blockFrames() const { return vq36::Load32(&info->blockFrames); }
    std::uint32_t ringBlocks() const { return vq36::Load32(&info->ringBlocks); }

    // Closes the event and the handle: the driver forgets the client and unmaps its views.
    void close();

    // The shared record, the capture planes and the playback ring (null before start).
    vq36::AsioInfo* info = nullptr;
    unsigned char* capture = nullptr;
    unsigned char* ring = nullptr;

  private:
    bool control(DWORD code, void* in, DWORD inLength, void* out, DWORD outLength);

    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    vq36::InitBuffersResult buffers_{};
};

}  // namespace vq36tools
