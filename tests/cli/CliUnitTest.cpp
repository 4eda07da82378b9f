// The tool's own tables and formats, in-process.
#include "cli/Port.h"
#include "cli/Progress.h"
#include "cli/Settings.h"

#include <gtest/gtest.h>

namespace {

struct ValueCase {
    const char* setting;
    const char* text;
    bool ok;
    unsigned value;
};

TEST(CliSettings, ValuesByNameOrNumber) {
    const ValueCase cases[] = {
        {"timing", "1920x1080p60", true, 16},
        {"timing", "user", true, 255},
        {"timing", "97", true, 97},
        {"volume", "0x1F", true, 31},
        {"volume", "255", true, 255},
        {"volume", "256", false, 0},
        {"volume", "5x", false, 0},
        {"volume", " 5", false, 0},
        {"volume", "", false, 0},
        {"volume", "+5", false, 0},
        {"hdcp", "on", true, 1},
        {"hdcp", "0", true, 0},
        {"hdcp", "2", false, 0},
        {"power", "off", true, 0},
        {"audio-channel", "8ch", true, 2},
        {"audio-channel", "2", true, 2},
        {"audio-sample", "44.1khz", true, 1},
        {"bt2020", "constant-luminance", true, 2},
        {"hdr", "PQ", false, 0}, // names are case-sensitive
    };
    for (const ValueCase& c : cases) {
        const kivo::Setting* s = kivo::findSetting(c.setting);
        ASSERT_NE(s, nullptr) << c.setting;
        unsigned v = 12345;
        EXPECT_EQ(kivo::parseSettingValue(*s, c.text, v), c.ok) << c.setting << " " << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.setting << " " << c.text;
        }
    }
}

TEST(CliSettings, EveryRegisterOnceWithShownNames) {
    EXPECT_EQ(kivo::settings().size(), 16u);
    EXPECT_EQ(kivo::findSetting("all"), nullptr);
    const kivo::Setting& depth = *kivo::findSetting("depth");
    EXPECT_EQ(kivo::formatSettingValue(depth, 1), "10bit (1)");
    EXPECT_EQ(kivo::formatSettingValue(depth, 9), "9");
    EXPECT_EQ(kivo::formatSettingValue(*kivo::findSetting("volume"), 40), "40");
}

TEST(CliProgress, LinePerTenthWithBytes) {
    kivo::ProgressState p;
    p.start("Loading fw.hex", 1000);
    EXPECT_FALSE(p.update(5));
    EXPECT_TRUE(p.update(12.5));
    EXPECT_EQ(p.line(), "Loading fw.hex: 10% (100 of 1000 bytes)");
    EXPECT_FALSE(p.update(19.9));
    EXPECT_TRUE(p.update(85.3)); // a jump reports the tenth reached, once
    EXPECT_EQ(p.line(), "Loading fw.hex: 80% (800 of 1000 bytes)");
    EXPECT_TRUE(p.update(250)); // clamped
    EXPECT_EQ(p.percent(), 100.0);
    EXPECT_EQ(p.bar(10).rfind("[##########] 100%  1000 of 1000 bytes", 0), 0u) << p.bar(10);
    p.start("Loading big.png", 6220800);
    p.update(50);
    EXPECT_EQ(p.bar(2).rfind("[#.]  50%  3.1 of 6.2 MB", 0), 0u) << p.bar(2);
    p.start("Erasing Flash", 0);
    p.update(50);
    EXPECT_EQ(p.bar(4), "[##..]  50%");
    EXPECT_EQ(p.line(), "Erasing Flash: 50%");
}

TEST(CliPorts, ListsAreSplitAndChecked) {
    std::vector<std::string> ports;
    std::string error;
    EXPECT_TRUE(kivo::splitPortList("/dev/a,sim,/dev/b,sim", ports, error));
    EXPECT_EQ(ports, (std::vector<std::string>{"/dev/a", "sim", "/dev/b", "sim"}));
    EXPECT_FALSE(kivo::splitPortList("/dev/a,,/dev/b", ports, error));
    EXPECT_FALSE(kivo::splitPortList(",", ports, error));
    EXPECT_FALSE(kivo::splitPortList("", ports, error));
    EXPECT_FALSE(kivo::splitPortList("/dev/a,/dev/a", ports, error));
    EXPECT_NE(error.find("appears twice"), std::string::npos);
}

} // namespace
