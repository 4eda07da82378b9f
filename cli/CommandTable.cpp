#include "cli/Commands.h"

namespace kivo {

namespace {
constexpr unsigned kMany = 1u << 16; // "any number of" arguments
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"ports", "[--long]", "list serial ports: device path, tab, product name",
         "Lists every serial port the system knows, one a line: the device path, a tab\n"
         "and the product name of the hardware behind it (empty when there is none). A\n"
         "product name may be given wherever a PORT is asked for, as long as one port\n"
         "has it.\n"
         "--long adds three tab-separated fields: the USB vendor and product ids\n"
         "(vvvv:pppp), the adapter's serial number and its stable /dev/serial/by-id/\n"
         "path, each empty when there is none. That path names the port for good and may\n"
         "be given as PORT.\n",
         0, 0, OptLong, runPorts},
        {"ping", "PORT[,PORT...]", "does a generator answer there",
         "Asks the generator on PORT for its test pattern, up to three times. Prints\n"
         "\"Kivo found on PORT\" when it answers, else \"Kivo not found on PORT\". PORT\n"
         "may be a comma-separated list: each port is asked in turn. Exits 0 when every\n"
         "one answers, else 1.\n",
         1, 1, 0, runPing},
        {"versions", "PORT", "the four version numbers",
         "Reads the generator's four version numbers and prints them, one a line.\n", 1, 1, 0,
         runVersions},
        {"get", "PORT SETTING", "read one setting",
         "Reads SETTING and prints its value: the member name and the number, or the\n"
         "number. SETTING 'all' prints every setting, one a line: name, tab, value.\n"
         "Settings: timing pattern colorspace depth hdcp txmode audio-sample audio-depth\n"
         "audio-source audio-channel audio-speaker volume scramble hdr bt2020 power.\n"
         "'kivo set --help' lists the member names of each setting.\n",
         2, 2, 0, runGet},
        {"set", "PORT SETTING VALUE", "write one setting",
         "Writes VALUE to SETTING. VALUE is a number from 0 to 255 (decimal or 0x\n"
         "hexadecimal; 0 or 1 for the switches) or one of the setting's member names:\n"
         "  timing         640x480p60 720x480p60 1280x720p60 1920x1080i60 1920x1080p60\n"
         "                 720x576p50 1280x720p50 1920x1080i50 1920x1080p50 1920x1080p24\n"
         "                 1920x1080p25 1920x1080p30 3840x2160p24 3840x2160p25\n"
         "                 3840x2160p30\n"
         "                 3840x2160p50 3840x2160p60 4096x2160p60 user\n"
         "  colorspace     rgb-full rgb-limited ycc444 ycc422 ycc420\n"
         "  depth          8bit 10bit 12bit 16bit\n"
         "  txmode         dvi hdmi hdmi20\n"
         "  audio-sample   32khz 44.1khz 48khz 88.2khz 96khz 176.4khz 192khz\n"
         "  audio-depth    16bit 20bit 24bit\n"
         "  audio-source   off tone spdif i2s\n"
         "  audio-channel  2ch 6ch 8ch\n"
         "  hdr            off sdr-gamma pq hlg\n"
         "  bt2020         off ycc constant-luminance\n"
         "  hdcp scramble power   off on\n"
         "  pattern audio-speaker volume   a number\n",
         3, 3, 0, runSet},
        {"pattern", "PORT SLOT PICTURE [--fit]", "replace pattern SLOT (0 to 9) and its preview",
         "Erases pattern SLOT, writes PICTURE as its bitmap and a 192 x 128 copy as the\n"
         "preview the generator shows on its display. PICTURE is a PNG, JPEG or BMP file\n"
         "(.png, .jpg, .bmp) or a raw 1920 x 1080 RGB file (.bin); transparent pixels\n"
         "become black. A slot holds one 1920 x 1080 picture: a larger one is refused\n"
         "before anything is sent. PORT may be a comma-separated list: the ports are\n"
         "updated at the same time, each trace line starts with its port (--verbose),\n"
         "and a summary table closes the run.\n"
         "  --fit   scale the picture to exactly 1920 x 1080 first, aspect kept, centred\n"
         "          on black\n",
         3, 3, OptFit, runPattern},
        {"firmware", "PORT FILE.hex [--verify]", "install firmware through the bootloader",
         "Sends the generator into its bootloader, erases the flash, writes the Intel\n"
         "HEX image from its base address and starts it. The Extended Erase mass erase\n"
         "is used when the bootloader offers no plain Erase. A generator left in its\n"
         "bootloader by an update that stopped half-way is recovered: the image goes\n"
         "straight to the bootloader. PORT may be a comma-separated list, as for\n"
         "'pattern'.\n"
         "  --verify   read the flash back before starting it and fail at the first\n"
         "             difference, naming its address\n",
         2, 2, OptVerify, runFirmware},
        {"hex", "FILE.hex [--bin OUT]", "base address, size and record count",
         "Reads an Intel HEX file and prints its base address, the size of its image and\n"
         "the number of records.\n"
         "  --bin OUT   also write the flat image (gaps filled with 0) to OUT\n",
         1, 1, OptBin, runHex},
        {"brix", "OUT INPUT", "INPUT as a headered data file with its MD5",
         "Writes OUT: a 32-byte header (\"Brix\" and the MD5 digest of the data), then\n"
         "the bytes of INPUT unchanged. Prints the size and the digest.\n",
         2, 2, 0, runBrix},
        {"md5", "FILE...", "digests, in the format of md5sum",
         "Prints the MD5 digest of each FILE, a line each: 32 hexadecimal digits, two\n"
         "blanks, the name. A file that cannot be read is reported and makes the exit\n"
         "status 2.\n",
         1, kMany, 0, runMd5},
    };
    return table;
}

} // namespace kivo
