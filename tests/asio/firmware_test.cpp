// Firmware images and the update: the CRC against zlib, each check of an image with its log
// line, a fuzz run on guard pages, the built-in image, and updates of the device model through
// an embedded machine (real clock; VQ36_TEST_FIRMWARE_WAIT_DIVISOR shortens the fixed waits).

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
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

// Read by the library at its first fixed wait, after this.
[[maybe_unused]] const int kShortWaits = setenv("VQ36_TEST_FIRMWARE_WAIT_DIVISOR", "10", 1);

// ---- Images made here (zlib's CRC and the device model's raw register as references) -------

std::uint32_t zcrc(const std::uint8_t* p, std::size_t n) {
    return static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}
std::uint32_t raw(const Bytes& b, std::size_t from, std::size_t n) {
    return model::crcRegister(std::span(b).subspan(from, n));
}
void put(Bytes& b, std::size_t at, std::uint32_t v, bool bigEndian = false) {
    for (int k = 0; k < 4; ++k)
        b[at + k] = static_cast<std::uint8_t>(v >> (bigEndian ? 24 - 8 * k : 8 * k));
}
std::uint32_t le(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
// Rewrites the header's payload size and CRC; with `table`, the table's own CRC first.
void reseal(Bytes& b, bool table = false) {
    const std::uint32_t length = le(b, 68);
    if (table && length >= 12 && length <= b.size() - 64) put(b, 72, raw(b, 76, length - 12));
    put(b, 56, static_cast<std::uint32_t>(b.size() - 64), true);
    put(b, 60, zcrc(b.data() + 64, b.size() - 64), true);
}
Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}
// An image of version 1.5 with the sections as given (no padding) and `nulls` null entries.
Bytes makeImage(const std::vector<model::FirmwareSection>& sections, std::size_t nulls = 0) {
    const std::size_t tableLength = (sections.size() + 1 + nulls) * 12;
    Bytes b(64 + tableLength);
    std::memcpy(b.data(), "Copyright 2026 Vexa Corporation\0\x02\x13\xB7\x00\x2E\x01\x00\x01\x05",
                41);
    put(b, 64, 0x4000);
    put(b, 68, static_cast<std::uint32_t>(tableLength));
    for (std::size_t i = 0; i < sections.size(); ++i) {
        put(b, 76 + 12 * i, sections[i].flashOffset);
        put(b, 80 + 12 * i, static_cast<std::uint32_t>(sections[i].bytes.size()));
        put(b, 84 + 12 * i, model::crcRegister(sections[i].bytes));
        b.insert(b.end(), sections[i].bytes.begin(), sections[i].bytes.end());
    }
    reseal(b, true);
    return b;
}

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;

class FirmwareImageTest : public LinkTest {
  protected:
    // Passes with the outputs 64 and the payload size, or fails with the log line `message` and
    // the outputs untouched.
    void check(const Bytes& image, const std::string& message = "") {
        std::uint32_t offset = kUntouched, length = kUntouched;
        const bool ok = uVerifyFirmwareImage(image.data(), static_cast<std::uint32_t>(image.size()),
                                             &offset, &length);
        EXPECT_EQ(ok, message.empty()) << message;
        EXPECT_EQ(offset, ok ? 64u : kUntouched);
        EXPECT_EQ(length, ok ? image.size() - 64 : kUntouched);
        EXPECT_TRUE(ok || logHas("VQ36: Firmware load failed -- " + message + "\n")) << message;
    }
};

TEST(FirmwareCrc, GivesTheStandardCrcAndTheRawRegisterAsZlibDoes) {
    const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
    EXPECT_EQ(uFirmwareCrc32(digits, 9, 1), 0xCBF43926u);
    EXPECT_EQ(uFirmwareCrc32(digits, 9, 0), 0x9B63D02Cu);
    EXPECT_EQ(uFirmwareCrc32(digits, 0, 0), 0xFFFFFFFFu);
    std::mt19937 random(7);
    for (std::size_t length : {1u, 31u, 1000u, 65537u}) {
        Bytes b(length);
        for (auto& v : b) v = static_cast<std::uint8_t>(random());
        EXPECT_EQ(uFirmwareCrc32(b.data(), static_cast<std::uint32_t>(length), 1),
                  zcrc(b.data(), length));
        EXPECT_EQ(uFirmwareCrc32(b.data(), static_cast<std::uint32_t>(length), 0),
                  raw(b, 0, length));
    }
}

