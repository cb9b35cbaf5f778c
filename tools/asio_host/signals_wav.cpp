// The host's signals, float WAV files, the stream report and percentiles (see asio_host.h).

#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <limits>

#include "asio_host.h"
#include "command_line.h"

namespace vq36host {

// ---- Signals ---------------------------------------------------------------------------------

namespace {

class SilenceSignal final : public Signal {
  public:
    void fill(float* out, std::size_t count) override { std::fill(out, out + count, 0.0f); }
};

class SineSignal final : public Signal {
  public:
    SineSignal(double hz, double amp) : hz_(hz), amp_(amp) {}
    void fill(float* out, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) out[i] = quantisedSine(hz_, amp_, n_++);
    }

  private:
    double hz_;
    double amp_;
    std::uint64_t n_ = 0;
};

class FileSignal final : public Signal {
  public:
    explicit FileSignal(std::vector<float> samples) : samples_(std::move(samples)) {}
    void fill(float* out, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = samples_[at_];
            if (++at_ == samples_.size()) at_ = 0;
        }
    }

  private:
    std::vector<float> samples_;  // never empty
    std::size_t at_ = 0;
};

}  // namespace

bool parseSignal(const std::string& text, SignalSpec* spec, std::string* error) {
    SignalSpec s;
    if (text == "silence") {
        *spec = s;
        return true;
    }
    if (text.rfind("sine:", 0) == 0) {
        const std::string rest = text.substr(5);
        const auto colon = rest.find(':');
        const std::string hz = rest.substr(0, colon);
        s.kind = SignalSpec::Kind::kSine;
        if (!vq36tools::parseDouble(hz, &s.hz) || s.hz <= 0.0 || s.hz >= kSampleRate / 2) {
            *error = "bad frequency in " + text + " (more than 0, less than 24000)";
            return false;
        }
        if (colon != std::string::npos &&
            (!vq36tools::parseDouble(rest.substr(colon + 1), &s.amp) || s.amp < 0.0 ||
             s.amp > 1.0)) {
            *error = "bad amplitude in " + text + " (0 to 1)";
            return false;
        }
        *spec = s;
        return true;
    }
    if (text.rfind("file:", 0) == 0 && text.size() > 5) {
        s.kind = SignalSpec::Kind::kFile;
        s.path = text.substr(5);
        *spec = s;
        return true;
    }
    *error = "unknown signal " + text + " (sine:HZ[:AMP], silence, file:PATH)";
    return false;
}

std::unique_ptr<Signal> makeSignal(const SignalSpec& spec, std::string* error) {
    switch (spec.kind) {
        case SignalSpec::Kind::kSilence:
            return std::make_unique<SilenceSignal>();
        case SignalSpec::Kind::kSine:
            return std::make_unique<SineSignal>(spec.hz, spec.amp);
        case SignalSpec::Kind::kFile: {
            WavData wav;
            if (!readWav(spec.path, &wav, error)) return nullptr;
            if (wav.frames() == 0) {
                *error = spec.path + ": no samples";
                return nullptr;
            }
            std::vector<float> first(wav.frames());
            for (std::size_t f = 0; f < first.size(); ++f) first[f] = wav.samples[f * wav.channels];
            return std::make_unique<FileSignal>(std::move(first));
        }
    }
    return nullptr;
}

// ---- WAV files -------------------------------------------------------------------------------

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// RIFF, fmt (18 bytes), fact and the data chunk's header.
constexpr std::size_t kFloatHeaderBytes = 12 + 8 + 18 + 8 + 4 + 8;
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - kFloatHeaderBytes;

void put16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint16_t get16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The header of a float file holding `frames` frames.
void floatHeader(unsigned char (&h)[kFloatHeaderBytes], std::uint16_t channels,
                 std::uint32_t sampleRate, std::uint64_t frames) {
    const auto dataBytes = static_cast<std::uint32_t>(frames * channels * 4);
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, static_cast<std::uint32_t>(kFloatHeaderBytes - 8 + dataBytes));
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    put32(h + 16, 18);
    put16(h + 20, kFormatFloat);
    put16(h + 22, channels);
    put32(h + 24, sampleRate);
    put32(h + 28, sampleRate * channels * 4u);
    put16(h + 32, static_cast<std::uint16_t>(channels * 4));
    put16(h + 34, 32);
    put16(h + 36, 0);  // no extension
    std::memcpy(h + 38, "fact", 4);
    put32(h + 42, 4);
    put32(h + 46, static_cast<std::uint32_t>(frames));
    std::memcpy(h + 50, "data", 4);
    put32(h + 54, dataBytes);
}

}  // namespace

