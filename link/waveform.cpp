#include "link/waveform.h"

namespace waveform {

namespace {

void append(Waveform& wave, const Step& step) {
    if (wave.count == kMaxSteps || (step.kind == Step::Sample && wave.samples == kMaxSamples)) {
        wave.overflowed = true;
        return;
    }
    wave.steps[wave.count++] = step;
    if (step.kind == Step::Sample) ++wave.samples;
}

}  // namespace

Waveform start(const Levels& levels, bool changesOnly, std::uint32_t sampleWaitUs) {
    Waveform wave;
    wave.levels = levels;
    wave.changesOnly = changesOnly;
    wave.sampleWaitUs = sampleWaitUs;
    return wave;
}

void drive(Waveform& wave, Pin pin, bool level) {
    int& last = wave.levels.pin[static_cast<int>(pin)];
    if (wave.changesOnly && last == static_cast<int>(level)) return;
    last = level;
    append(wave, Step{Step::Drive, pin, level, 0});
}

void sample(Waveform& wave) {
    if (wave.sampleWaitUs > 0) wait(wave, wave.sampleWaitUs);
    append(wave, Step{Step::Sample, Pin::Miso, false, 0});
}

void wait(Waveform& wave, std::uint32_t us) {
    append(wave, Step{Step::Wait, Pin::Miso, false, us});
}

void sendByte(Waveform& wave, std::uint8_t b) {
    for (int bit = 7; bit >= 0; --bit) {
        drive(wave, Pin::Mosi, (b >> bit) & 1);
        drive(wave, Pin::Sck, false);
        drive(wave, Pin::Sck, true);
        drive(wave, Pin::Sck, false);
    }
}

void exchangeByte(Waveform& wave, std::uint8_t b) {
    for (int bit = 7; bit >= 0; --bit) {
        drive(wave, Pin::Mosi, (b >> bit) & 1);
        drive(wave, Pin::Sck, false);
        sample(wave);
        drive(wave, Pin::Sck, true);
        drive(wave, Pin::Sck, false);
        drive(wave, Pin::Mosi, true);
    }
}

void receiveByte(Waveform& wave) {
    for (int i = 0; i < 8; ++i) {
        drive(wave, Pin::Sck, false);
        sample(wave);
        drive(wave, Pin::Sck, true);
    }
}

void sendInstruction(Waveform& wave, IspInstruction w) {
    sendByte(wave, static_cast<std::uint8_t>(w >> 24));
    sendByte(wave, static_cast<std::uint8_t>(w >> 16));
    sendByte(wave, static_cast<std::uint8_t>(w >> 8));
    sendByte(wave, static_cast<std::uint8_t>(w));
}

void queryInstruction(Waveform& wave, IspInstruction w) {
    sendByte(wave, static_cast<std::uint8_t>(w >> 24));
    sendByte(wave, static_cast<std::uint8_t>(w >> 16));
    sendByte(wave, static_cast<std::uint8_t>(w >> 8));
    receiveByte(wave);
}

std::uint8_t byteAt(const Samples& samples, std::size_t first) {
    unsigned result = 0;
    for (std::size_t i = first; i < first + 8; ++i)
        result = (result << 1) | (i < samples.count && samples.bits[i] ? 1u : 0u);
    return static_cast<std::uint8_t>(result);
}

}  // namespace waveform