TEST_F(FirmwareImageTest, EachCheckFailsWithItsOwnLineAndEdgeImagesPass) {
    const Bytes good = makeImage({{0x10000, pattern(64, 1)}, {0x20000, pattern(40, 2)}});
    ASSERT_EQ(good.size(), 204u);  // sections at image offsets 100 and 164
    check(good);
    EXPECT_TRUE(logHas("VQ36: Firmware to be loaded major.minor version: 1.5\n"));
    std::uint32_t out = 0;
    EXPECT_EQ(uVerifyFirmwareImage(good.data(), 204, nullptr, &out), 0);
    EXPECT_EQ(uVerifyFirmwareImage(nullptr, 204, &out, &out), 0);
    EXPECT_EQ(logCount("programmer error, pointer(s) not properly provided\n"), 2u);

    Bytes changed = good;
    changed[167] ^= 1;
    char subSection[128];
    std::snprintf(
        subSection, sizeof subSection,
        "sub-section checksum mismatch on section index: 2, static CRC %08x, calc CRC %08x",
        raw(good, 164, 40), raw(changed, 164, 40));
    const std::vector<std::pair<std::string, std::function<void(Bytes&)>>> cases = {
        {"obvious error, firmare image smaller than or eq to header size plus table section size",
         [](Bytes& b) { b.resize(75); }},
        {"mismatch on copyright string", [](Bytes& b) { b[0] = 'c'; }},
        {"mismatch on copyright string", [](Bytes& b) { b[31] = ' '; }},  // where the NUL is
        {"mismatch on file type or USB VID/PID/DID", [](Bytes& b) { b[32] = 3; }},
        {"mismatch on file type or USB VID/PID/DID", [](Bytes& b) { b[38] = 1; }},
        {"data payload declared size of 140 mismatches to discovered size of 141",
         [](Bytes& b) { b.push_back(0); }},
        {"mismatch on checksum", [](Bytes& b) { b[120] ^= 0x40; }},
        {"mismatch on checksum", [](Bytes& b) { put(b, 60, zcrc(&b[64], 140)); }},  // little-endian
        {"not enough space for table", [](Bytes& b) { put(b, 68, 141), reseal(b); }},
        {"not enough space for table", [](Bytes& b) { put(b, 68, 0xFFFFFFF4u), reseal(b); }},
        // the last section ends one byte past the image; a length that wraps past 4 GiB
        {"length exceeds available", [](Bytes& b) { put(b, 92, 41), reseal(b, true); }},
        {"length exceeds available", [](Bytes& b) { put(b, 80, 0xFFFFFFF0u), reseal(b, true); }},
        {subSection, [](Bytes& b) { b[167] ^= 1, reseal(b); }},
    };
    for (const auto& [message, change] : cases) {
        Bytes b = good;
        change(b);
        check(b, message);
    }

    Bytes b = good;
    b[12] = 'x';  // the year's digits match anything
    b[13] = 0;
    b.insert(b.end(), 5, 0xEE);  // payload bytes behind the last section
    reseal(b);
    check(b);
    Bytes minimal = makeImage({});  // a 12-byte table whose CRC covers nothing
    ASSERT_EQ(minimal.size(), 76u);
    EXPECT_EQ(le(minimal, 72), 0xFFFFFFFFu);
    check(minimal);
    // A null entry ends the walk, later CRCs unexamined; in entry 0 not even the table's.
    b = good;
    put(b, 88, 0);
    put(b, 96, 0x12345678);
    reseal(b, true);
    check(b);
    put(b, 64, 0);
    put(b, 72, 0);
    reseal(b);
    check(b);

    const Bytes ragged = makeImage({{0x10000, pattern(64, 1)}, {0x20000, pattern(100, 2)}}, 5);
    check(ragged);
    EXPECT_EQ(uCheckFirmwareSectionLengths(good.data(), 204), 0);  // the 36-byte table
    EXPECT_EQ(
        uCheckFirmwareSectionLengths(ragged.data(), static_cast<std::uint32_t>(ragged.size())), 0);
    EXPECT_TRUE(logHas(
        "VQ36: Firmware load failed -- section length not a multiple of 32 at section index: 2\n"));
}

