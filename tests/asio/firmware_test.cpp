// Firmware images and the update: the CRC against zlib, every check of an image with its log
// line, a fuzz run on guard pages, the built-in image, and updates of the device model through
// an embedded machine (real clock; the fixed waits are shortened to a tenth by the library's
// test setting VQ36_TEST_FIRMWARE_WAIT_DIVISOR).

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

#include "firmware_image.h"
#include "firmware_update.h"
#include "link_fixture.h"
#include "standin/vq36/firmware.h"

namespace {

using asiotest::eventually;
using asiotest::LinkTest;
using Bytes = std::vector<std::uint8_t>;
namespace model = standin::vq36;

// Read by the library at its first fixed wait: before any test runs.
[[maybe_unused]] const int kShortWaits = setenv("VQ36_TEST_FIRMWARE_WAIT_DIVISOR", "10", 1);

// ---- Images made here, with zlib's CRC as the reference -------------------------------------

std::uint32_t zcrc(const std::uint8_t* p, std::size_t n) {
    return static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}
std::uint32_t reverse32(std::uint32_t v) {
    std::uint32_t out = 0;
    for (int k = 0; k < 32; ++k, v >>= 1) out = (out << 1) | (v & 1);
    return out;
}
// The raw register: the bit-reversal of (CRC-32 XOR 0xFFFFFFFF).
std::uint32_t zraw(const std::uint8_t* p, std::size_t n) {
    return reverse32(zcrc(p, n) ^ 0xFFFFFFFFu);
}
void putLe32(std::uint8_t* p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}
void putBe32(std::uint8_t* p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
}
std::uint32_t getBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

// Rewrites the payload size and CRC of the header after a change.
void reseal(Bytes& image) {
    putBe32(&image[56], static_cast<std::uint32_t>(image.size() - 64));
    putBe32(&image[60], zcrc(image.data() + 64, image.size() - 64));
}
std::uint32_t getLe32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}
// The same after a change of the table: its own CRC (entry 0's) first, when its length fits.
void resealTable(Bytes& image) {
    const std::uint32_t length = getLe32(&image[64 + 4]);
    if (length >= 12 && length <= image.size() - 64)
        putLe32(&image[64 + 8], zraw(&image[64 + 12], length - 12));
    reseal(image);
}

struct Section {
    std::uint32_t offset;
    Bytes bytes;
};

// An image with the sections as given (no padding), `nullEntries` null entries after them.
Bytes makeImage(const std::vector<Section>& sections, std::size_t nullEntries = 0) {
    const std::size_t tableLength = (sections.size() + 1 + nullEntries) * 12;
    Bytes table(tableLength, 0);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        putLe32(&table[12 * (i + 1)], sections[i].offset);
        putLe32(&table[12 * (i + 1) + 4], static_cast<std::uint32_t>(sections[i].bytes.size()));
        putLe32(&table[12 * (i + 1) + 8], zraw(sections[i].bytes.data(), sections[i].bytes.size()));
    }
    putLe32(&table[0], 0x4000);
    putLe32(&table[4], static_cast<std::uint32_t>(tableLength));
    putLe32(&table[8], zraw(table.data() + 12, tableLength - 12));
    std::size_t size = 64 + tableLength;
    for (const auto& s : sections) size += s.bytes.size();
    Bytes image(size, 0);
    std::memcpy(image.data(), "Copyright 2026 Vexa Corporation", 32);
    const std::uint8_t ids[] = {0x02, 0x13, 0xB7, 0x00, 0x2E, 0x01, 0x00, 1, 5};
    std::memcpy(&image[32], ids, sizeof ids);
    std::copy(table.begin(), table.end(), image.begin() + 64);
    auto at = image.begin() + 64 + static_cast<std::ptrdiff_t>(tableLength);
    for (const auto& s : sections) at = std::copy(s.bytes.begin(), s.bytes.end(), at);
    reseal(image);
    return image;
}

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;

