#pragma once
// Standard USB descriptors: the 18-byte device descriptor, the configuration descriptor set
// (configuration, interfaces with their alternate settings, endpoints), a parser that checks
// every length against the bytes it was given, and a builder for device models.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace standin::usb {

inline constexpr std::uint8_t kDescriptorDevice = 1;
inline constexpr std::uint8_t kDescriptorConfiguration = 2;
inline constexpr std::uint8_t kDescriptorInterface = 4;
inline constexpr std::uint8_t kDescriptorEndpoint = 5;

inline constexpr std::uint8_t kEndpointDirIn = 0x80;

enum class Speed { Full, High };

enum class PipeType : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct DeviceDescriptor {
    std::uint8_t bLength = 18;
    std::uint8_t bDescriptorType = kDescriptorDevice;
    std::uint16_t bcdUSB = 0x0200;
    std::uint8_t bDeviceClass = 0;
    std::uint8_t bDeviceSubClass = 0;
    std::uint8_t bDeviceProtocol = 0;
    std::uint8_t bMaxPacketSize0 = 64;
    std::uint16_t idVendor = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t bcdDevice = 0;
    std::uint8_t iManufacturer = 0;
    std::uint8_t iProduct = 0;
    std::uint8_t iSerialNumber = 0;
    std::uint8_t bNumConfigurations = 1;

    // The 18 bytes on the wire (little-endian words).
    std::array<std::uint8_t, 18> bytes() const;
    // Nothing when the bytes are not a device descriptor.
    static std::optional<DeviceDescriptor> parse(std::span<const std::uint8_t> bytes);
};

struct ConfigurationDescriptor {
    std::uint8_t bLength = 9;
    std::uint8_t bDescriptorType = kDescriptorConfiguration;
    std::uint16_t wTotalLength = 0;
    std::uint8_t bNumInterfaces = 0;
    std::uint8_t bConfigurationValue = 1;
    std::uint8_t iConfiguration = 0;
    std::uint8_t bmAttributes = 0x80;
    std::uint8_t MaxPower = 250;
};

struct InterfaceDescriptor {
    std::uint8_t bLength = 9;
    std::uint8_t bDescriptorType = kDescriptorInterface;
    std::uint8_t bInterfaceNumber = 0;
    std::uint8_t bAlternateSetting = 0;
    std::uint8_t bNumEndpoints = 0;
    std::uint8_t bInterfaceClass = 0xFF;
    std::uint8_t bInterfaceSubClass = 0;
    std::uint8_t bInterfaceProtocol = 0;
    std::uint8_t iInterface = 0;
};

struct EndpointDescriptor {
    std::uint8_t bLength = 7;
    std::uint8_t bDescriptorType = kDescriptorEndpoint;
    std::uint8_t bEndpointAddress = 0;
    std::uint8_t bmAttributes = 0;
    std::uint16_t wMaxPacketSize = 0;
    std::uint8_t bInterval = 1;

    PipeType type() const { return static_cast<PipeType>(bmAttributes & 3); }
    bool isIn() const { return (bEndpointAddress & kEndpointDirIn) != 0; }
    // Bytes per packet (bits 0-10; the high-bandwidth multiplier bits are not used here).
    std::uint16_t maxPacket() const { return wMaxPacketSize & 0x7FF; }
};

struct AlternateSetting {
    InterfaceDescriptor descriptor;
    std::vector<EndpointDescriptor> endpoints;
};

struct Interface {
    std::uint8_t number = 0;
    std::vector<AlternateSetting> settings;  // in descriptor order (index = setting index)

    const AlternateSetting* setting(std::uint8_t alternateSetting) const;
};

struct Configuration {
    ConfigurationDescriptor descriptor;
    std::vector<Interface> interfaces;  // in order of first appearance

    const Interface* interface(std::uint8_t number) const;
};

// Parses a configuration descriptor set. Nothing when a descriptor overruns the bytes, a
// length is malformed, an endpoint appears outside an interface, an endpoint address repeats
// within one setting, or wTotalLength disagrees with the bytes. Class-specific and unknown
// descriptors are stepped over.
std::optional<Configuration> parseConfiguration(std::span<const std::uint8_t> bytes);

// Builds a configuration descriptor set in order; wTotalLength and bNumInterfaces are filled
// in by bytes().
class ConfigurationBuilder {
  public:
    explicit ConfigurationBuilder(ConfigurationDescriptor config = {}) : config_(config) {}
    ConfigurationBuilder& addInterface(const InterfaceDescriptor& d);  // bNumEndpoints is counted
    ConfigurationBuilder& addEndpoint(const EndpointDescriptor& d);    // to the last interface
    std::vector<std::uint8_t> bytes() const;

  private:
    ConfigurationDescriptor config_;
    std::vector<AlternateSetting> settings_;
};

}  // namespace standin::usb
