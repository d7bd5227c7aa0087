#include "isp/frame.h"

#include <cstdint>
#include <cstdio>

#include "isp/bits.h"
#include "isp/connect.h"
#include "isp/instructions.h"
#include "isp/readback.h"
#include "link/port.h"

namespace isp {

namespace {

// The instructions of a check.
constexpr unsigned kCheckInstructions = 2;
// Fresh reads of a doubted byte before the most read value is taken.
constexpr unsigned kMaxReads = 9;
// A line that loses the frame this often in one run is not worth going on.
constexpr unsigned kMaxResynchronisations = 16;

// Read Signature Byte 0 as the chip answers it: Atmel's 0x1E, or 0x00, its
// address, where both lock bits are programmed (or another maker's byte).
constexpr unsigned kAtmel = 0x1E;
unsigned signatureZero = kAtmel;
std::uint64_t lastCheck = 0;
bool lost = false;
bool lostSaid = false;
bool resynchronised = false;
unsigned readAgain = 0;
unsigned resynchronisations = 0;

// The values a doubted byte was read as, and how often.
struct Votes {
    unsigned value[kMaxReads + 2];
    unsigned count[kMaxReads + 2];
    unsigned kinds = 0;
    unsigned last = 0;  // the value counted last, which wins a tie
};

void vote(Votes& votes, unsigned value) {
    votes.last = value;
    for (unsigned i = 0; i < votes.kinds; ++i) {
        if (votes.value[i] != value) continue;
        ++votes.count[i];
        return;
    }
    votes.value[votes.kinds] = value;
    votes.count[votes.kinds++] = 1;
}

// The value counted most often (of a tie, the one counted last), and by how
// many counts it leads any other.
unsigned leader(const Votes& votes, unsigned& lead) {
    unsigned best = 0;
    for (unsigned i = 1; i < votes.kinds; ++i) {
        bool more = votes.count[i] > votes.count[best];
        bool tie = votes.count[i] == votes.count[best] && votes.value[i] == votes.last;
        if (more || tie) best = i;
    }
    unsigned next = 0;
    for (unsigned i = 0; i < votes.kinds; ++i) {
        if (i != best && votes.count[i] > next) next = votes.count[i];
    }
    lead = votes.count[best] - next;
    return votes.value[best];
}

}  // namespace

void learnSignatureZero() {
    signatureZero = readAgreeing([] { return readSignatureByte(0); });
}

void expectSignatureZero(unsigned lock) {
    signatureZero = (lock & 0x06u) == 0 ? 0x00 : kAtmel;
}

void startRun() {
    lastCheck = instructionsClocked();
    signatureZero = kAtmel;
    lost = false;
    lostSaid = false;
    resynchronised = false;
    readAgain = 0;
    resynchronisations = 0;
}

Frame keepInStep(bool force) {
    if (lost) return Frame::Lost;
    if (!port::answering()) return Frame::Unchecked;
    if (!force && instructionsClocked() - lastCheck + kCheckInstructions < kCheckEvery) {
        return Frame::Unchecked;
    }
    bool inStep = answersInStep(signatureZero);
    Frame frame = Frame::InStep;
    if (!inStep && port::answering()) {
        ++resynchronisations;
        bool again = resynchronisations <= kMaxResynchronisations && resynchronise(signatureZero);
        frame = again ? Frame::Resynchronised : Frame::Lost;
    }
    // A port that stopped answering says so on its own.
    if (!port::answering()) frame = Frame::Unchecked;
    lastCheck = instructionsClocked();
    if (frame == Frame::Resynchronised) resynchronised = true;
    if (frame == Frame::Lost) lost = true;
    return frame;
}

bool mustGoBack() {
    return resynchronised;
}

void wentBack() {
    resynchronised = false;
}

bool chipLost() {
    return lost;
}

unsigned resynchronisationCount() {
    return resynchronisations;
}

bool noiseSeen() {
    return readAgain > 0 || resynchronisations > 0;
}

void reportLost(unsigned a) {
    // Every step that meets the lost chip ends; the run says so once.
    if (lostSaid) return;
    lostSaid = true;
    std::fprintf(stderr,
                 ">>> Lost the chip at %04X: it no longer answers in step. Programming canceled!\n",
                 a);
}

bool moveOn(Frame frame, unsigned& a, unsigned& good, unsigned n) {
    if (frame == Frame::Lost) {
        reportLost(a);
        return false;
    }
    if (mustGoBack()) {
        wentBack();
        a = good;
        return true;
    }
    a += n;
    if (frame == Frame::InStep) good = a;
    return true;
}

unsigned readMajority(image::MemoryKind kind, unsigned a, unsigned first, int second) {
    Votes votes;
    vote(votes, first);
    if (second >= 0) vote(votes, static_cast<unsigned>(second));
    unsigned lead = 0, value = first;
    for (unsigned reads = 1; reads <= kMaxReads && port::answering(); ++reads) {
        vote(votes, readTargetByte(kind, a));
        value = leader(votes, lead);
        if (reads >= 2 && lead >= 2) break;
    }
    bool noise = votes.kinds > 1;
    if (noise) ++readAgain;
    // Reads that differed may have been clocked into a chip that lost its
    // frame among them, which answers alike to every read: they count only
    // once it is proved in step after them.
    if (noise) keepInStep(true);
    return value;
}

void countReadAgain() {
    ++readAgain;
}

void reportLineNoise() {
    if (readAgain == 0 && resynchronisations == 0) return;
    std::fprintf(stderr, "  Line noise: %u bytes read again, %u resynchronisations.\n", readAgain,
                 resynchronisations);
}

}  // namespace isp
