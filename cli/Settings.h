#pragma once
#include <string>
#include <vector>

class KivoIo;

// The generator's one-byte setting registers by their command-line names, with the member names
// of each setting's enumeration so that values can be given and shown by name.
namespace kivo {

struct SettingMember {
    const char* name;
    unsigned value;
};

struct Setting {
    const char* name;
    std::vector<SettingMember> members; // empty: a plain number (0 to 255)
    bool (*get)(KivoIo& io, unsigned& value);
    bool (*set)(KivoIo& io, unsigned value);
};

const std::vector<Setting>& settings();
const Setting* findSetting(const std::string& name);

// Parses a number (decimal or 0x hex, 0..255) or a member name; false when neither fits.
bool parseSettingValue(const Setting& s, const std::string& text, unsigned& value);

// The value as "name (number)" for a known member, else the plain number.
std::string formatSettingValue(const Setting& s, unsigned value);

} // namespace kivo
