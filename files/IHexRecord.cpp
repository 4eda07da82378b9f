#include "files/IHexRecord.h"

#include "files/HexDigits.h"

#include <cstring>

using kivo_hex::pairValue;

namespace {

constexpr size_t HEADER_CHARS = 9; // ':' count(2) address(4) type(2)
constexpr size_t CHECKSUM_CHARS = 2;

size_t lineLength(const char* text, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n' || c == '\0') return i;
    }
    return len;
}

int clampedLength(int dataLen) {
    if (dataLen < 0) return 0;
    return dataLen > IHEX_MAX_DATA_LEN ? IHEX_MAX_DATA_LEN : dataLen;
}

} // namespace

unsigned char Checksum_IHexRecord(IHexRecord record) {
    unsigned sum = static_cast<unsigned>(record.dataLen) + static_cast<unsigned>(record.type) +
                   (record.address & 0xFFu) + (record.address >> 8);
    const int n = clampedLength(record.dataLen);
    for (int i = 0; i < n; ++i) sum += record.data[i];
    return static_cast<unsigned char>(~sum + 1u);
}

int New_IHexRecord(int type, unsigned short address, unsigned char* data, int dataLen,
                   IHexRecord* record) {
    if (record == nullptr || dataLen < 0 || dataLen > IHEX_MAX_DATA_LEN) {
        return IHEX_ERROR_INVALID_ARGUMENTS;
    }
    if (data == nullptr && dataLen > 0) return IHEX_ERROR_INVALID_ARGUMENTS;
    record->type = type;
    record->address = address;
    if (dataLen > 0) memcpy(record->data, data, static_cast<size_t>(dataLen));
    record->dataLen = dataLen;
    record->checksum = Checksum_IHexRecord(*record);
    return IHEX_OK;
}

// The line ends at its first CR, LF or NUL. Rather than searching for that end first, the
// fields are decoded straight away; none of those characters is a digit, so a line end inside
// the fields shows up as a bad digit and only then is told apart from one.
IHexLineStatus parseIHexLine(const char* text, size_t len, IHexRecord* record) {
    const size_t head = lineLength(text, len < HEADER_CHARS ? len : HEADER_CHARS);
    if (head == 0) return IHexLineStatus::Empty;
    if (head < HEADER_CHARS) return IHexLineStatus::TooShort;
    if (text[0] != ':') return IHexLineStatus::NoColon;
    const int count = pairValue(text + 1);
    const int addrHi = pairValue(text + 3);
    const int addrLo = pairValue(text + 5);
    const int type = pairValue(text + 7);
    if ((count | addrHi | addrLo | type) < 0) return IHexLineStatus::BadDigit;
    record->dataLen = count;
    record->address = static_cast<unsigned short>((addrHi << 8) | addrLo);
    record->type = type;
    const size_t need = HEADER_CHARS + 2 * static_cast<size_t>(count) + CHECKSUM_CHARS;
    if (len < need) return IHexLineStatus::Truncated;
    const char* p = text + HEADER_CHARS;
    unsigned sum = static_cast<unsigned>(count + addrHi + addrLo + type);
    int bad = 0;
    for (int i = 0; i < count; ++i, p += 2) {
        const int v = pairValue(p);
        bad |= v;
        record->data[i] = static_cast<unsigned char>(v);
        sum += static_cast<unsigned>(v);
    }
    const int checksum = pairValue(p);
    if ((bad | checksum) < 0) {
        return lineLength(text, need) < need ? IHexLineStatus::Truncated : IHexLineStatus::BadDigit;
    }
    record->checksum = static_cast<unsigned char>(checksum);
    if (((sum + static_cast<unsigned>(checksum)) & 0xFFu) != 0) return IHexLineStatus::BadChecksum;
    return IHexLineStatus::Ok;
}

int ihexResultCode(IHexLineStatus status) {
    switch (status) {
    case IHexLineStatus::Ok:
        return IHEX_OK;
    case IHexLineStatus::Empty:
        return IHEX_ERROR_NEWLINE;
    default:
        return IHEX_ERROR_INVALID_RECORD;
    }
}

const char* ihexStatusText(IHexLineStatus status) {
    switch (status) {
    case IHexLineStatus::Ok:
        return "valid record";
    case IHexLineStatus::Empty:
        return "empty line";
    case IHexLineStatus::TooShort:
        return "line too short for a record";
    case IHexLineStatus::NoColon:
        return "line does not start with ':'";
    case IHexLineStatus::BadDigit:
        return "non-hexadecimal character in a field";
    case IHexLineStatus::Truncated:
        return "line too short for its byte count";
    case IHexLineStatus::BadChecksum:
        return "checksum mismatch";
    }
    return "invalid record";
}

int Read_IHexRecord(IHexRecord* record, FILE* in) {
    if (record == nullptr || in == nullptr) return IHEX_ERROR_INVALID_ARGUMENTS;
    char line[IHEX_LINE_BUFFER];
    if (fgets(line, sizeof line, in) == nullptr) {
        return feof(in) ? IHEX_ERROR_EOF : IHEX_ERROR_FILE;
    }
    return ihexResultCode(parseIHexLine(line, strlen(line), record));
}

int Write_IHexRecord(IHexRecord record, FILE* out) {
    if (out == nullptr) return IHEX_ERROR_INVALID_ARGUMENTS;
    if (record.dataLen < 0 || record.dataLen > IHEX_MAX_LINE_DATA_LEN) {
        return IHEX_ERROR_INVALID_RECORD;
    }
    // ':' count address, the type (up to 8 digits), data, checksum, CRLF
    char line[1 + 6 + 8 + 2 * IHEX_MAX_LINE_DATA_LEN + 2 + 2 + 1];
    char* p = line;
    *p++ = ':';
    p = kivo_hex::putByte(p, static_cast<unsigned>(record.dataLen));
    p = kivo_hex::putByte(p, record.address >> 8);
    p = kivo_hex::putByte(p, record.address & 0xFFu);
    // The type is printed whole, as "%2.2X" prints any int.
    const unsigned type = static_cast<unsigned>(record.type);
    if (type <= 0xFFu) {
        p = kivo_hex::putByte(p, type);
    } else {
        p += snprintf(p, 9, "%2.2X", type);
    }
    for (int i = 0; i < record.dataLen; ++i) p = kivo_hex::putByte(p, record.data[i]);
    p = kivo_hex::putByte(p, Checksum_IHexRecord(record));
    *p++ = '\r';
    *p++ = '\n';
    const size_t n = static_cast<size_t>(p - line);
    return fwrite(line, 1, n, out) == n ? IHEX_OK : IHEX_ERROR_FILE;
}

void Print_IHexRecord(IHexRecord record) {
    printf("Intel HEX8 Record Type: %d\n", record.type);
    printf("Intel HEX8 Record Address: 0x%2.4X\n", record.address);
    printf("Intel HEX8 Record Data: {");
    const int n = clampedLength(record.dataLen);
    for (int i = 0; i < n; ++i) printf("0x%02X, ", record.data[i]);
    printf("}\n");
    printf("Intel HEX8 Record Checksum: 0x%2.2X\n", record.checksum);
}