WavWriter::~WavWriter() {
    std::string ignored;
    close(&ignored);
}

bool WavWriter::open(const std::string& path, std::uint16_t channels, std::uint32_t sampleRate,
                     std::string* error) {
    std::string ignored;
    close(&ignored);
    if (channels == 0) {
        *error = "a WAV file needs at least one channel";
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        *error = "cannot write " + path;
        return false;
    }
    unsigned char h[kFloatHeaderBytes];
    floatHeader(h, channels, sampleRate, 0);
    if (std::fwrite(h, 1, sizeof h, f) != sizeof h) {
        std::fclose(f);
        *error = "cannot write " + path;
        return false;
    }
    file_ = f;
    channels_ = channels;
    sampleRate_ = sampleRate;
    frames_ = 0;
    failed_ = false;
    return true;
}

bool WavWriter::append(const float* interleaved, std::size_t frames) {
    if (file_ == nullptr || failed_) return false;
    const std::uint64_t bytes = static_cast<std::uint64_t>(frames) * channels_ * 4;
    if ((frames_ * channels_ * 4) + bytes > kMaxDataBytes) {
        failed_ = true;  // a RIFF file ends at 4 GiB
        return false;
    }
    const std::size_t n = frames * channels_;
    if (std::fwrite(interleaved, sizeof(float), n, static_cast<std::FILE*>(file_)) != n) {
        failed_ = true;
        return false;
    }
    frames_ += frames;
    return true;
}

bool WavWriter::close(std::string* error) {
    if (file_ == nullptr) return true;
    auto* f = static_cast<std::FILE*>(file_);
    file_ = nullptr;
    unsigned char h[kFloatHeaderBytes];
    floatHeader(h, channels_, sampleRate_, frames_);
    bool ok =
        !failed_ && std::fseek(f, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof h, f) == sizeof h;
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        *error =
            failed_ ? "the recording could not be written whole" : "cannot finish the WAV file";
    return ok;
}

bool writeWavFloat(const std::string& path, const WavData& data, std::string* error) {
    if (data.channels == 0 || data.samples.size() % data.channels != 0) {
        *error = "samples are not whole frames";
        return false;
    }
    WavWriter w;
    if (!w.open(path, data.channels, data.sampleRate, error)) return false;
    if (!w.append(data.samples.data(), data.frames())) {
        w.close(error);
        *error = "cannot write " + path;
        return false;
    }
    return w.close(error);
}

bool readWav(const std::string& path, WavData* data, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = "cannot open " + path;
        return false;
    }
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    const bool readError = std::ferror(f) != 0;
    std::fclose(f);
    auto fail = [&](const char* why) {
        *error = path + ": " + why;
        return false;
    };
    if (readError) return fail("read error");
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        return fail("not a WAV file");
    }
    bool haveFormat = false;
    std::uint16_t format = 0, channels = 0, bits = 0, blockAlign = 0;
    std::uint32_t rate = 0;
    const unsigned char* samples = nullptr;
    std::size_t sampleBytes = 0;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const unsigned char* c = bytes.data() + at;
        const std::uint32_t size = get32(c + 4);
        const std::size_t available = bytes.size() - at - 8;
        if (std::memcmp(c, "fmt ", 4) == 0) {
            if (size < 16 || size > available) return fail("damaged format chunk");
            format = get16(c + 8);
            channels = get16(c + 10);
            rate = get32(c + 12);
            blockAlign = get16(c + 20);
            bits = get16(c + 22);
            if (format == kFormatExtensible) {
                if (size < 40) return fail("damaged format chunk");
                format = get16(c + 8 + 24);  // the sub-format's first two bytes
            }
            haveFormat = true;
        } else if (std::memcmp(c, "data", 4) == 0) {
            // A writer that did not finish leaves a size past the end: take what is there.
            samples = c + 8;
            sampleBytes = std::min<std::size_t>(size, available);
            break;
        }
        if (size > available) break;
        at += 8 + size + (size & 1);
    }
    if (!haveFormat) return fail("no format chunk");
    if (samples == nullptr) return fail("no data chunk");
    if (channels == 0) return fail("no channels");
    const bool isFloat = format == kFormatFloat && bits == 32;
    const bool isPcm16 = format == kFormatPcm && bits == 16;
    if (!isFloat && !isPcm16) return fail("not 32-bit float or 16-bit PCM");
    const std::size_t bytesPerSample = isFloat ? 4 : 2;
    if (blockAlign != channels * bytesPerSample) return fail("damaged format chunk");
    const std::size_t frames = sampleBytes / blockAlign;
    WavData out;
    out.sampleRate = rate;
    out.channels = channels;
    out.samples.resize(frames * channels);
    for (std::size_t i = 0; i < out.samples.size(); ++i) {
        const unsigned char* p = samples + i * bytesPerSample;
        if (isFloat) {
            const std::uint32_t word = get32(p);
            std::memcpy(&out.samples[i], &word, sizeof word);
        } else {
            out.samples[i] = static_cast<float>(static_cast<std::int16_t>(get16(p))) / 32768.0f;
        }
    }
    *data = std::move(out);
    return true;
}

