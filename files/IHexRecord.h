#pragma once
// One Intel HEX record (one text line) and the functions that build, check, read, write and
// print it. Nothing here knows memory images or whole files; see files/FileLoad.h for that.

#include <cstddef>
#include <cstdio>

enum {
    IHEX_OK = 0,
    IHEX_ERROR_FILE = -1, // stream error on read, or an output call failed
    IHEX_ERROR_EOF = -2,  // stream ended before any character of a line
    IHEX_ERROR_INVALID_RECORD = -3,
    IHEX_ERROR_INVALID_ARGUMENTS = -4,
    IHEX_ERROR_NEWLINE = -5, // nothing before the line end
};

enum {
    IHEX_TYPE_DATA = 0,
    IHEX_TYPE_EOF = 1,
    IHEX_TYPE_EXTENDED_SEGMENT_ADDRESS = 2,
    IHEX_TYPE_START_SEGMENT_ADDRESS = 3,
    IHEX_TYPE_EXTENDED_LINEAR_ADDRESS = 4,
    IHEX_TYPE_START_LINEAR_ADDRESS = 5,
};

constexpr int IHEX_MAX_DATA_LEN = 256;      // capacity of IHexRecord::data
constexpr int IHEX_MAX_LINE_DATA_LEN = 255; // a two-digit count field
constexpr int IHEX_LINE_BUFFER = 768;       // one read takes at most IHEX_LINE_BUFFER - 1 chars

typedef struct _IHexRecord {
    unsigned short address;
    unsigned char data[IHEX_MAX_DATA_LEN];
    int dataLen;
    int type;
    unsigned char checksum;
} IHexRecord;

// Why a line did not parse; every value except Ok and Empty maps to IHEX_ERROR_INVALID_RECORD.
enum class IHexLineStatus { Ok, Empty, TooShort, NoColon, BadDigit, Truncated, BadChecksum };

int New_IHexRecord(int type, unsigned short address, unsigned char* data, int dataLen,
                   IHexRecord* record);
unsigned char Checksum_IHexRecord(IHexRecord record);
int Read_IHexRecord(IHexRecord* record, FILE* in);
int Write_IHexRecord(IHexRecord record, FILE* out);
void Print_IHexRecord(IHexRecord record);

// Parses the text of one line as Read_IHexRecord does after its read: the text is cut at the
// first CR, LF or NUL, characters after the checksum are ignored.
IHexLineStatus parseIHexLine(const char* text, size_t len, IHexRecord* record);
// The result code of Read_IHexRecord for a parse status.
int ihexResultCode(IHexLineStatus status);
// A short English reason for a failed parse, for traces.
const char* ihexStatusText(IHexLineStatus status);
