#pragma once
// Loading firmware (Intel HEX) and raw data files into memory images, splitting text lines
// into words, and a thin file interface over POSIX descriptors.
//
// Buffers handed back are allocated with new[]; the caller releases them with delete[].

#include <cstdio>
#include <string>

// Largest image a HEX file may describe (offset of the last byte + 1, relative to base).
constexpr unsigned int HEX_IMAGE_LIMIT = 64u * 1024u * 1024u;

// HEX when the name ends in ".hex" (any case), raw otherwise; HEX gaps are filled with 0.
bool readFile(const char* fileName, unsigned char*& data, unsigned int& size);

// Loads an Intel HEX file into one image starting at `base` (the first non-zero upper address
// the file sets, or 0). Gaps hold `fill`. Fails, with a trace line on standard output, when
// the file cannot be opened, a line is invalid, an address falls outside the image, or the
// end-of-file record is missing; data and size are then left unchanged.
bool readHexFile(const char* fileName, unsigned char*& data, unsigned int& size,
                 unsigned char fill);
bool readHexFile(const char* fileName, unsigned char*& data, unsigned int& size, unsigned int& base,
                 unsigned char fill);
// The same, with the reason for a failure in `why` ("line 5: checksum mismatch", or the
// system's error text when the file cannot be opened).
bool readHexFile(const char* fileName, unsigned char*& data, unsigned int& size, unsigned int& base,
                 unsigned char fill, std::string& why);
// The same on an open stream; `name` only labels the traces. The stream is not closed.
bool readHexStream(FILE* in, const char* name, unsigned char*& data, unsigned int& size,
                   unsigned int& base, unsigned char fill);
bool readHexStream(FILE* in, const char* name, unsigned char*& data, unsigned int& size,
                   unsigned int& base, unsigned char fill, std::string& why);

// Reads a whole file byte for byte; failures are reported through perror(fileName), leaving
// size 0 and data null.
bool readBinFile(const char* fileName, unsigned char*& data, unsigned int& size);

// Splits `line` in place at " \t\n" (or `separators`) into at most argc non-empty words.
// On return argc is the number stored; line is null when used up, else points at the rest.
// A null pointer follows the last word when there is room for it.
void splitln(char**& argv, unsigned int& argc, char*& line);
void splitln(char**& argv, unsigned int& argc, char*& line, const char* separators);

enum { CFS_READ = 1, CFS_WRITE = 2, CFS_APPEND = 4 };
enum { CFS_SEEK_SET = 0, CFS_SEEK_CUR = 1, CFS_SEEK_END = 2 };

int cfs_open(const char* name, int flags); // the file must exist; -1 on failure
void cfs_close(int fd);
int cfs_read(int fd, void* buf, unsigned int len);
int cfs_write(int fd, const void* buf, unsigned int len);
int cfs_seek(int fd, int offset, int whence);
