#include "tests/sim/SimLine.h"
#include "tests/support/QuickSim.h"
#include "tests/support/TempDir.h"

namespace {

Steps registersReadBack() {
    Steps s;
    uint8_t v = 0x10;
    for (unsigned c :
         {0x61, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6D, 0x6E, 0x6F, 0x70, 0xAB})
        s.insert(s.end(),
                 {{request(c, {v}), ack(c)}, {request(c | 0x8000), answer(c | 0x8000, {v++})}});
    return s;
}

// Bitmap pages (number, flags) into a slot, erased first or only selected.
Steps slotPages(int slot, bool erase, std::initializer_list<std::pair<unsigned, uint8_t>> pages) {
    Steps s = {
        {erase ? eraseSlot(slot) : text("DBG 1\r\nfpw 7c 00\r\n"), erase ? kCnd12 : Bytes()}};
    for (auto p : pages)
        s.push_back({flashPage(0x30, p.first, p.second, uint8_t(0xA0 + p.first)), ack(0x7878)});
    return s;
}

const unsigned kPreview36 = 37 * KivoSim::kPreviewPages; // first page of preview index 36
Steps previewPages() {
    Steps s;
    for (unsigned k = 0; k < KivoSim::kPreviewPages; ++k) {
        const uint8_t flags = k == 0 ? 0x80 : k == KivoSim::kPreviewPages - 1 ? 0x40 : 0;
        s.push_back({flashPage(0x21, kPreview36 + k, flags, uint8_t(k)), ack(0x7878)});
    }
    return s;
}

const auto infoFrame = [](uint8_t sum) { return cat({{0x82, 0x02, 13, sum}, Bytes(13, 0)}); };

const Check workedAndTranscript = [](const KivoSim& s) {
    EXPECT_EQ(s.reg(0x62), Bytes{3});
    const std::string t = s.transcriptJson();
    for (const char* part : {"\"type\":\"frame\",\"code\":\"0x0062\",\"tag\":0,\"payload\":\"03\","
                             "\"reply\":\"ab000007000000ffff6200ee\"",
                             "\"line\":\"DBG 1\"", "\"0x0062\":\"03\""})
        EXPECT_NE(t.find(part), std::string::npos) << part << " in " << t.substr(0, 400);
};
const Check onlyCleared = [](const KivoSim& s) {
    EXPECT_EQ(s.slot(1)[0], 0xA0 & 0x0F);
    EXPECT_EQ(s.violationLog(), (std::vector<std::string>{"bitmap page 0 into an unerased slot",
                                                          "bitmap page 0, expected 1"}));
};
// The preview's bytes in place are shown by the pattern job's table.
const Check preview36 = [](const KivoSim& s) {
    EXPECT_EQ(s.previewIndexes(), std::vector<int>{36});
    TempDir d; // the dump names a slot's preview by the slot
    EXPECT_TRUE(s.dumpPictures(d.path()));
    EXPECT_TRUE(std::filesystem::exists(d.file("preview-0.ppm")));
};

TEST(SimGenerator, FramesAndPages) {
    Bytes badSum = kRead62, truncated = kRead62;
    badSum.back() ^= 1;
    truncated.pop_back();
    const Bytes rgb = {1, 2, 3, 4, 5, 6, 7, 1}, hdr(15, 9);
    const Bytes info4 = cat({{4}, infoFrame(0x6F)}), badInfo6 = cat({{6}, infoFrame(0x70)});
    // Slot erases answer at once: the rules are under test here, not the erase time.
    const KivoSim::Options q = quickSim();
    KivoSim::Options versions = q, pacing = q, slower = q, loose = q;
    versions.versions[0] = 0x01020304, versions.versions[3] = 0x0A0B0C0D;
    pacing.baud = 38400, pacing.timings.pageProgramUs = 500;
    slower.lineSpeed = 57600; // the host's end stays at 115200
    loose.relaxed = KivoSim::Console | KivoSim::Registers | KivoSim::Geometry;
    runCases({
        Case{"worked frames",
             q,
             {{{0xAA, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x62, 0x00, 0x03, 0xEB},
               {0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x62, 0x00, 0xEE}},
              {{0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x62, 0x80, 0x6F},
               {0xAB, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x62, 0x80, 0x03, 0x6A}},
              {text("DBG 1\r\n"), {}}},
             0,
             workedAndTranscript},
        Case{"one-byte registers", q, registersReadBack()},
        Case{"tag and address echoed, versions by selector",
             versions,
             {{frame(0xAA, 0x8062, {}, 0x1234, 7, 9), frame(0xAB, 0x8062, {0}, 0x1234, 7, 9)},
              {request(0xF858, {0x01}), answer(0xF858, {1, 2, 3, 4})},
              {request(0xF858, {0x30}), answer(0xF858, {0x0A, 0x0B, 0x0C, 0x0D})}}},
        Case{"block registers and info frames, a short one and a bad checksum noted",
             q,
             {{request(0x6C, rgb), ack(0x6C)},
              {request(0x7C, hdr), ack(0x7C)},
              {request(0x6C, {1, 2}), ack(0x6C)},
              {request(0xA2, info4), ack(0xA2)},
              {request(0x80A2, {4}), answer(0x80A2, infoFrame(0x6F))},
              {request(0x80A2, {5}), answer(0x80A2, {})},
              {request(0xA2, badInfo6), ack(0xA2)}},
             2,
             [=](const KivoSim& s) { EXPECT_EQ(s.reg(0x7C), hdr); }},
        Case{"malformed frames unanswered",
             q,
             {{badSum, {}},
              {{0xAA, 0, 0, 0x04, 0x00}, {}},
              {truncated, {}, 200},
              {kRead62, kZero62}},
             0,
             [](const KivoSim& s) { EXPECT_EQ(s.counters().framesRejected, 3u); }},
        Case{
            "flash write of a wrong size unanswered", q, {{request(0x7878, Bytes(100, 0)), {}}}, 1},
        Case{"registers outside the table answered as before",
             q,
             {{request(0x71, {1}), ack(0x71)},
              {request(0x806C), answer(0x806C, Bytes(8, 0))},
              {request(0x7858, {1}), ack(0x7858)}},
             3},
        Case{"bytes at another line speed are noise", slower, {{kRead62, {}}}, 1},
        Case{"page beyond the slot and preview beyond the area not stored", q,
             join(slotPages(0, true, {{0, 0}}),
                  {{flashPage(0x30, KivoSim::kSlotPages, 0x40, 1), ack(0x7878)},
                   {flashPage(0x21, 47 * KivoSim::kPreviewPages, 0x80, 1), ack(0x7878)}}),
             2,
             [](const KivoSim& s) {
                 EXPECT_EQ(s.slot(0).size(), 256u);
                 EXPECT_TRUE(s.previewIndexes().empty());
             }},
        Case{"rules off: loose console lines, any register, a preview far up",
             loose,
             {{text("DBG  1\r\nfpw 7c 3\r\n"), {}},
              {request(0x71, {1}), ack(0x71)},
              {flashPage(0x21, 47 * KivoSim::kPreviewPages, 0x80, 1), ack(0x7878)}},
             0,
             [](const KivoSim& s) {
                 EXPECT_EQ(s.selectedSlot(), 3);
                 EXPECT_EQ(s.previewIndexes(), std::vector<int>{46});
             }},
        Case{"page without erase", q, slotPages(0, false, {{0, 0x40}}), 1},
        Case{"page gap", q, slotPages(0, true, {{0, 0}, {2, 0x40}}), 1},
        Case{"first flag on a bitmap", q, slotPages(0, true, {{0, 0xC0}}), 1},
        Case{"page after the last", q, slotPages(0, true, {{0, 0x40}, {1, 0x40}}), 1},
        Case{"rewrite of an unerased slot only clears bits, on a paced line", pacing,
             join(slotPages(1, true, {{0, 0x40}}), {{flashPage(0x30, 0, 0x40, 0x0F), ack(0x7878)}}),
             2, onlyCleared},
        Case{"preview, then a misplaced first flag and a page below the area", q,
             join(previewPages(), {{flashPage(0x21, kPreview36 + 5, 0x80, 0), ack(0x7878)},
                                   {flashPage(0x21, 100, 0x80, 0), ack(0x7878)}}),
             3, preview36},
    });
}

} // namespace