TEST_F(FirmwareImageTest, AMillionRandomAndMutatedImagesNeverReadOutside) {
    // Each image ends at the last readable byte before a page that cannot be read.
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto* base = static_cast<std::uint8_t*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
    gLogLevel.store(0);  // a million failure lines would only cost time
    const Bytes seed = makeImage({{0x10000, pattern(8, 1)}, {0x20000, pattern(12, 2)}}, 1);
    std::mt19937 engine(36);
    auto random = [&] { return static_cast<std::uint32_t>(engine()); };
    std::size_t passed = 0;
    for (int n = 0; n < 1000000; ++n) {
        Bytes image = seed;
        if (random() % 4 == 0) {
            image.resize(random() % 140);
            for (auto& v : image) v = static_cast<std::uint8_t>(random());
        }
        for (unsigned k = random() % 5; k > 0 && image.size() > 64; --k) {
            const std::uint32_t values[] = {random() % 64, random(), 0xFFFFFFFFu - random() % 64};
            if (random() % 2)
                image[64 + random() % (image.size() - 64)] = static_cast<std::uint8_t>(random());
            else if (image.size() >= 112)  // a table field: small, large or wrapping
                put(image, 68 + (random() % 4) * 12 + (random() % 2) * 4, values[random() % 3]);
        }
        if (random() % 3 == 0 && image.size() > 84) image.resize(image.size() - random() % 24);
        if (random() % 3 == 0) image.resize(image.size() + random() % 8, 0xFF);
        if (image.size() >= 76 && random() % 4 != 0) reseal(image, random() % 2);
        std::uint8_t* at = base + page - image.size();
        std::memcpy(at, image.data(), image.size());
        std::uint32_t offset = 0, length = 0;
        passed +=
            uVerifyFirmwareImage(at, static_cast<std::uint32_t>(image.size()), &offset, &length);
    }
    gLogLevel.store(2);
    munmap(base, 2 * page);
    EXPECT_GT(passed, 1000u);  // the mutations reach the section walk and beyond
    EXPECT_LT(passed, 900000u);
}

TEST_F(FirmwareImageTest, TheBuiltInImageIsASoundVersion14StoredScrambled) {
    Bytes plain(gEmbeddedFirmwareImage, gEmbeddedFirmwareImage + kEmbeddedFirmwareSize);
    EXPECT_NE(std::memcmp(plain.data(), "Copyright", 9), 0) << "stored in plain";
    uDescrambleFirmwareImage(plain.data(), kEmbeddedFirmwareSize);
    check(plain);
    EXPECT_EQ(uCheckFirmwareSectionLengths(plain.data(), kEmbeddedFirmwareSize), 1);
    // The device model starts it: its sections on a blank flash hold firmware 1.4.0.
    const auto sections = model::imageSections(plain);
    ASSERT_TRUE(sections.has_value());
    Bytes flash(model::kFlashSize, 0xFF);
    for (const auto& s : *sections)
        std::copy(s.bytes.begin(), s.bytes.end(), &flash[s.flashOffset]);
    EXPECT_EQ(model::findFirmwareVersion(flash), (model::FirmwareVersion{1, 4, 0}));
    VersionRecord v{};
    EXPECT_EQ(VQ36_get_firmware_embedded_version(nullptr, &v), 0);
    EXPECT_EQ(v.major * 10 + v.minor, 14u);
}

// ---- Updates against the device model --------------------------------------------------------

// The callback runs on the thread that updates: the test's own.
std::vector<int> gPercents;
bool gFlagAlwaysSet = true;

void CALLBACK recordProgress(BYTE* percent) {
    gPercents.push_back(*percent);
    gFlagAlwaysSet = gFlagAlwaysSet && gFirmwareUpdateInProgress.load() == 1;
}