class FirmwareImageTest : public LinkTest {
  protected:
    // Verifies; on failure the outputs must be untouched and the log must hold `message`.
    void expectFails(const Bytes& image, const std::string& message) {
        std::uint32_t offset = kUntouched, length = kUntouched;
        EXPECT_EQ(uVerifyFirmwareImage(image.data(), static_cast<std::uint32_t>(image.size()),
                                       &offset, &length),
                  0)
            << message;
        EXPECT_EQ(offset, kUntouched);
        EXPECT_EQ(length, kUntouched);
        EXPECT_TRUE(logHas("VQ36: Firmware load failed -- " + message + "\n")) << log();
    }
    void expectPasses(const Bytes& image) {
        std::uint32_t offset = kUntouched, length = kUntouched;
        EXPECT_EQ(uVerifyFirmwareImage(image.data(), static_cast<std::uint32_t>(image.size()),
                                       &offset, &length),
                  1)
            << log();
        EXPECT_EQ(offset, 64u);
        EXPECT_EQ(length, image.size() - 64);
    }
};

TEST(FirmwareCrc, GivesTheStandardCrcAndTheRawRegisterAsZlibDoes) {
    const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
    EXPECT_EQ(uFirmwareCrc32(digits, 9, 1), 0xCBF43926u);
    EXPECT_EQ(uFirmwareCrc32(digits, 9, 0), 0x9B63D02Cu);
    EXPECT_EQ(uFirmwareCrc32(digits, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(uFirmwareCrc32(nullptr, 0, 1), 0u);

    std::mt19937 random(7);
    for (std::size_t length : {1u, 31u, 32u, 1000u, 65537u}) {
        Bytes b(length);
        for (auto& v : b) v = static_cast<std::uint8_t>(random());
        const auto n = static_cast<std::uint32_t>(length);
        EXPECT_EQ(uFirmwareCrc32(b.data(), n, 1), zcrc(b.data(), length)) << length;
        EXPECT_EQ(uFirmwareCrc32(b.data(), n, 0), zraw(b.data(), length)) << length;
    }
}

TEST_F(FirmwareImageTest, EachCheckFailsWithItsOwnLine) {
    const Bytes good = makeImage({{0x10000, pattern(64, 1)}, {0x20000, pattern(40, 2)}});
    expectPasses(good);
    EXPECT_TRUE(logHas("VQ36: Firmware to be loaded major.minor version: 1.5\n"));

    std::uint32_t out = 0;
    EXPECT_EQ(uVerifyFirmwareImage(good.data(), 200, nullptr, &out), 0);
    EXPECT_EQ(uVerifyFirmwareImage(nullptr, 200, &out, &out), 0);
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(logCount("programmer error, pointer(s) not properly provided\n"), 2u);

    expectFails(Bytes(good.begin(), good.begin() + 75),
                "obvious error, firmare image smaller than or eq to header size plus table "
                "section size");
    Bytes b = good;
    b[0] = 'c';
    expectFails(b, "mismatch on copyright string");
    b = good;
    b[31] = ' ';  // where the NUL belongs
    expectFails(b, "mismatch on copyright string");
    b = good;
    b[12] = 'x';  // the year's digits match anything
    b[13] = 0;
    expectPasses(b);
    for (int at : {32, 33, 36, 38}) {
        b = good;
        b[at] ^= 1;
        expectFails(b, "mismatch on file type or USB VID/PID/DID");
    }
    b = good;
    b.push_back(0);  // one byte more than declared
    expectFails(b, "data payload declared size of " + std::to_string(good.size() - 64) +
                       " mismatches to discovered size of " + std::to_string(good.size() - 63));
    b = good;
    b[100] ^= 0x40;
    expectFails(b, "mismatch on checksum");
    b = good;
    const std::uint32_t crc = getBe32(&b[60]);
    putLe32(&b[60], crc);  // little-endian instead of big-endian
    expectFails(b, "mismatch on checksum");

    b = good;
    putLe32(&b[64 + 4], static_cast<std::uint32_t>(good.size() - 63));  // table past the end
    reseal(b);
    expectFails(b, "not enough space for table");
    b = good;
    putLe32(&b[64 + 4], 0xFFFFFFF4u);  // a length that would wrap the sum
    reseal(b);
    expectFails(b, "not enough space for table");

    b = good;
    putLe32(&b[64 + 24 + 4], 41);  // the last section ends one byte past the image
    resealTable(b);
    expectFails(b, "length exceeds available");
    b = good;
    putLe32(&b[64 + 12 + 4], 0xFFFFFFF0u);  // section end past 4 GiB
    resealTable(b);
    expectFails(b, "length exceeds available");

    b = good;
    b[64 + 36 + 64 + 3] ^= 1;  // a byte of section 2
    reseal(b);
    char line[120];
    std::snprintf(line, sizeof line,
                  "sub-section checksum mismatch on section index: 2, static CRC %08x, calc CRC "
                  "%08x",
                  zraw(&good[64 + 36 + 64], 40), zraw(&b[64 + 36 + 64], 40));
    expectFails(b, line);
}

TEST_F(FirmwareImageTest, EdgeImagesPass) {
    // The smallest image: a 12-byte table whose CRC covers nothing.
    Bytes minimal = makeImage({});
    ASSERT_EQ(minimal.size(), 76u);
    EXPECT_EQ(minimal[64 + 8], 0xFF);
    expectPasses(minimal);

    // A null entry ends the walk: the CRCs after it are never looked at.
    Bytes b = makeImage({{0x10000, pattern(32, 1)}, {0x20000, pattern(32, 2)}});
    std::memset(&b[64 + 12], 0, 4);
    putLe32(&b[64 + 24 + 8], 0x12345678);
    putLe32(&b[64 + 8], zraw(&b[64 + 12], 24));
    reseal(b);
    expectPasses(b);
    // Entry 0 with flash offset 0: no section CRC at all, not even the table's.
    std::memset(&b[64], 0, 4);
    putLe32(&b[64 + 8], 0);
    reseal(b);
    expectPasses(b);

    // Payload bytes behind the last section are allowed.
    b = makeImage({{0x10000, pattern(32, 1)}});
    b.insert(b.end(), 5, 0xEE);
    reseal(b);
    expectPasses(b);
}

TEST_F(FirmwareImageTest, SectionLengthsMustBeWholeChunks) {
    const Bytes good = makeImage({{0x10000, pattern(64, 1)}, {0x20000, pattern(32, 2)}}, 5);
    ASSERT_EQ((good.size() - 64 - 64 - 32) % 32, 0u);  // the table is 96 bytes
    EXPECT_EQ(uCheckFirmwareSectionLengths(good.data(), static_cast<std::uint32_t>(good.size())),
              1);
    const Bytes ragged = makeImage({{0x10000, pattern(64, 1)}, {0x20000, pattern(100, 2)}}, 5);
    EXPECT_EQ(
        uCheckFirmwareSectionLengths(ragged.data(), static_cast<std::uint32_t>(ragged.size())), 0);
    EXPECT_TRUE(logHas(
        "VQ36: Firmware load failed -- section length not a multiple of 32 at section index: 2\n"));
}

// An image placed so that its last byte is the last readable byte before a page that cannot be
// read: a read past the end ends the program.
class GuardedImage {
  public:
    GuardedImage() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        base_ = static_cast<std::uint8_t*>(
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~GuardedImage() { munmap(base_, 2 * page_); }
    const std::uint8_t* place(const Bytes& image) {
        std::uint8_t* at = base_ + page_ - image.size();
        std::memcpy(at, image.data(), image.size());
        return at;
    }

  private:
    std::size_t page_ = 0;
    std::uint8_t* base_ = nullptr;
};

TEST_F(FirmwareImageTest, AMillionRandomAndMutatedImagesNeverReadOutside) {
    gLogLevel.store(0);  // a million failure lines would only cost time
    const Bytes base = makeImage({{0x10000, pattern(8, 1)}, {0x20000, pattern(12, 2)}}, 1);
    GuardedImage guard;
    std::mt19937 engine(36);
    auto random = [&] { return static_cast<std::uint32_t>(engine()); };
    std::size_t passed = 0;
    for (int n = 0; n < 1000000; ++n) {
        Bytes image;
        const unsigned kind = random() % 4;
        if (kind == 0) {
            image.resize(random() % 140);
            for (auto& v : image) v = static_cast<std::uint8_t>(random());
        } else {
            image = base;
            for (unsigned k = random() % 5; k > 0; --k) {
                const std::size_t at = 64 + random() % (image.size() - 64);
                if (random() % 2) {
                    image[at] = static_cast<std::uint8_t>(random());
                } else {  // a table field: a small, a large or a wrapping length
                    const std::uint32_t values[] = {random() % 64, random(),
                                                    0xFFFFFFFFu - random() % 64};
                    const std::size_t field = 64 + (random() % 4) * 12 + 4 + (random() % 2) * 4;
                    putLe32(&image[field], values[random() % 3]);
                }
            }
            if (kind == 2) image.resize(std::max<std::size_t>(60, image.size() - random() % 24));
            if (kind == 3 || random() % 2) image.resize(image.size() + random() % 8, 0xFF);
        }
        if (image.size() >= 76 && random() % 2) {
            resealTable(image);
        } else if (image.size() >= 64 && random() % 2) {
            reseal(image);
        }
        std::uint32_t offset = 0, length = 0;
        passed += uVerifyFirmwareImage(guard.place(image), static_cast<std::uint32_t>(image.size()),
                                       &offset, &length);
    }
    gLogLevel.store(2);
    EXPECT_GT(passed, 1000u);  // the mutations reach the section walk and beyond
    EXPECT_LT(passed, 900000u);
}

TEST_F(FirmwareImageTest, TheBuiltInImageIsSoundVersion14AndStoredScrambled) {
    Bytes plain(gEmbeddedFirmwareImage, gEmbeddedFirmwareImage + kEmbeddedFirmwareSize);
    const std::string prefix = "Copyright";
    EXPECT_NE(std::memcmp(plain.data(), prefix.data(), prefix.size()), 0) << "stored in plain";
    uDescrambleFirmwareImage(plain.data(), kEmbeddedFirmwareSize);
    expectPasses(plain);
    EXPECT_EQ(plain[39], 1);
    EXPECT_EQ(plain[40], 4);
    EXPECT_EQ(uCheckFirmwareSectionLengths(plain.data(), kEmbeddedFirmwareSize), 1);

    // The device model starts it: its sections written to a blank flash hold firmware 1.4.0.
    auto sections = model::imageSections(plain);
    ASSERT_TRUE(sections.has_value());
    Bytes flash(model::kFlashSize, 0xFF);
    for (const auto& s : *sections)
        std::copy(s.bytes.begin(), s.bytes.end(), &flash[s.flashOffset]);
    auto version = model::findFirmwareVersion(flash);
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ(*version, (model::FirmwareVersion{1, 4, 0}));

    VersionRecord v{};
    EXPECT_EQ(VQ36_get_firmware_embedded_version(nullptr, &v), 0);
    EXPECT_EQ(v.major, 1u);
    EXPECT_EQ(v.minor, 4u);
}

// ---- Updates against the device model --------------------------------------------------------

struct Progress {
    std::mutex mu;
    std::vector<int> percents;
    bool flagAlwaysSet = true;
} gProgress;

void CALLBACK recordProgress(BYTE* percent) {
    std::lock_guard lock(gProgress.mu);
    gProgress.percents.push_back(*percent);
    if (gFirmwareUpdateInProgress.load() != 1) gProgress.flagAlwaysSet = false;
}

std::uint32_t flashOffsetOf(const model::ReceivedCommand& c) {
    return (std::uint32_t{c.data(0)} << 24) | (c.data(1) << 16) | (c.data(2) << 8) | c.data(3);
}

class FirmwareUpdateTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        std::lock_guard lock(gProgress.mu);
        gProgress.percents.clear();
        gProgress.flagAlwaysSet = true;
    }
    void TearDown() override {
        if (handle != nullptr) VQ36_close(handle);
        if (probe != nullptr) uCloseVexaAudioDevice(probe);
        LinkTest::TearDown();
    }
    void start(model::DeviceConfig config = {}) {
        standin::host::PlugOptions plug;
        plug.config = config;
        startMachine(1, plug);
        handle = VQ36_open();
        probe = uCreateVexaAudioDeviceInterfaceWrapper(0);
        ASSERT_NE(handle, nullptr);
    }
    vq36::AsioInfo* record() { return uGetAsioInfo(probe); }
    bool runs(model::FirmwareVersion v) {
        return eventually([&] {
            return !device()->inBootLoader() && device()->runningVersion() == v &&
                   machine->waitForInterfaces(1, 0);
        });
    }
    std::vector<int> percents() {
        std::lock_guard lock(gProgress.mu);
        return gProgress.percents;
    }
    // Progress rises, stays below 100 during the walk and ends with one 100.
    void expectProgressEndsWithOne100() {
        const auto p = percents();
        ASSERT_FALSE(p.empty());
        EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
        EXPECT_EQ(p.back(), 100);
        EXPECT_EQ(std::count(p.begin(), p.end(), 100), 1);
        std::lock_guard lock(gProgress.mu);
        EXPECT_TRUE(gProgress.flagAlwaysSet);
    }
    // The flash offsets the device was asked to write, in order.
    std::vector<std::uint32_t> flashWrites() {
        std::vector<std::uint32_t> out;
        for (const auto& c : asiotest::commandsOf(*device(), model::kCmdFlashWrite))
            out.push_back(flashOffsetOf(c));
        return out;
    }
    std::size_t commandCount(std::uint8_t command) {
        return asiotest::commandsOf(*device(), command).size();
    }
    std::size_t updateMessages() {
        std::size_t n = 0;
        // The status monitor's own wrapper asks for the boot flag too: only the handle counts.
        const HANDLE mine = handle->deviceHandle.load();
        for (const auto& c : asiotest::ioCalls())
            if (c.handle == mine && c.code == vq36::kIoCtlSendMessage && c.message >= 35 &&
                c.message <= 37)
                ++n;
        return n;
    }

    AudioDeviceInterfaceWrapper* handle = nullptr;
    AudioDeviceInterfaceWrapper* probe = nullptr;
};

TEST_F(FirmwareUpdateTest, TheBuiltInImageTakesTheDeviceFrom12To14ThenAnEqualTableWritesOnlyIt) {
    start();
    const Bytes before(gEmbeddedFirmwareImage, gEmbeddedFirmwareImage + kEmbeddedFirmwareSize);
    ASSERT_EQ(VQ36_set_update_firmware_from_embedded(handle, recordProgress), 0) << log();
    EXPECT_TRUE(std::equal(before.begin(), before.end(), gEmbeddedFirmwareImage));
    EXPECT_EQ(gFirmwareUpdateInProgress.load(), 0);
    ASSERT_TRUE(runs({1, 4, 0}));
    VersionRecord v{};
    ASSERT_EQ(VQ36_get_firmware_version(handle, &v), 0);
    EXPECT_EQ(v.major, 1u);
    EXPECT_EQ(v.minor, 4u);
    EXPECT_EQ(vq36::Load32(&record()->lastFwUp), 0u);
    expectProgressEndsWithOne100();
    EXPECT_EQ(commandCount(model::kCmdEnterBootLoader), 1u);
    EXPECT_EQ(commandCount(model::kCmdUpdateDone), 1u);
    EXPECT_EQ(flashWrites().size(), (kEmbeddedFirmwareSize - 64) / 32);  // every section
    for (const char* line :
         {"Starting firmware update; time of most recent firmware update = 0",
          "Firmware update: successfully switched to boot device",
          "Firmware update: device table length = 96",
          "Firmware update: index 2 needs update == 1 because CRC of ",
          "Firmware update: encountered null, so breaking out",
          "Firmware update, successfully marked as finished",
          // the device left for its boot loader and came back: the handle was opened again
          "Device handle became invalid; trying to re-open.",
          // the status monitor idled while the update ran
          "(blocked by fw u-d)"})
        EXPECT_TRUE(logHas(line)) << line;

    // Again, on a device that holds the same sections: only the table goes out.
    logStart = asiotest::logText().size();
    device()->clearCommands();
    {
        std::lock_guard lock(gProgress.mu);
        gProgress.percents.clear();
    }
    ASSERT_EQ(VQ36_set_update_firmware_from_embedded(handle, recordProgress), 0) << log();
    EXPECT_EQ(flashWrites(), (std::vector<std::uint32_t>{0x4000, 0x4020, 0x4040}));
    EXPECT_TRUE(logHas("Firmware update: index 3 needs update == 0 because CRC of "));
    expectProgressEndsWithOne100();
    // Three chunks of the table, one jump per skipped section, and the 100.
    EXPECT_EQ(percents().size(), 9u);
    ASSERT_TRUE(runs({1, 4, 0}));
}

TEST_F(FirmwareUpdateTest, AFailedWriteStillFinishesAndABootLoaderDeviceGetsEverySection) {
    start();
    device()->setUnanswered(model::kCmdFlashWrite, true);
    EXPECT_EQ(VQ36_set_update_firmware_from_embedded(handle, recordProgress), 1);
    EXPECT_TRUE(logHas("VQ36: Firmware update failed; failed to write to flash\n"));
    EXPECT_TRUE(logHas("Firmware update: failed to write flash at section idx 2"));
    EXPECT_TRUE(logHas("VQ36: Firmware update, successfully marked as finished\n"));
    EXPECT_EQ(commandCount(model::kCmdUpdateDone), 1u);
    const auto failed = percents();
    EXPECT_EQ(std::count(failed.begin(), failed.end(), 100), 0);
    EXPECT_EQ(gFirmwareUpdateInProgress.load(), 0);
    // The flash holds a broken firmware: the device stays in its boot loader.
    ASSERT_TRUE(eventually([&] { return device()->inBootLoader(); }));
    ASSERT_TRUE(machine->waitForInterfaces(1, 10000));

    device()->setUnanswered(model::kCmdFlashWrite, false);
    device()->clearCommands();
    logStart = asiotest::logText().size();
    {
        std::lock_guard lock(gProgress.mu);
        gProgress.percents.clear();
    }
    ASSERT_EQ(VQ36_set_update_firmware_from_embedded(handle, recordProgress), 0) << log();
    EXPECT_TRUE(logHas("Firmware update: already boot device; so proceeding..."));
    EXPECT_FALSE(logHas("successfully switched to boot device"));
    EXPECT_EQ(commandCount(model::kCmdEnterBootLoader), 0u);
    EXPECT_EQ(commandCount(model::kCmdFlashRead), 0u);  // no summary table is read
    EXPECT_EQ(flashWrites().size(), (kEmbeddedFirmwareSize - 64) / 32);
    expectProgressEndsWithOne100();
    ASSERT_TRUE(runs({1, 4, 0}));
}

TEST_F(FirmwareUpdateTest, ANullSummaryEntryForcesThatSectionAndEveryLaterOne) {
    start();
    // The model's own firmware 1.2.345 with its code section, and two more sections.
    const Bytes code = device()->readFlash(0x10000, 4096);
    std::vector<model::FirmwareSection> sections = {
        {0x10000, code}, {0x20000, pattern(64, 3)}, {0x30000, pattern(96, 4)}};
    const Bytes image = model::buildFirmwareImage({1, 2, 345}, sections);
    // The device's table names the same sections, but entry 2 is null.
    Bytes table(image.begin() + 64, image.begin() + 64 + 96);
    std::memset(&table[24], 0, 4);
    device()->writeFlash(0x4000, table);

    ASSERT_EQ(VQ36_set_update_firmware(handle, image.data(), static_cast<DWORD>(image.size()),
                                       recordProgress),
              0)
        << log();
    EXPECT_TRUE(logHas("Firmware update: index 1 needs update == 0 because CRC of "));
    EXPECT_TRUE(logHas("Firmware update: encountered device summary null at section idx 2"));
    EXPECT_TRUE(logHas("Firmware update: index 3 needs update because different length"));
    EXPECT_TRUE(logHas("Firmware update: index 4 needs update because different length"));
    std::vector<std::uint32_t> expected = {0x4000, 0x4020, 0x4040};
    for (std::uint32_t k = 0; k < 4096 / 32; ++k) expected.push_back(0x10000 + 32 * k);
    expected.insert(expected.end(), {0x20000, 0x20020, 0x30000, 0x30020, 0x30040});
    EXPECT_EQ(flashWrites(), expected);
    expectProgressEndsWithOne100();
    ASSERT_TRUE(runs({1, 2, 345}));
    EXPECT_EQ(device()->readFlash(0x30000, 96), pattern(96, 4));
}

TEST_F(FirmwareUpdateTest, RefusedUpdatesSendNothingToTheDevice) {
    start();
    const Bytes before(gEmbeddedFirmwareImage, gEmbeddedFirmwareImage + kEmbeddedFirmwareSize);
    // Another process's update stamped the record a second ago (or a clock behind the stamp).
    for (DWORD stamp : {GetTickCount() - 1000, GetTickCount() + 5000}) {
        vq36::Store32(&record()->lastFwUp, stamp);
        asiotest::resetIo();
        EXPECT_EQ(VQ36_set_update_firmware_from_embedded(handle, recordProgress), 1);
        EXPECT_EQ(vq36::Load32(&record()->lastFwUp), stamp);
        EXPECT_EQ(gFirmwareUpdateInProgress.load(), 0);
        EXPECT_EQ(updateMessages(), 0u);
    }
    EXPECT_EQ(
        logCount("VQ36: Firmware update failed, separate update was too recently in progress\n"),
        2u);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), gEmbeddedFirmwareImage));
    vq36::Store32(&record()->lastFwUp, 0);

    // A section of 100 bytes would lose its last 4 bytes: the image is refused before any
    // message reaches the device.
    const Bytes ragged = makeImage({{0x10000, pattern(64, 1)}, {0x20000, pattern(100, 2)}}, 5);
    asiotest::resetIo();
    EXPECT_EQ(VQ36_set_update_firmware(handle, ragged.data(), static_cast<DWORD>(ragged.size()),
                                       recordProgress),
              1);
    EXPECT_TRUE(logHas("section length not a multiple of 32 at section index: 2"));
    EXPECT_EQ(updateMessages(), 0u);
    // A broken image likewise, and no image at all.
    Bytes broken = ragged;
    broken[70] ^= 1;
    EXPECT_EQ(
        VQ36_set_update_firmware(handle, broken.data(), static_cast<DWORD>(broken.size()), nullptr),
        1);
    EXPECT_EQ(VQ36_set_update_firmware(handle, nullptr, 5000, nullptr), 1);
    EXPECT_EQ(updateMessages(), 0u);
    EXPECT_EQ(vq36::Load32(&record()->lastFwUp), 0u);
    EXPECT_TRUE(percents().empty());
    EXPECT_EQ(commandCount(model::kCmdEnterBootLoader), 0u);

    // No handle: no record.
    EXPECT_EQ(VQ36_set_update_firmware_from_embedded(nullptr, nullptr), 1);
    EXPECT_TRUE(logHas("VQ36: Firmware update failed, can't retrieve ASIO info ptr\n"));
}

}  // namespace
