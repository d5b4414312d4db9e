// Utilities of the support library: password obfuscation and its Base64
// codec, scoped and temporary files, the critical-section guard, and host
// name, user name and text conversion helpers. They log through the
// "utility_debug" component.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "ustring.h"

// ---- password obfuscation and Base64 ----
// Stored passwords are Blowfish CFB-64 under a fixed 4-byte key with a zero
// vector, then Base64 (RFC 4648 alphabet, '=' padding, one line). This is
// obfuscation against casual reading of the database, not protection: the
// key ships with the program. All functions are pure and thread-safe.

// The Blowfish key: its 4 bytes in memory order (59 1E 7C 3A on x86-64).
// Changing it makes every stored password unreadable.
extern const uint32_t g_encChalleng;

// Obfuscates `in` (every byte, NUL included) into `out`: 4 * ceil(n / 3)
// Base64 characters for n bytes; the empty password gives the empty text.
void SyncPassEnc(const std::string& in, std::string& out);

// Reverses SyncPassEnc. `out` is cut at the first NUL of the clear text, and
// is empty when `in` is not strict Base64 (see EncBase64Dec).
void SyncPassDec(const std::string& in, std::string& out);

// Base64 of the whole buffer, one line, NUL-terminated, allocated with new[]
// (the caller delete[]s it). Null when BufferStart is null.
char* SzBase64EncBuffer(unsigned char* BufferStart, int bufferLength);

// As SzBase64EncBuffer, but stops before a 3-byte group whose first byte is
// zero (a zero in the second or third place is encoded like any byte).
char* SzBase64EncOneLine(unsigned char* szSubjectStart, int subjectLength);

// Worker of the two encoders above; blChkZero selects the one-line rule.
char* SzBase64EncBuf(unsigned char* BufStart, int bufferSize, bool blChkZero);

// Strict decoder of 4-character groups. *outlen is the room in `out` on
// entry and the number of bytes written on return. True only when all of
// `in` was valid Base64 (padding only at the end, no whitespace, length a
// multiple of 4); bytes decoded before a fault stay in `out`. When `out`
// fills up before the input ends the result is false and *outlen keeps its
// entry value. Null arguments give false.
bool EncBase64Dec(const char* in, size_t inlen, char* out, size_t* outlen);

// The Base64 alphabet character of value & 63.
char CBase64Table(int value);

// ---- scoped and temporary files ----

// ---- critical section ----

// ---- host name, user name and text conversions ----