class FirmwareUpdateTest : public LinkTest {
  protected:
    void TearDown() override {
        VQ36_close(handle);
        uCloseVexaAudioDevice(probe);
        LinkTest::TearDown();
    }
    void start() {
        startMachine();
        handle = VQ36_open();
        probe = uCreateVexaAudioDeviceInterfaceWrapper(0);
        again();
    }
    // Forgets the commands, the log and the progress so far.
    void again() {
        device()->clearCommands();
        logStart = asiotest::logText().size();
        gPercents.clear();
        gFlagAlwaysSet = true;
    }
    vq36::AsioInfo* record() { return uGetAsioInfo(probe); }
    bool runs(model::FirmwareVersion v) {
        return eventually([&] {
            return !device()->inBootLoader() && device()->runningVersion() == v &&
                   machine->waitForInterfaces(1, 0);
        });
    }
    // Progress rises below 100 while the update runs (with the flag set) and ends with one 100.
    void expectProgressEndsWithOne100() {
        const auto& p = gPercents;
        ASSERT_FALSE(p.empty());
        EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
        EXPECT_EQ(p.back(), 100);
        EXPECT_EQ(std::count(p.begin(), p.end(), 100), 1);
        EXPECT_TRUE(gFlagAlwaysSet);
    }
    // The flash offsets the device was asked to write, in order.
    std::vector<std::uint32_t> flashWrites() {
        std::vector<std::uint32_t> out;
        for (const auto& c : asiotest::commandsOf(*device(), model::kCmdFlashWrite))
            out.push_back(c.data(0) << 24 | c.data(1) << 16 | c.data(2) << 8 | c.data(3));
        return out;
    }
    std::size_t commands(std::uint8_t command) {
        return asiotest::commandsOf(*device(), command).size();
    }
    // Messages 35 to 37 on the handle (the status monitor's own wrapper asks for the boot flag).
    std::size_t updateMessages() {
        const HANDLE mine = handle->deviceHandle.load();
        const auto calls = asiotest::ioCalls();
        return std::count_if(calls.begin(), calls.end(), [&](const asiotest::IoCall& c) {
            return c.handle == mine && c.code == vq36::kIoCtlSendMessage && c.message >= 35 &&
                   c.message <= 37;
        });
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
    EXPECT_EQ(v.major * 10 + v.minor, 14u);
    EXPECT_EQ(vq36::Load32(&record()->lastFwUp), 0u);
    expectProgressEndsWithOne100();
    EXPECT_EQ(commands(model::kCmdEnterBootLoader), 1u);
    EXPECT_EQ(commands(model::kCmdUpdateDone), 1u);
    const auto reads = asiotest::commandsOf(*device(), model::kCmdFlashRead);
    ASSERT_EQ(reads.size(), 2u);  // the device's 96-byte table: 54 bytes, then 42
    EXPECT_EQ(reads[0].data(4) * 100 + reads[1].data(4), 5442);
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
    again();
    ASSERT_EQ(VQ36_set_update_firmware_from_embedded(handle, recordProgress), 0) << log();
    EXPECT_EQ(flashWrites(), (std::vector<std::uint32_t>{0x4000, 0x4020, 0x4040}));
    EXPECT_TRUE(logHas("Firmware update: index 3 needs update == 0 because CRC of "));
    expectProgressEndsWithOne100();
    EXPECT_EQ(gPercents.size(), 9u);  // three table chunks, five skipped sections in one jump each
    ASSERT_TRUE(runs({1, 4, 0}));
}

TEST_F(FirmwareUpdateTest, AFailedWriteStillFinishesAndABootLoaderDeviceGetsEverySection) {
    start();
    device()->setUnanswered(model::kCmdFlashWrite, true);
    EXPECT_EQ(VQ36_set_update_firmware_from_embedded(handle, recordProgress), 1);
    EXPECT_TRUE(logHas("VQ36: Firmware update failed; failed to write to flash\n"));
    EXPECT_TRUE(logHas("Firmware update: failed to write flash at section idx 2"));
    EXPECT_TRUE(logHas("VQ36: Firmware update, successfully marked as finished\n"));
    EXPECT_EQ(commands(model::kCmdUpdateDone), 1u);
    EXPECT_EQ(std::count(gPercents.begin(), gPercents.end(), 100), 0);
    // The flash holds a broken firmware: the device stays in its boot loader.
    ASSERT_TRUE(eventually([&] { return device()->inBootLoader(); }));
    ASSERT_TRUE(machine->waitForInterfaces(1, 10000));

    device()->setUnanswered(model::kCmdFlashWrite, false);
    again();
    ASSERT_EQ(VQ36_set_update_firmware_from_embedded(handle, recordProgress), 0) << log();
    EXPECT_TRUE(logHas("Firmware update: already boot device; so proceeding..."));
    EXPECT_FALSE(logHas("successfully switched to boot device"));
    EXPECT_EQ(commands(model::kCmdEnterBootLoader) + commands(model::kCmdFlashRead), 0u);
    EXPECT_EQ(flashWrites().size(), (kEmbeddedFirmwareSize - 64) / 32);
    expectProgressEndsWithOne100();
    ASSERT_TRUE(runs({1, 4, 0}));
}

TEST_F(FirmwareUpdateTest, ANullSummaryEntryForcesThatSectionAndEveryLaterOne) {
    start();
    // The model's own firmware 1.2.345 (its code section as it is), and two more sections.
    const std::vector<model::FirmwareSection> sections = {
        {0x10000, device()->readFlash(0x10000, 4096)},
        {0x20000, pattern(64, 3)},
        {0x30000, pattern(96, 4)}};
    const Bytes image = model::buildFirmwareImage({1, 2, 345}, sections);
    // The device's table names the same sections, but its entry 2 is null.
    Bytes table(image.begin() + 64, image.begin() + 64 + 96);
    put(table, 24, 0);
    device()->writeFlash(0x4000, table);

    ASSERT_EQ(VQ36_set_update_firmware(handle, image.data(), static_cast<DWORD>(image.size()),
                                       recordProgress),
              0)
        << log();
    EXPECT_TRUE(logHas("Firmware update: index 1 needs update == 0 because CRC of "));
    EXPECT_TRUE(logHas("Firmware update: encountered device summary null at section idx 2"));
    EXPECT_TRUE(logHas("Firmware update: index 4 needs update because different length"));
    std::vector<std::uint32_t> expected = {0x4000, 0x4020, 0x4040};
    for (std::uint32_t k = 0; k < 4096 / 32; ++k) expected.push_back(0x10000 + 32 * k);
    expected.insert(expected.end(), {0x20000, 0x20020, 0x30000, 0x30020, 0x30040});
    EXPECT_EQ(flashWrites(), expected);
    expectProgressEndsWithOne100();
    ASSERT_TRUE(runs({1, 2, 345}));
}

TEST_F(FirmwareUpdateTest, RefusedUpdatesSendNothingAndChangeNothing) {
    start();
    const Bytes before(gEmbeddedFirmwareImage, gEmbeddedFirmwareImage + kEmbeddedFirmwareSize);
    // Another process's update stamped the record a second ago (or a clock behind the stamp).
    for (DWORD stamp : {GetTickCount() - 1000, GetTickCount() + 5000}) {
        vq36::Store32(&record()->lastFwUp, stamp);
        EXPECT_EQ(VQ36_set_update_firmware_from_embedded(handle, recordProgress), 1);
        EXPECT_EQ(vq36::Load32(&record()->lastFwUp), stamp);
        EXPECT_EQ(gFirmwareUpdateInProgress.load(), 0);
    }
    EXPECT_EQ(
        logCount("VQ36: Firmware update failed, separate update was too recently in progress\n"),
        2u);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), gEmbeddedFirmwareImage));
    vq36::Store32(&record()->lastFwUp, 0);

    // A 100-byte section would lose its last 4 bytes: refused before the device is addressed;
    // a broken image and no image likewise.
    const Bytes ragged = makeImage({{0x10000, pattern(64, 1)}, {0x20000, pattern(100, 2)}}, 5);
    EXPECT_EQ(VQ36_set_update_firmware(handle, ragged.data(), 200, recordProgress), 1);
    EXPECT_EQ(VQ36_set_update_firmware(handle, ragged.data(), static_cast<DWORD>(ragged.size()),
                                       recordProgress),
              1);
    EXPECT_TRUE(logHas("section length not a multiple of 32 at section index: 2"));
    EXPECT_EQ(VQ36_set_update_firmware(handle, nullptr, 5000, nullptr), 1);
    EXPECT_EQ(updateMessages(), 0u);
    EXPECT_EQ(vq36::Load32(&record()->lastFwUp), 0u);
    EXPECT_TRUE(gPercents.empty());
    EXPECT_EQ(commands(model::kCmdEnterBootLoader), 0u);

    EXPECT_EQ(VQ36_set_update_firmware_from_embedded(nullptr, nullptr), 1);
    EXPECT_TRUE(logHas("VQ36: Firmware update failed, can't retrieve ASIO info ptr\n"));
}

}  // namespace