// ---- The report ------------------------------------------------------------------------------

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    p = std::clamp(p, 0.0, 100.0);
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    if (rank == 0) rank = 1;
    return values[rank - 1];
}

namespace {

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char e[8];
            std::snprintf(e, sizeof e, "\\u%04x", c);
            out += e;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string number(double v) {
    char b[64];
    std::snprintf(b, sizeof b, "%.1f", std::isfinite(v) ? v : 0.0);
    return b;
}

}  // namespace

std::string StreamReport::toJson() const {
    std::string j = "{";
    auto u = [&](const char* key, std::uint64_t v) {
        j += std::string("\"") + key + "\": " + std::to_string(v) + ", ";
    };
    auto d = [&](const char* key, double v) {
        j += std::string("\"") + key + "\": " + number(v) + ", ";
    };
    j += "\"driver\": " + jsonString(driver) + ", ";
    u("blocks", blocks);
    u("resets", resets);
    u("recreations", recreations);
    j += "\"bufferSize\": " + std::to_string(bufferSize) + ", ";
    d("intervalP50Us", intervalP50Us);
    d("intervalP99Us", intervalP99Us);
    d("intervalMaxUs", intervalMaxUs);
    d("latencyP50Us", latencyP50Us);
    d("latencyP99Us", latencyP99Us);
    d("latencyMaxUs", latencyMaxUs);
    u("latencySamples", latencySamples);
    u("latencyUnmatched", latencyUnmatched);
    u("lateSwitches", lateSwitches);
    d("deviceLatencyP50Us", deviceLatencyP50Us);
    d("deviceLatencyP99Us", deviceLatencyP99Us);
    d("deviceLatencyMaxUs", deviceLatencyMaxUs);
    u("deviceLatencySamples", deviceLatencySamples);
    u("deviceLatencyUnmatched", deviceLatencyUnmatched);
    j += "\"switchRealTime\": " + std::to_string(switchRealTime) + ", ";
    j += "\"switchPriority\": " + std::to_string(switchPriority) + ", ";
    u("userSlips", userSlips);
    u("kernUnder", kernUnder);
    u("kernOver", kernOver);
    d("estSampleRate", estSampleRate);
    j += "\"joinedClients\": " + std::to_string(joinedClients) + "}";
    return j;
}

std::string StreamReport::toText() const {
    char b[1024];
    std::snprintf(
        b, sizeof b,
        "driver: %s\n"
        "buffer size: %ld frames\n"
        "blocks: %llu\n"
        "reset requests: %llu, re-creations: %llu\n"
        "interval (us): p50 %.1f, p99 %.1f, max %.1f\n"
        "boundary to buffer switch (us): p50 %.1f, p99 %.1f, max %.1f (%llu measured, %llu "
        "late or unmatched)\n"
        "kernel: user slips %llu, under-runs %llu, over-runs %llu, estimated rate %.0f Hz, "
        "joined clients %llu\n",
        driver.c_str(), bufferSize, static_cast<unsigned long long>(blocks),
        static_cast<unsigned long long>(resets), static_cast<unsigned long long>(recreations),
        intervalP50Us, intervalP99Us, intervalMaxUs, latencyP50Us, latencyP99Us, latencyMaxUs,
        static_cast<unsigned long long>(latencySamples),
        static_cast<unsigned long long>(latencyUnmatched),
        static_cast<unsigned long long>(userSlips), static_cast<unsigned long long>(kernUnder),
        static_cast<unsigned long long>(kernOver), estSampleRate,
        static_cast<unsigned long long>(joinedClients));
    std::string text = b;
    if (deviceLatencySamples + deviceLatencyUnmatched > 0) {
        std::snprintf(b, sizeof b,
                      "device's block end to buffer switch (us): p50 %.1f, p99 %.1f, max %.1f "
                      "(%llu measured, %llu unmatched)\n",
                      deviceLatencyP50Us, deviceLatencyP99Us, deviceLatencyMaxUs,
                      static_cast<unsigned long long>(deviceLatencySamples),
                      static_cast<unsigned long long>(deviceLatencyUnmatched));
        text += b;
    }
    return text;
}

}  // namespace vq36host
